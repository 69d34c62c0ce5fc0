// The named properties of one .msg file: each gets a property ID of the
// file's own (0x8000 and up, in the order met), and the file's named
// property mapping storage lists them: the GUID, entry and string streams
// and the streams of the name hash.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "content/item.h"

namespace velmorix::exporting::msg {

// The name of the named property mapping storage.
inline constexpr const char* kNameIdStorage = "__nameid_version1.0";

class NameMap {
 public:
  // The ID the file gives the named property `p` (which must be named);
  // nullopt when the file's IDs are used up.
  std::optional<uint16_t> IdOf(const content::RawProperty& p);

  // The mapping storage's streams, by name, with their bytes.
  std::vector<std::pair<std::string, std::string>> Streams() const;

  size_t size() const { return records_.size(); }

 private:
  struct Record {
    uint32_t key = 0;       // the numeric name, or the string's offset in the string stream
    uint32_t hashKey = 0;   // the numeric name, or the CRC-32 of the UTF-16LE name
    uint16_t guidIndex = 0;
    bool string = false;
  };
  uint16_t GuidIndex(const std::array<uint8_t, 16>& guid);

  std::vector<std::array<uint8_t, 16>> guids_;
  std::string strings_;  // the string stream
  std::vector<Record> records_;
  // (GUID, string, numeric name or name) -> record index
  std::map<std::tuple<std::array<uint8_t, 16>, bool, uint32_t, std::string>, uint16_t> known_;
};

// UTF-8 text as UTF-16LE (bytes that are not UTF-8 become U+FFFD).
std::string Utf16(std::string_view utf8);

// CRC-32 (reflected 0xEDB88320, starting from 0, not inverted) as the hash
// of string names.
uint32_t NameCrc(std::string_view bytes);

}  // namespace velmorix::exporting::msg
