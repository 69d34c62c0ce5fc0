#include "search/content_search.h"

#include "content/html_text.h"
#include "content/item_reader.h"

namespace velmorix::search {

bool ContentMatches(const Matcher& matcher, const content::Item& item) {
  const unsigned fields = matcher.query().fields;
  if (fields & kBody) {
    const content::Bodies& bodies = item.bodies;
    if (bodies.plain.present()) {
      if (matcher.Contains(bodies.plain.text)) return true;
    } else if (bodies.html.present() && matcher.Contains(content::HtmlToText(bodies.html.text))) {
      return true;
    }
  }
  if (fields & kAttachments) {
    for (const content::Attachment& attachment : item.attachments) {
      if (matcher.Contains(attachment.fileName) || matcher.Contains(attachment.displayName)) return true;
    }
  }
  return false;
}

bool ContentMatches(const Matcher& matcher, content::ItemReader& reader, uint32_t nodeId) {
  content::ReadOptions options;
  options.properties = false;
  options.searchText = true;
  const std::optional<content::Item> item = reader.Read(nodeId, options);
  return item && ContentMatches(matcher, *item);
}

}  // namespace velmorix::search
