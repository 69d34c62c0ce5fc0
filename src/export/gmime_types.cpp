#include "export/gmime_types.h"

#include <mutex>

// A GMime stream subclass whose writes go to a C++ callback.
struct VelmorixSinkStream {
  GMimeStream parent;
  const velmorix::exporting::mime::Sink* sink;
};
struct VelmorixSinkStreamClass {
  GMimeStreamClass parentClass;
};

G_DEFINE_TYPE(VelmorixSinkStream, velmorix_sink_stream, GMIME_TYPE_STREAM)

namespace {

VelmorixSinkStream* Self(GMimeStream* stream) { return reinterpret_cast<VelmorixSinkStream*>(stream); }

ssize_t SinkRead(GMimeStream*, char*, size_t) { return -1; }
ssize_t SinkWrite(GMimeStream* stream, const char* buf, size_t len) {
  const auto* sink = Self(stream)->sink;
  if (!sink || !(*sink)(std::string_view(buf, len))) return -1;
  stream->position += static_cast<gint64>(len);
  return static_cast<ssize_t>(len);
}
int SinkFlush(GMimeStream*) { return 0; }
int SinkClose(GMimeStream* stream) {
  Self(stream)->sink = nullptr;
  return 0;
}
gboolean SinkEos(GMimeStream*) { return TRUE; }
int SinkReset(GMimeStream*) { return -1; }
gint64 SinkSeek(GMimeStream*, gint64, GMimeSeekWhence) { return -1; }
gint64 SinkTell(GMimeStream* stream) { return stream->position; }
gint64 SinkLength(GMimeStream*) { return -1; }
GMimeStream* SinkSubstream(GMimeStream*, gint64, gint64) { return nullptr; }

}  // namespace

static void velmorix_sink_stream_init(VelmorixSinkStream* self) { self->sink = nullptr; }

static void velmorix_sink_stream_class_init(VelmorixSinkStreamClass* klass) {
  GMimeStreamClass* c = &klass->parentClass;
  c->read = SinkRead;
  c->write = SinkWrite;
  c->flush = SinkFlush;
  c->close = SinkClose;
  c->eos = SinkEos;
  c->reset = SinkReset;
  c->seek = SinkSeek;
  c->tell = SinkTell;
  c->length = SinkLength;
  c->substream = SinkSubstream;
}

namespace velmorix::exporting::mime {

void EnsureInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

Ref<GMimeStream> SinkStream(const Sink& sink) {
  EnsureInitialized();
  auto* stream = static_cast<VelmorixSinkStream*>(g_object_new(velmorix_sink_stream_get_type(), nullptr));
  g_mime_stream_construct(&stream->parent, 0, -1);
  stream->sink = &sink;
  return Ref<GMimeStream>(&stream->parent);
}

}  // namespace velmorix::exporting::mime
