#include "search/query.h"

#include <algorithm>
#include <charconv>

#include "search/casefold.h"

namespace velmorix::search {

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86'400;

// Days from 1601-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFrom1601(int year, int month, int day) {
  // Days from 1970-01-01, then shifted.
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t from1970 = era * 146097 + doe - 719468;
  return from1970 + 134774;
}

bool Number(std::string_view text, size_t at, size_t digits, int& out) {
  if (at + digits > text.size()) return false;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return std::from_chars(text.data() + at, text.data() + at + digits, out).ec == std::errc();
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<unsigned> ParseFields(std::string_view names) {
  unsigned fields = 0;
  size_t start = 0;
  while (start <= names.size()) {
    const size_t comma = std::min(names.find(',', start), names.size());
    const std::string_view name = names.substr(start, comma - start);
    if (name == "subject") fields |= kSubject;
    else if (name == "from") fields |= kFrom;
    else if (name == "to") fields |= kTo;
    else if (name == "body") fields |= kBody;
    else if (name == "attachments") fields |= kAttachments;
    else return std::nullopt;
    start = comma + 1;
  }
  return fields;
}

std::optional<uint64_t> ParseDate(std::string_view text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Number(text, 0, 4, year) || text.size() < 10 || text[4] != '-' || text[7] != '-' ||
      !Number(text, 5, 2, month) || !Number(text, 8, 2, day)) {
    return std::nullopt;
  }
  if (text.size() > 10) {
    if ((text[10] != 'T' && text[10] != ' ') || text.size() < 16 || text[13] != ':' || !Number(text, 11, 2, hour) ||
        !Number(text, 14, 2, minute)) {
      return std::nullopt;
    }
    if (text.size() > 16 && (text.size() != 19 || text[16] != ':' || !Number(text, 17, 2, second))) {
      return std::nullopt;
    }
  }
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  const int64_t days = DaysFrom1601(year, month, day);
  return static_cast<uint64_t>(days) * kTicksPerDay +
         static_cast<uint64_t>(hour * 3600 + minute * 60 + second) * kTicksPerSecond;
}

uint64_t NextDay(uint64_t filetime) { return (filetime / kTicksPerDay + 1) * kTicksPerDay; }

Matcher::Matcher(Query query) : query_(std::move(query)), needle_(Folded(query_.text)) {}

bool Matcher::Contains(std::string_view text) const {
  if (needle_.empty()) return true;
  if (text.size() * 2 < needle_.size()) return false;  // folding at most halves a text
  // Folded in a buffer kept per thread: no allocation per text.
  thread_local std::string folded;
  folded.clear();
  AppendFolded(text, folded);
  return folded.find(needle_) != std::string::npos;
}

bool Matcher::InRange(uint64_t date) const {
  if (query_.after == 0 && query_.before == 0) return true;
  if (date == 0) return false;
  if (query_.after != 0 && date < query_.after) return false;
  if (query_.before != 0 && date >= query_.before) return false;
  return true;
}

}  // namespace velmorix::search
