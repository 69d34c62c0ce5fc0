// GMime at the layer's edge: owning pointers for its objects, the library's
// start-up, and a stream that hands what GMime writes to a C++ callback.
#pragma once

#include <gmime/gmime.h>

#include <functional>
#include <memory>
#include <string_view>

namespace velmorix::exporting::mime {

struct ObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
// Owns one reference to a GObject.
template <typename T>
using Ref = std::unique_ptr<T, ObjectUnref>;

struct FormatOptionsFree {
  void operator()(GMimeFormatOptions* p) const {
    if (p) g_mime_format_options_free(p);
  }
};
using FormatOptions = std::unique_ptr<GMimeFormatOptions, FormatOptionsFree>;

struct ParserOptionsFree {
  void operator()(GMimeParserOptions* p) const {
    if (p) g_mime_parser_options_free(p);
  }
};
using ParserOptions = std::unique_ptr<GMimeParserOptions, ParserOptionsFree>;

struct DateTimeUnref {
  void operator()(GDateTime* p) const {
    if (p) g_date_time_unref(p);
  }
};
using DateTime = std::unique_ptr<GDateTime, DateTimeUnref>;

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GString = std::unique_ptr<char, GFree>;

// Starts GMime once for the process (its tables are process-wide and never
// released while the program runs). Safe to call from any thread.
void EnsureInitialized();

// Receives what a stream writes; false stops the writing.
using Sink = std::function<bool(std::string_view)>;

// A write-only GMime stream over `sink`; `sink` must outlive the stream.
Ref<GMimeStream> SinkStream(const Sink& sink);

}  // namespace velmorix::exporting::mime
