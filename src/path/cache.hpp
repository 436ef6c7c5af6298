// Per-thread compile cache and the text of path errors.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "path/compiler.hpp"

namespace varnex::path {

inline constexpr size_t kPathCacheCapacity = 512;
// Bytes the cache of one thread may hold, paths and programs together.
inline constexpr size_t kPathCacheBytes = size_t{4} << 20;
// A program larger than this is compiled anew at each use instead: compiling
// costs time linear in the path, as merely hashing and comparing it on a hit
// does, so keeping it would buy little for its memory.
inline constexpr size_t kLargestCachedProgram = size_t{64} << 10;

// Looks `path` up in this thread's cache, compiling and inserting on a miss.
// The cache is emptied whole when it holds kPathCacheCapacity entries, or
// when the new entry would take it past kPathCacheBytes.
[[nodiscard]] ParseResult<ProgramPtr> compile_cached(std::string_view path);
// The same for `path` read with the prefix map `namespaces` (kept apart from the plain paths).
[[nodiscard]] ParseResult<ProgramPtr> compile_cached(std::string_view path,
                                                     const NamespaceMap& namespaces);

// Entries in this thread's cache, and the bytes they hold (for tests).
[[nodiscard]] size_t path_cache_size() noexcept;
[[nodiscard]] size_t path_cache_bytes() noexcept;

// Heap bytes `program` holds, as an estimate from its parts.
[[nodiscard]] size_t program_bytes(const Program& program) noexcept;

// Classifies a code point for the quoted path: true when it must be written
// as \u{...} (not printable, or combining). Supplied by the caller so that
// the Unicode data can come from the host.
using NeedsEscapeFn = bool (*)(char32_t cp, void* ctx);

// "{error}\n  in path: {quoted path}" plus the caret line when one applies.
[[nodiscard]] std::string format_path_error(const ParseError& error, std::string_view path,
                                            NeedsEscapeFn needs_escape, void* ctx);

// The quoted form of a path (also used by repr of Path objects).
[[nodiscard]] std::string quote_path(std::string_view path, NeedsEscapeFn needs_escape, void* ctx);

}  // namespace varnex::path
