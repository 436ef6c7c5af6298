// The input rules: how the bytes of a document object are obtained.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "engine/document.hpp"
#include "python/mapped_reads.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// The object whose bytes a query reads for the caller's `data`: `data` itself,
// or, for an os.PathLike, a read-only map of the file it names. The one place
// that decides what kinds of document a caller may pass; a new reference, or
// NULL with an exception set (OSError for a file that cannot be mapped,
// ValueError for a str without markup that names a file). A file's map is of `state`'s class.
[[nodiscard]] Ref open_document(const ModuleState& state, PyObject* data) noexcept;

// What Python's codecs make of an encoding a document declares that the core does not know:
// a codec that reads the declaration's ASCII as ASCII (Usable), one that reads it otherwise
// (Contradicted: the bytes are read as UTF-8, as for UTF-16's), none (Missing: read as UTF-8,
// and it is an error when they are not), or an exception set (Failed).
enum class LabelCodec { Usable, Contradicted, Missing, Failed };
[[nodiscard]] LabelCodec label_codec(const std::string& name) noexcept;

// The bytes of one document object, valid until release() or destruction.
// A buffer view, when one was taken, is held exactly that long.
class SourceBytes {
 public:
  SourceBytes() noexcept = default;
  // With the module's state at hand, its interned names serve the lookups.
  explicit SourceBytes(const ModuleState& state) noexcept : state_(&state) {}
  SourceBytes(const SourceBytes&) = delete;
  SourceBytes& operator=(const SourceBytes&) = delete;

  // bytes, then str (its UTF-8 form), then a C-contiguous byte buffer.
  // False with an exception set; `source` is borrowed and must outlive this.
  [[nodiscard]] bool acquire(PyObject* source) noexcept;
  // A C-contiguous byte buffer only (bytes qualify, str does not).
  [[nodiscard]] bool acquire_buffer(PyObject* exporter) noexcept;
  // A str's UTF-8 form, as the interpreter keeps it.
  [[nodiscard]] bool acquire_str(PyObject* text) noexcept;
  // A bytes object's contents.
  void acquire_bytes(PyObject* bytes) noexcept;

  // Reads the bytes acquired as a document in the encoding they announce:
  // one in another encoding than UTF-8 is decoded into a copy held here (and
  // a buffer view is then released at once). A str is text already and stays
  // as it is. False with an exception set: MemoryError, or with UnknownLabel::Raise the
  // ValueError naming a declared encoding nobody knows over bytes that are not UTF-8.
  enum class UnknownLabel { Raise, ReadAsUtf8 };
  [[nodiscard]] bool decode_document(UnknownLabel unknown = UnknownLabel::Raise) noexcept;
  // True when bytes() is a decoded copy: nothing may refer into it by offset
  // once this object is gone.
  [[nodiscard]] bool is_copy() const noexcept { return document_.is_copy(); }
  // True when no Python code can change bytes() while this object holds them,
  // so a pass may read them with the interpreter lock released.
  [[nodiscard]] bool is_immutable() const noexcept { return immutable_; }

  void release() noexcept {
    release_buffer();
    document_.clear();
    bytes_ = {};
    is_str_ = false;
    immutable_ = false;
  }
  [[nodiscard]] std::string_view bytes() const noexcept { return bytes_; }
  // True when bytes() is a str's UTF-8 form.
  [[nodiscard]] bool is_str() const noexcept { return is_str_; }

 private:
  // A document whose declaration names an encoding outside the built-in ones: decoded with
  // Python's codec of that name into a copy; without one, read as UTF-8 when it is UTF-8,
  // else (with UnknownLabel::Raise) ValueError naming the label.
  [[nodiscard]] bool decode_with_codec(std::string_view label, UnknownLabel unknown) noexcept;
  // -1 when the exporter gives no single-byte buffer (message left to the
  // caller), -2 when it is not C-contiguous (exception set).
  [[nodiscard]] int take_buffer(PyObject* exporter) noexcept;
  void release_buffer() noexcept {
    mapped_.unguard();
    buffer_.release();
  }

  std::string_view bytes_;
  BufferGuard buffer_;
  // While a buffer is held: a file map that shrinks under a read fails the call instead of
  // ending the process.
  MappedRange mapped_;
  engine::Document document_;
  const ModuleState* state_ = nullptr;
  bool is_str_ = false;
  bool immutable_ = false;
};

}  // namespace varnex::python
