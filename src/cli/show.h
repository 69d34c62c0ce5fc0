// `velmorix-cli show [--body plain|html|rtf | --properties [--format text|json]]
// [--attachments DIR] [--save-msg FILE.msg] FILE ID`: one item read in full by
// its node id (as `recover --ids` prints it).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace velmorix::cli {

enum class BodyForm { Plain, Html, Rtf };

struct ShowOptions {
  std::optional<BodyForm> body;  // print only this body, exactly
  bool properties = false;       // print every property instead of the summary
  bool json = false;             // properties as one JSON record per line
  std::string attachmentsDir;    // save every attachment into this folder
  std::string msgFile;           // save the item as this .msg file
  bool deep = false;             // find the item as recover --deep does
};

// Exit statuses besides those of `recover`: some attachment could not be
// read or saved.
inline constexpr int kExitSomeUnreadable = 5;

// "0x200024" (hexadecimal) or "2097188" (decimal); nullopt when it is neither
// or does not fit 32 bits.
std::optional<uint32_t> ParseItemId(std::string_view text);

// Shows item `id` of the store at `path`: a summary (headers, recipients,
// attachments with sizes, the plain body), or only the asked body. Saving
// attachments or the .msg file reports each file on `err`. Returns the exit
// status: 0 done, 1 the file cannot be opened, there is no such item or no
// such body, or the .msg file cannot be written (an existing file is never
// replaced), 5 some attachment could not be read or saved.
int Show(const std::string& path, uint32_t id, const ShowOptions& options, std::ostream& out,
         std::ostream& err);

// argv[0] is the subcommand name ("show").
int RunShow(int argc, char** argv);

}  // namespace velmorix::cli
