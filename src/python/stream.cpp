// A plan's records over a document that arrives in pieces: each piece is decoded, its markup
// followed to the last place a cut may fall (cut_plan), and the bytes up to there answered as a
// document of their own, behind the start tags still open there, so no record is ever split.
#include "python/stream.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/document.hpp"
#include "engine/document_stream.hpp"
#include "path/cut_plan.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/locate.hpp"
#include "python/messages.hpp"
#include "python/plan.hpp"
#include "python/record_feed.hpp"
#include "python/record_sinks.hpp"
#include "python/source.hpp"
#include "python/unlocked.hpp"
#include "xml/cuts.hpp"

namespace varnex::python {
namespace {

constexpr const char* kCapsuleName = "varnex.RecordStream";
// Bytes gathered before they are answered: a pass costs little to begin, and a piece of this
// size keeps that little out of sight while the first and the last pieces, answered with no
// reading beside them, stay short. Made smaller only by the tests (_set_stream_window), so that
// small documents are cut too.
std::atomic<size_t> g_window_bytes{1 << 20};

// The line feeds in `bytes`, 16 bytes at a time: every byte of the stream passes here once, on
// the thread that takes the pieces.
// Each compare's 0xFF bytes are subtracted from byte counters, summed before they can wrap.
size_t count_lines(std::string_view bytes) noexcept {
  size_t n = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  while (i + 16 <= bytes.size()) {
    __m128i counts = _mm_setzero_si128();
    for (int k = 0; k < 255 && i + 16 <= bytes.size(); ++k, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(v, lf));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    n += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  for (; i < bytes.size(); ++i) n += bytes[i] == '\n';
  return n;
}

struct Stream {
  Stream(PyObject* capsule, const RecordPlan& plan, bool as_rows, bool text,
         const ModuleState& state)
      : plan_capsule(Ref::borrow(capsule)),
        plan(plan),
        cuts(path::cut_plan(*plan.record)),
        decoder(text),
        finder(cuts.max_depth, cuts.unique),
        locator(std::string_view()) {
    if (as_rows) {
      rows = std::make_unique<RowSink>(plan, locator, state);
    } else {
      columns = std::make_unique<ColumnSink>(plan, locator, state);
    }
  }

  [[nodiscard]] RecordSink& sink() noexcept {
    return rows ? static_cast<RecordSink&>(*rows) : static_cast<RecordSink&>(*columns);
  }
  // Decodes `raw` onto the bytes kept and, with `follow`, follows their markup (else the
  // answering thread does, once a window's worth has come). The mutex is held.
  void take(std::string_view raw, bool final, bool follow) {
    const size_t before = pending.size();
    decoder.push(raw, final, pending);
    kept_lines += count_lines(std::string_view(pending).substr(before));
    unanswered += raw.size();
    if (follow) this->follow(final);
    cut_ready.store(
        follow ? ready(false, false) : unanswered >= g_window_bytes.load(std::memory_order_relaxed),
        std::memory_order_release);
  }

  // Follows the markup of the bytes kept from where it stopped (nothing more when it is
  // there). The mutex is held.
  void follow(bool final) {
    if (cuts.cuts) finder.scan(kept(), final);
  }

  // The bytes kept since the last cut, behind their context in `pending`.
  [[nodiscard]] std::string_view kept() const noexcept {
    return std::string_view(pending).substr(context_size);
  }

  // Whether the bytes up to the cut are to be answered now (all of them at the end). The
  // mutex is held.
  [[nodiscard]] bool ready(bool final, bool drain) const noexcept {
    return final || (finder.cut() != xml::CutFinder::kNone &&
                     (drain || unanswered >= g_window_bytes.load(std::memory_order_relaxed)));
  }

  // Makes the bytes kept up to the cut (all of them at the end), behind their context, the
  // window, and keeps what follows behind its own. The window takes the buffer they are in, so
  // only what follows the cut is copied. The mutex is held.
  void cut_window(bool final) {
    const size_t cut = final ? kept().size() : finder.cut();
    std::swap(window, pending);
    window_prefix = context_size;
    window_offset = offset;
    window_line = line;
    unanswered = 0;
    cut_ready.store(false, std::memory_order_relaxed);
    if (final) {
      pending.clear();
      context_size = 0;
      kept_lines = 0;
      return;
    }
    const std::string_view bytes = std::string_view(window).substr(window_prefix);
    offset += cut;
    const size_t after = count_lines(bytes.substr(cut));
    line += kept_lines - after;
    kept_lines = after;
    if (!prolog_taken) {
      prolog.assign(bytes.substr(0, finder.prolog_end()));
      prolog_taken = true;
    }
    pending.assign(prolog);
    for (size_t level = 0;; ++level) {
      // Children that ended here, as empty elements: a step that must be unique sees them.
      if (level < 64 && (cuts.unique >> level & 1) != 0) {
        for (const std::string& name : finder.ended_names(level)) {
          pending.append("<").append(name).append("/>");
        }
      }
      if (level == finder.cut_depth()) break;
      pending.append(finder.open_tag(level));
    }
    context_size = pending.size();
    pending.append(bytes.substr(cut));
    window.resize(window_prefix + cut);
    finder.drop_to_cut();
  }

  // Answers the window, as a document of its own whose records are the stream's.
  [[nodiscard]] bool answer() {
    locator.rebind(window, window_prefix, window_offset, window_line);
    return feed_records(window, true, plan, locator, sink(), skipped, &next_index, 1,
                        &feed_buffers);
  }

  Ref plan_capsule;  // keeps the plan alive
  const RecordPlan& plan;
  path::CutPlan cuts;
  // What a reading thread (take) and the answering one (cut_window) share.
  std::mutex mutex;
  engine::DocumentStream decoder;
  xml::CutFinder finder;
  // The start tags (and the prolog) the bytes kept since the last cut (decoded) are read
  // behind, then those bytes.
  std::string pending;
  size_t context_size = 0;
  std::string prolog;  // what comes before the first element
  bool prolog_taken = false;
  size_t offset = 0;  // of the first byte kept, in the stream (decoded)
  size_t line = 1;
  size_t kept_lines = 0;  // line feeds in the bytes kept, counted as they come
  size_t unanswered = 0;  // bytes taken since the last pass
  // The answering thread's: the document being answered and where it stands in the stream.
  std::string window;
  size_t window_prefix = 0;
  size_t window_offset = 0;
  size_t window_line = 1;
  size_t next_index = 0;
  Locator locator;
  std::unique_ptr<RowSink> rows;
  std::unique_ptr<ColumnSink> columns;
  Skipped skipped;
  FeedReuse feed_buffers;  // what each window's pass builds, built once
  std::atomic<bool> busy{false};
  // ready(false, false) as the last take left it: the answering thread looks here before it
  // waits for the mutex, which the reading thread holds while it takes a piece.
  std::atomic<bool> cut_ready{false};
  bool ended = false;
};

void stream_destructor(PyObject* capsule) noexcept {
  delete static_cast<Stream*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

Stream* stream_of(PyObject* capsule) noexcept {
  auto* stream = static_cast<Stream*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (stream == nullptr) {
    PyErr_Clear();
    raise(Message::StreamNotCapsule);
  }
  return stream;
}

constexpr Param kOpenParams[] = {{"plan", ParamKind::Any},
                                 {"as_rows", ParamKind::Flag},
                                 {"text", ParamKind::Flag},
                                 {"limits", ParamKind::Any}};
constexpr Signature kOpenSignature{"_stream_open()", kOpenParams};

PyObject* py_stream_open(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(kOpenSignature, args, nargs, kwnames, bound)) return nullptr;
    const RecordPlan* plan = plan_of(bound[0].object);
    if (plan == nullptr) return nullptr;
    size_t rows = 0;
    size_t bytes = 0;
    if (!read_batch_limits(bound[3].object, rows, bytes)) return nullptr;
    auto stream = std::make_unique<Stream>(bound[0].object, *plan, bound[1].flag, bound[2].flag,
                                           module_state(module));
    if (stream->columns) {
      stream->columns->limit(rows, bytes);
    }
    Ref capsule = Ref::steal(PyCapsule_New(stream.get(), kCapsuleName, stream_destructor));
    if (!capsule) return nullptr;
    stream.release();  // the capsule owns it now
    return capsule.release();
  });
}

// `drain`: the records complete so far are answered now, however few (the input has failed).
constexpr Param kFeedParams[] = {{"stream", ParamKind::Any},
                                 {"chunk", ParamKind::Any},
                                 {"final", ParamKind::Flag},
                                 {"drain", ParamKind::Flag, false}};
constexpr Signature kFeedSignature{"_stream_feed()", kFeedParams};

// Marks the stream in use for its lifetime, or fails with RuntimeError.
class InUse {
 public:
  explicit InUse(Stream& stream) noexcept : stream_(stream) {
    bool expected = false;
    taken_ = stream.busy.compare_exchange_strong(expected, true);
    if (!taken_) raise(Message::StreamBusy);
  }
  ~InUse() {
    if (taken_) stream_.busy.store(false);
  }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;
  [[nodiscard]] bool taken() const noexcept { return taken_; }

 private:
  Stream& stream_;
  bool taken_ = false;
};

// Returns (rows or batches made so far, records skipped in all, the first one's error or None).
PyObject* py_stream_feed(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[4];
    if (!bind_args(kFeedSignature, args, nargs, kwnames, bound)) return nullptr;
    Stream* stream = stream_of(bound[0].object);
    if (stream == nullptr) return nullptr;
    const InUse in_use(*stream);
    if (!in_use.taken()) return nullptr;
    if (stream->ended) {
      raise(Message::StreamEnded);
      return nullptr;
    }
    const bool final = bound[2].flag;
    bool ready = false;
    if (bound[1].object != Py_None || final || bound[3].flag ||
        stream->cut_ready.load(std::memory_order_acquire)) {
      SourceBytes chunk;
      if (bound[1].object != Py_None && !chunk.acquire(bound[1].object)) return nullptr;
      std::string copy;
      std::string_view raw = chunk.bytes();
      if (!chunk.is_immutable()) raw = copy.assign(raw);  // Python code may change it meanwhile
      const UnlockedPass pass(true, std::max<size_t>(raw.size(), kUnlockedPassMinBytes));
      const std::lock_guard<std::mutex> lock(stream->mutex);
      if (bound[1].object != Py_None) stream->take(raw, final, false);
      stream->follow(final);
      ready = stream->ready(final, bound[3].flag);
      if (ready) stream->cut_window(final);
    }
    if (ready) {
      stream->ended = final;
      if (!stream->answer()) {
        stream->ended = true;
        return nullptr;
      }
    }
    if (final && stream->columns && !stream->columns->flush()) return nullptr;
    Ref made = stream->rows ? stream->rows->take() : stream->columns->take();
    if (!made) return nullptr;
    const Skipped& skipped = stream->skipped;
    return Py_BuildValue("(OnO)", made.get(), static_cast<Py_ssize_t>(skipped.count),
                         skipped.first ? skipped.first.get() : Py_None);
  });
}

constexpr Param kDeclaredParams[] = {{"head", ParamKind::Any}, {"final", ParamKind::Flag}};
constexpr Signature kDeclaredSignature{"_declared_codec()", kDeclaredParams};

// How a stream whose first bytes are `head` is decoded before the core reads it: None while
// more bytes could change that (unless `final`); else (label, how, error): `how` is "codec"
// (decode with Python's codec `label`), "unknown" (there is none: the bytes must be UTF-8, else
// `error` is raised) or "" (the core reads them as they come), as for a whole document.
PyObject* py_declared_codec(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[2];
    if (!bind_args(kDeclaredSignature, args, nargs, kwnames, bound)) return nullptr;
    SourceBytes head;
    if (!head.acquire_buffer(bound[0].object)) return nullptr;
    const std::optional<engine::DocumentEncoding> found =
        engine::stream_encoding(head.bytes(), bound[1].flag);
    if (!found) Py_RETURN_NONE;
    const std::string label(found->other_label);
    const char* how = "";
    Ref error = Ref::borrow(Py_None);
    if (!label.empty()) {
      switch (label_codec(label)) {
        case LabelCodec::Failed: return nullptr;
        case LabelCodec::Usable: how = "codec"; break;
        case LabelCodec::Missing:
          how = "unknown";
          error = Ref::steal(unknown_encoding_text(label));
          if (!error) return nullptr;
          break;
        case LabelCodec::Contradicted: break;
      }
    }
    // A label that is not ASCII names no codec; Latin-1 shows its bytes as they are.
    Ref name = Ref::steal(
        PyUnicode_DecodeLatin1(label.data(), static_cast<Py_ssize_t>(label.size()), nullptr));
    if (!name) return nullptr;
    return Py_BuildValue("(OsO)", name.get(), how, error.get());
  });
}

// Sets the bytes gathered before a pass and returns the old number (for the tests).
PyObject* py_set_stream_window(PyObject*, PyObject* bytes) noexcept {
  const Py_ssize_t value = PyLong_AsSsize_t(bytes);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  if (value < 0) {
    raise(Message::WindowNegative);
    return nullptr;
  }
  return PyLong_FromSize_t(g_window_bytes.exchange(static_cast<size_t>(value)));
}

constexpr Param kTakeParams[] = {
    {"stream", ParamKind::Any}, {"chunk", ParamKind::Any}, {"follow", ParamKind::Flag}};
constexpr Signature kTakeSignature{"_stream_take()", kTakeParams};

// The reading half of _stream_feed, for a thread of its own: the piece is decoded, and with
// `follow` its markup followed, while another thread answers what came before. Whichever thread
// is ahead follows the markup: reading a file leaves time to spare, decompressing seldom does.
PyObject* py_stream_take(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return call_guarded([&]() -> PyObject* {
    BoundArg bound[3];
    if (!bind_args(kTakeSignature, args, nargs, kwnames, bound)) return nullptr;
    Stream* stream = stream_of(bound[0].object);
    if (stream == nullptr) return nullptr;
    SourceBytes chunk;
    if (!chunk.acquire(bound[1].object)) return nullptr;
    std::string copy;
    std::string_view raw = chunk.bytes();
    if (!chunk.is_immutable()) raw = copy.assign(raw);
    {
      const UnlockedPass pass(true, std::max<size_t>(raw.size(), kUnlockedPassMinBytes));
      const std::lock_guard<std::mutex> lock(stream->mutex);
      stream->take(raw, false, bound[2].flag);
    }
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef kStreamTakeDef = {"_stream_take", as_cfunction<py_stream_take>(),
                              METH_FASTCALL | METH_KEYWORDS,
                              "_stream_take(stream, chunk, follow)\n--\n\n"};
PyMethodDef kDeclaredCodecDef = {"_declared_codec", as_cfunction<py_declared_codec>(),
                                 METH_FASTCALL | METH_KEYWORDS,
                                 "_declared_codec(head, final)\n--\n\n"};
PyMethodDef kSetStreamWindowDef = {"_set_stream_window", py_set_stream_window, METH_O,
                                   "_set_stream_window(bytes)\n--\n\n"};
PyMethodDef kStreamOpenDef = {"_stream_open", as_cfunction<py_stream_open>(),
                              METH_FASTCALL | METH_KEYWORDS,
                              "_stream_open(plan, as_rows, text, limits)\n--\n\n"};
PyMethodDef kStreamFeedDef = {"_stream_feed", as_cfunction<py_stream_feed>(),
                              METH_FASTCALL | METH_KEYWORDS,
                              "_stream_feed(stream, chunk, final, drain=False)\n--\n\n"};

}  // namespace varnex::python
