// A document's root children cut into ranges, each read on a thread of its own: where the
// root starts, where to cut, and running one function per range. Queries (split.cpp) and the
// well-formedness test (validate.cpp) cut documents this way.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

namespace varnex::engine {

// Below this many bytes a range costs more in setting up than it saves.
inline constexpr size_t kMinRange = size_t{1} << 20;

// Where the root's content starts (just past its start tag) and the name most of its first
// children have (a view into the document): cuts are put before elements of that name.
struct Root {
  size_t content = 0;
  std::string_view child;
};

// Nothing when the document has no root with a child.
[[nodiscard]] std::optional<Root> find_root(std::string_view doc) noexcept;

// How many ranges `threads` (0: one per core) make of `doc`: 1 when cutting cannot pay.
[[nodiscard]] size_t range_count(std::string_view doc, unsigned threads) noexcept;

// The first offset from `at` on where one of the root's children most likely starts (a tag of
// the records' name right after a markup's end), or npos.
[[nodiscard]] size_t next_cut(std::string_view doc, size_t at, const Root& root) noexcept;

// Whether `doc`, read past the root's start tag from `from` on, ends with nothing open but the
// root, between markups: then its end is where one of the root's children may start.
[[nodiscard]] bool ends_between_children(std::string_view doc, size_t from) noexcept;

// Ascending offsets after the root's start tag that cut `doc` into about `parts` ranges of
// `kMinRange` bytes at least, each most likely at the start of one of the root's children.
// Callers check that each range ends where the next may start.
[[nodiscard]] std::vector<size_t> choose_cuts(std::string_view doc, const Root& root, size_t parts);

// The cuts a pass uses: those choose_cuts makes, or (for tests) the caller's `given`, kept
// where they fall inside the root's content, ascending.
[[nodiscard]] std::vector<size_t> cuts_for(std::string_view doc, const Root& root, size_t parts,
                                           std::span<const size_t> given);

// The ranges cut at `cuts` (ascending, after the root's content starts): range k runs from
// from(k) to end(k), the last to the document's end.
struct Ranges {
  const Root* root;
  std::span<const size_t> cuts;
  size_t size;  // of the document
  [[nodiscard]] size_t count() const noexcept { return cuts.size() + 1; }
  [[nodiscard]] size_t from(size_t k) const noexcept {
    return k == 0 ? root->content : cuts[k - 1];
  }
  [[nodiscard]] size_t end(size_t k) const noexcept { return k == cuts.size() ? size : cuts[k]; }
};

// Calls read(k) for every range, range 0 on this thread and each other on one of its own;
// rethrows the first exception any of them threw once all are done. `stop` is called when one
// throws, so that the others may give up.
template <class Read, class Stop>
void read_on_threads(size_t count, Read&& read, Stop&& stop) {
  std::vector<std::exception_ptr> failures(count);
  auto guarded = [&](size_t k) {
    try {
      read(k);
    } catch (...) {
      failures[k] = std::current_exception();
      stop();
    }
  };
  {
    std::vector<std::jthread> workers;
    workers.reserve(count - 1);
    for (size_t k = 1; k < count; ++k) workers.emplace_back(guarded, k);
    guarded(0);
  }
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace varnex::engine
