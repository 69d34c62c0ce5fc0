// RTF bodies: the compressed form of PidTagRtfCompressed ("LZFu" and the
// uncompressed "MELA"), HTML recovered from RTF that encapsulates it
// (\fromhtml1), and plain text derived from RTF.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "content/codepage.h"
#include "store/bytes.h"

namespace velmorix::content {

struct DecompressedRtf {
  std::string rtf;       // the RTF bytes, as far as they could be read
  bool damaged = false;  // the stream is damaged: `rtf` may be partial or wrong
  std::string problem;   // what was wrong, for the user
};

// Expands a PidTagRtfCompressed value. nullopt when the value is not a
// compressed-RTF stream at all (too short, unknown type); a damaged stream
// (wrong sizes, bad CRC, a reference to a part of the dictionary never
// written) gives what could be read, flagged as damaged. The output never
// exceeds what the input can expand to, whatever the header claims.
std::optional<DecompressedRtf> DecompressRtf(ByteSpan stored);

// True when the RTF header carries \fromhtml1: the document encapsulates HTML.
bool RtfEncapsulatesHtml(std::string_view rtf);

// The HTML encapsulated in `rtf`, as UTF-8; nullopt when the RTF does not
// encapsulate HTML.
std::optional<std::string> RtfToHtml(std::string_view rtf, TextDecoder& decoder);

// The text of `rtf` as UTF-8, paragraphs ending in CRLF. Text encapsulated
// with \fromtext comes back as it was; for other RTF the visible text is
// kept and formatting, tables of fonts and colours, pictures and other
// destinations are left out.
std::string RtfToText(std::string_view rtf, TextDecoder& decoder);

}  // namespace velmorix::content
