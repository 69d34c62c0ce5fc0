// HTML and text out of RTF. The reader follows groups, control words and
// code pages (the document's \ansicpg and each font's \fcharset or \cpg);
// destinations that hold no visible text are skipped. For encapsulated HTML
// it copies the content of \*\htmltag groups and the text outside them that
// no \htmlrtf marks as RTF-only.
#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "content/rtf.h"

namespace velmorix::content {
namespace {

enum class TokenType { GroupStart, GroupEnd, Word, Symbol, HexByte, Text, End };

struct Token {
  TokenType type = TokenType::End;
  std::string_view word;  // control word name, or the text run
  bool hasParam = false;
  int32_t param = 0;
  char symbol = 0;
  uint8_t byte = 0;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view s) : s_(s) {}

  Token Next() {
    Token t;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '{') {
        ++pos_;
        t.type = TokenType::GroupStart;
        return t;
      }
      if (c == '}') {
        ++pos_;
        t.type = TokenType::GroupEnd;
        return t;
      }
      if (c == '\\') return Control();
      if (c == '\r' || c == '\n' || c == '\0') {
        ++pos_;
        continue;
      }
      const size_t start = pos_;
      while (pos_ < s_.size() && s_[pos_] != '\\' && s_[pos_] != '{' && s_[pos_] != '}' &&
             s_[pos_] != '\r' && s_[pos_] != '\n' && s_[pos_] != '\0') {
        ++pos_;
      }
      t.type = TokenType::Text;
      t.word = s_.substr(start, pos_ - start);
      return t;
    }
    return t;
  }

  // Skips `n` bytes of binary data (\binN).
  void SkipBytes(int64_t n) {
    pos_ += static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(s_.size() - pos_)));
  }

 private:
  Token Control() {
    Token t;
    ++pos_;  // the backslash
    if (pos_ >= s_.size()) return t;
    const char c = s_[pos_];
    if (!IsLetter(c)) {
      ++pos_;
      if (c == '\'') {
        const int hi = pos_ < s_.size() ? HexValue(s_[pos_]) : -1;
        const int lo = pos_ + 1 < s_.size() ? HexValue(s_[pos_ + 1]) : -1;
        if (hi >= 0 && lo >= 0) {
          pos_ += 2;
          t.type = TokenType::HexByte;
          t.byte = static_cast<uint8_t>(hi * 16 + lo);
          return t;
        }
      }
      t.type = TokenType::Symbol;
      t.symbol = c;
      return t;
    }
    const size_t start = pos_;
    while (pos_ < s_.size() && IsLetter(s_[pos_])) ++pos_;
    t.type = TokenType::Word;
    t.word = s_.substr(start, std::min<size_t>(pos_ - start, 32));
    bool negative = false;
    if (pos_ < s_.size() && s_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    int64_t value = 0;
    size_t digits = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      if (digits < 10) value = value * 10 + (s_[pos_] - '0');
      ++digits;
      ++pos_;
    }
    if (digits > 0) {
      t.hasParam = true;
      value = std::clamp<int64_t>(negative ? -value : value, INT32_MIN, INT32_MAX);
      t.param = static_cast<int32_t>(value);
    }
    if (pos_ < s_.size() && s_[pos_] == ' ') ++pos_;
    return t;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

// Destinations whose content is never text of the document.
bool IsSkippedDestination(std::string_view w) {
  static constexpr std::string_view kSkipped[] = {
      "colortbl", "stylesheet", "info", "pict", "object", "header", "headerl", "headerr",
      "headerf", "footer", "footerl", "footerr", "footerf", "footnote", "annotation", "atnid",
      "atnauthor", "fldinst", "themedata", "colorschememapping", "datastore", "latentstyles",
      "listtable", "listoverridetable", "revtbl", "rsidtbl", "generator", "xmlnstbl", "mmathPr",
      "pgdsctbl", "bkmkstart", "bkmkend", "txe", "xe", "tc", "filetbl", "nonshppict", "userprops",
      "docvar", "pntxta", "pntxtb", "template", "shpinst", "sp", "sn", "sv", "pn", "wgrffmtfilter",
      "mhtmltag", "htmltag", "fonttbl"};
  return std::find(std::begin(kSkipped), std::end(kSkipped), w) != std::end(kSkipped);
}

// A character a control word stands for; 0 when none.
uint32_t SpecialCharacter(std::string_view w) {
  if (w == "lquote") return 0x2018;
  if (w == "rquote") return 0x2019;
  if (w == "ldblquote") return 0x201C;
  if (w == "rdblquote") return 0x201D;
  if (w == "bullet") return 0x2022;
  if (w == "endash") return 0x2013;
  if (w == "emdash") return 0x2014;
  if (w == "enspace") return 0x2002;
  if (w == "emspace") return 0x2003;
  if (w == "qmspace") return 0x2005;
  return 0;
}

enum class Mode { Html, Text };

struct Group {
  bool skip = false;
  bool htmlrtf = false;
  bool htmltag = false;
  bool fontTable = false;
  int uc = 1;
  int font = -1;
};

// Deeper groups than this are read as skipped destinations.
constexpr size_t kMaxGroupDepth = 512;

class Converter {
 public:
  Converter(std::string_view rtf, TextDecoder& decoder, Mode mode)
      : tokens_(rtf), decoder_(decoder), mode_(mode) {
    stack_.push_back(Group{});
  }

  std::string Run() {
    for (Token t = tokens_.Next(); t.type != TokenType::End; t = tokens_.Next()) Handle(t);
    DropSurrogate();
    Flush();
    return std::move(out_);
  }

 private:
  Group& cur() { return stack_.back(); }

  bool Visible() {
    const Group& g = cur();
    if (g.skip) return false;
    if (mode_ == Mode::Html && g.htmltag) return true;
    return !g.htmlrtf && !g.htmltag;
  }

  int CodePage() {
    if (mode_ == Mode::Html && cur().htmltag) return defaultCp_;
    auto it = fontCp_.find(cur().font >= 0 ? cur().font : deffont_);
    return it != fontCp_.end() ? it->second : defaultCp_;
  }

  void Flush() {
    if (!pending_.empty()) {
      decoder_.AppendUtf8(AsBytes(pending_), pendingCp_, out_);
      pending_.clear();
    }
  }
  // A high surrogate that no low one followed stands for U+FFFD.
  void DropSurrogate() {
    if (!highSurrogate_) return;
    highSurrogate_ = 0;
    Flush();
    AppendCodePoint(0xFFFD, out_);
  }
  void Byte(uint8_t b) {
    if (b == 0) return;
    DropSurrogate();
    const int cp = CodePage();
    if (!pending_.empty() && cp != pendingCp_) Flush();
    pendingCp_ = cp;
    pending_ += static_cast<char>(b);
  }
  void Ascii(std::string_view s) {
    DropSurrogate();
    Flush();
    out_ += s;
  }
  void CodePoint(uint32_t c) {
    DropSurrogate();
    Flush();
    AppendCodePoint(c, out_);
  }

  // A \uN character; the fallback characters after it are skipped.
  void Unicode(int32_t n) {
    const uint32_t u = static_cast<uint32_t>(n < 0 ? n + 65536 : n) & 0xFFFF;
    if (u >= 0xDC00 && u <= 0xDFFF && highSurrogate_) {
      const uint32_t high = highSurrogate_;
      highSurrogate_ = 0;
      CodePoint(0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00));
    } else if (u >= 0xD800 && u <= 0xDBFF) {
      DropSurrogate();
      Flush();
      highSurrogate_ = u;
    } else {
      CodePoint(u == 0 ? 0xFFFD : u);
    }
    skip_ = std::max(0, cur().uc);
  }

  // A token that a \uN fallback swallows.
  bool Swallowed() {
    if (skip_ == 0) return false;
    --skip_;
    return true;
  }

  void Handle(const Token& t) {
    const bool first = groupStarted_;
    groupStarted_ = false;
    switch (t.type) {
      case TokenType::GroupStart:
        if (stack_.size() >= kMaxGroupDepth) {
          ++overflow_;
        } else {
          stack_.push_back(cur());
        }
        groupStarted_ = true;
        star_ = false;
        return;
      case TokenType::GroupEnd:
        skip_ = 0;
        star_ = false;
        if (overflow_ > 0) {
          --overflow_;
        } else if (stack_.size() > 1) {
          stack_.pop_back();
        }
        return;
      case TokenType::Symbol:
        Symbol(t.symbol, first);
        return;
      case TokenType::HexByte:
        if (Swallowed() || overflow_ > 0) return;
        if (Visible()) Byte(t.byte);
        return;
      case TokenType::Text:
        star_ = false;
        for (char c : t.word) {
          if (Swallowed() || overflow_ > 0) continue;
          if (Visible()) Byte(static_cast<uint8_t>(c));
        }
        return;
      case TokenType::Word:
        Word(t, first);
        return;
      case TokenType::End:
        return;
    }
  }

  void Symbol(char s, bool first) {
    if (s == '*') {
      star_ = first || star_;
      groupStarted_ = first;  // the destination's name still follows
      return;
    }
    if (Swallowed() || overflow_ > 0 || !Visible()) return;
    switch (s) {
      case '\\': case '{': case '}':
        Byte(static_cast<uint8_t>(s));
        break;
      case '~':
        CodePoint(0xA0);
        break;
      case '_':
        CodePoint(mode_ == Mode::Html ? 0xAD : 0x2011);
        break;
      case '\r': case '\n':
        Ascii("\r\n");
        break;
      case '\t':
        Ascii("\t");
        break;
      default:
        break;  // \- \: \| and unknown symbols have no text
    }
  }

  void Word(const Token& t, bool first) {
    const std::string_view w = t.word;
    if (w == "bin") {
      if (t.hasParam && t.param > 0) tokens_.SkipBytes(t.param);
      return;
    }
    if (overflow_ > 0) return;
    Group& g = cur();
    if (first) {
      // The first word of a group may name a destination.
      if (star_ && mode_ == Mode::Html && w == "htmltag") {
        g.htmltag = true;
        g.htmlrtf = false;
        star_ = false;
        return;
      }
      if (w == "fonttbl") {
        g.fontTable = true;
        g.skip = true;
      } else if (star_ || IsSkippedDestination(w)) {
        g.skip = true;
      }
      star_ = false;
    }
    if (g.fontTable) {
      FontTableWord(t);
      return;
    }
    // Words of the document's header count wherever they stand.
    if (w == "ansicpg" && t.hasParam && t.param > 0) {
      defaultCp_ = t.param;
      return;
    }
    if (w == "mac") defaultCp_ = 10000;
    if (w == "pc") defaultCp_ = 437;
    if (w == "pca") defaultCp_ = 850;
    if (w == "deff" && t.hasParam) deffont_ = t.param;
    if (w == "uc" && t.hasParam) {
      g.uc = std::clamp(t.param, 0, 8);
      return;
    }
    if (w == "htmlrtf") {
      g.htmlrtf = !t.hasParam || t.param != 0;
      return;
    }
    if (w == "f" && t.hasParam) {
      g.font = t.param;
      return;
    }
    if (g.skip) return;
    if (w == "u" && t.hasParam) {
      if (Swallowed()) return;
      if (Visible()) {
        Unicode(t.param);
      } else {
        skip_ = std::max(0, g.uc);
      }
      return;
    }
    if (Swallowed() || !Visible()) return;
    if (w == "par" || w == "line") {
      Ascii("\r\n");
    } else if (w == "tab") {
      Ascii("\t");
    } else if (mode_ == Mode::Text && (w == "row" || w == "page" || w == "sect")) {
      Ascii("\r\n");
    } else if (mode_ == Mode::Text && w == "cell") {
      Ascii("\t");
    } else if (uint32_t c = SpecialCharacter(w)) {
      CodePoint(c);
    }
  }

  void FontTableWord(const Token& t) {
    if (t.word == "f" && t.hasParam) {
      tableFont_ = t.param;
    } else if (t.word == "fcharset" && t.hasParam) {
      if (int cp = CodePageOfRtfCharset(t.param)) fontCp_[tableFont_] = cp;
    } else if (t.word == "cpg" && t.hasParam && t.param > 0) {
      fontCp_[tableFont_] = t.param;
    }
  }

  Tokenizer tokens_;
  TextDecoder& decoder_;
  Mode mode_;
  std::vector<Group> stack_;
  size_t overflow_ = 0;
  bool groupStarted_ = false;
  bool star_ = false;
  int skip_ = 0;
  uint32_t highSurrogate_ = 0;
  int defaultCp_ = kCodePageWindows1252;
  int deffont_ = 0;
  int tableFont_ = 0;
  std::map<int, int> fontCp_;
  std::string out_;
  std::string pending_;
  int pendingCp_ = kCodePageWindows1252;
};

}  // namespace

bool RtfEncapsulatesHtml(std::string_view rtf) {
  // \fromhtml stands in the header, before the first text of the document.
  Tokenizer tokens(rtf);
  int depth = 0;
  for (int n = 0; n < 4096; ++n) {
    const Token t = tokens.Next();
    switch (t.type) {
      case TokenType::End:
        return false;
      case TokenType::GroupStart:
        ++depth;
        break;
      case TokenType::GroupEnd:
        if (--depth <= 0) return false;
        break;
      case TokenType::Word:
        if (depth == 1 && t.word == "fromhtml") return !t.hasParam || t.param != 0;
        if (t.word == "htmltag") return false;
        break;
      case TokenType::Text:
        if (depth == 1 && t.word.find_first_not_of(' ') != std::string_view::npos) return false;
        break;
      default:
        break;
    }
  }
  return false;
}

std::optional<std::string> RtfToHtml(std::string_view rtf, TextDecoder& decoder) {
  if (!RtfEncapsulatesHtml(rtf)) return std::nullopt;
  return Converter(rtf, decoder, Mode::Html).Run();
}

std::string RtfToText(std::string_view rtf, TextDecoder& decoder) {
  return Converter(rtf, decoder, Mode::Text).Run();
}

}  // namespace velmorix::content
