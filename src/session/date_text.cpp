// DateText and the Windows-1252 text conversion used by the item list.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "session/folder_list.h"

namespace velmorix::session {

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date (valid for any day count
// a 64-bit FILETIME can reach).
void CivilFromDays(int64_t z, int64_t& year, unsigned& month, unsigned& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

// Windows-1252 code points of the bytes 0x80..0x9F (0 where the code page
// leaves a byte undefined; those map to the C1 control of the same value).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string DateText(const void* filetime8, size_t size) {
  if (!filetime8 || size < 8) return {};
  unsigned char b[8];
  std::memcpy(b, filetime8, 8);
  uint64_t ticks = 0;
  for (int i = 7; i >= 0; --i) ticks = (ticks << 8) | b[i];
  char buffer[32];
  return std::string(DateText(ticks, buffer));
}

std::string_view DateText(uint64_t ticks, char (&buffer)[32]) {
  if (ticks == 0) return {};

  // FILETIME counts 100 ns intervals from 1601-01-01 00:00:00 UTC; the clock
  // time is shown exactly as stored, with no zone or daylight-saving shift.
  constexpr int64_t kDays1601To1970 = 134774;
  const uint64_t seconds = ticks / 10000000u;
  const auto days = static_cast<int64_t>(seconds / 86400);
  const auto secOfDay = static_cast<unsigned>(seconds % 86400);
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days - kDays1601To1970, year, month, day);
  const unsigned weekday = static_cast<unsigned>(days % 7);  // 1601-01-01 was a Monday

  static const char* const kWeekdays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (year <= 9999) {
    // The common case, laid out by hand: a list shows one date per row.
    char* out = buffer;
    auto two = [out](size_t at, unsigned v) {
      out[at] = static_cast<char>('0' + v / 10);
      out[at + 1] = static_cast<char>('0' + v % 10);
    };
    std::memcpy(out, kWeekdays[weekday], 3);
    out[3] = ' ';
    std::memcpy(out + 4, kMonths[month - 1], 3);
    out[7] = ' ';
    two(8, day);
    out[10] = ' ';
    two(11, secOfDay / 3600);
    out[13] = ':';
    two(14, secOfDay / 60 % 60);
    out[16] = ':';
    two(17, secOfDay % 60);
    out[19] = ' ';
    two(20, static_cast<unsigned>(year / 100));
    two(22, static_cast<unsigned>(year % 100));
    return {buffer, 24};
  }
  const int n = std::snprintf(buffer, sizeof buffer, "%s %s %02u %02u:%02u:%02u %lld", kWeekdays[weekday],
                              kMonths[month - 1], day, secOfDay / 3600, secOfDay / 60 % 60,
                              secOfDay % 60, static_cast<long long>(year));
  return {buffer, n > 0 ? std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1) : 0};
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80 && b < 0xA0 && kCp1252High[b - 0x80] != 0) {
      AppendUtf8(out, kCp1252High[b - 0x80]);
    } else {
      AppendUtf8(out, b);
    }
  }
  return out;
}

}  // namespace velmorix::session
