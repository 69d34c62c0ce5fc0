#include "export/mbox.h"

#include <cstring>

namespace velmorix::exporting {
namespace {

// A line that readers would take for the start of a message once its ">"
// are removed: ">*From ".
bool NeedsEscape(std::string_view line) {
  const size_t first = line.find_first_not_of('>');
  return first != std::string_view::npos && line.substr(first).starts_with("From ");
}

}  // namespace

bool MboxrdEscaper::EmitLine(std::string_view line) {
  if (NeedsEscape(line) && !out_(">")) return false;
  return out_(line);
}

bool MboxrdEscaper::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    if (nl == std::string_view::npos) {
      line_.append(bytes);
      return true;
    }
    const std::string_view piece = bytes.substr(0, nl + 1);
    bytes.remove_prefix(nl + 1);
    if (line_.empty()) {
      if (!EmitLine(piece)) return false;
    } else {
      line_.append(piece);
      const bool ok = EmitLine(line_);
      line_.clear();
      if (!ok) return false;
    }
  }
  return true;
}

bool MboxrdEscaper::Finish() {
  if (line_.empty()) return true;
  line_ += '\n';
  const bool ok = EmitLine(line_);
  line_.clear();
  return ok;
}

std::string MboxFromLine(const content::Item& item) {
  std::string sender = SenderAddress(item);
  if (sender.empty()) sender = "MAILER-DAEMON";
  int64_t secs = 0;
  if (auto t = MessageTime(item)) secs = content::UnixSeconds(*t);
  // asctime's form has four digits for the year.
  if (secs < -62135596800LL || secs > 253402300799LL) secs = 0;
  const time_t tt = static_cast<time_t>(secs);
  struct tm tm {};
  gmtime_r(&tt, &tm);
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char date[64];
  std::snprintf(date, sizeof date, "%s %s %2d %02d:%02d:%02d %04d", kDays[tm.tm_wday % 7], kMonths[tm.tm_mon % 12],
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
  return "From " + sender + " " + date + "\n";
}

bool AppendToMbox(content::ItemReader& reader, const content::Item& item, const mime::Sink& out,
                  std::vector<std::string>& problems, std::string* error) {
  if (!out(MboxFromLine(item))) {
    if (error) *error = "cannot write the mbox file";
    return false;
  }
  MboxrdEscaper escaper(out);
  const mime::Sink escaped = [&](std::string_view b) { return escaper.Write(b); };
  MessageOptions options;
  options.crlf = false;
  if (!WriteMessage(reader, item, escaped, options, problems, error) || !escaper.Finish()) {
    if (error && error->empty()) *error = "cannot write the mbox file";
    return false;
  }
  // A blank line separates messages.
  return out("\n");
}

}  // namespace velmorix::exporting
