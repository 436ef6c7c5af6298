// The pass behind records(), table() and describe_records(): the record path's matches,
// a batch at a time, their fields answered and handed to a sink.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string_view>

#include "python/locate.hpp"
#include "python/plan.hpp"
#include "python/record_sinks.hpp"
#include "python/ref.hpp"

namespace varnex::python {

// Records dropped under on_error="skip", for the warning the caller gives.
struct Skipped {
  size_t count = 0;
  Ref first;  // the error of the first, as a str
};

// What the passes over the pieces of one stream keep from one to the next: the fields' walk and
// the buffers of their answers, which a pass over a whole document builds once.
struct FeedBuffers;
struct FeedBuffersDeleter {
  void operator()(FeedBuffers* buffers) const noexcept;
};
using FeedReuse = std::unique_ptr<FeedBuffers, FeedBuffersDeleter>;

// Runs `plan` over `doc` (read without the lock when `immutable` allows it): every record
// the record path selects, in document order, goes to `sink` with its fields' answers, until
// the sink is full. Records are answered as the pass finds them, a batch at a time, and
// signals are checked after each batch. False with an exception set.
// `next_index`, when given, is the index of the first record (for a document that is a piece of
// a stream), and is left one past the last record's.
// `threads` other than 1 finds the records of a large document with its root's children cut
// among threads, and answers each batch's fields on that many threads; the sink takes them in
// order on this one. `reuse`, when given, keeps the buffers for the next call with `plan`.
[[nodiscard]] bool feed_records(std::string_view doc, bool immutable, const RecordPlan& plan,
                                const Locator& locator, RecordSink& sink, Skipped& skipped,
                                size_t* next_index = nullptr, unsigned threads = 1,
                                FeedReuse* reuse = nullptr);

}  // namespace varnex::python
