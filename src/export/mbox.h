// Messages gathered into one mbox file in the mboxrd form: each message
// starts with a "From " line, and every line of it that starts with "From "
// after any number of ">" gets one more ">", so that readers can split the
// file and restore every message exactly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "content/item.h"
#include "content/item_reader.h"
#include "export/eml.h"
#include "export/gmime_types.h"

namespace velmorix::exporting {

// Escapes lines for mboxrd as the bytes pass through to `out`.
class MboxrdEscaper {
 public:
  explicit MboxrdEscaper(const mime::Sink& out) : out_(out) {}
  bool Write(std::string_view bytes);
  // Writes what is held of an unfinished last line, ending it.
  bool Finish();

 private:
  bool EmitLine(std::string_view line);
  const mime::Sink& out_;
  std::string line_;  // the current line up to what has been seen of it
};

// The "From " line of a message: its sender's address (or MAILER-DAEMON)
// and its date in the fixed asctime form, in UTC.
std::string MboxFromLine(const content::Item& item);

// Appends `item` as one message to the mbox whose bytes go to `out`.
bool AppendToMbox(content::ItemReader& reader, const content::Item& item, const mime::Sink& out,
                  std::vector<std::string>& problems, std::string* error = nullptr);

}  // namespace velmorix::exporting
