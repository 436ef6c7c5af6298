// Records found, batched, answered and handed over, with the lock taken only between batches.
#include "python/record_feed.hpp"

#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "engine/ranges.hpp"
#include "python/errors.hpp"
#include "python/unlocked.hpp"

namespace varnex::python {

struct FeedBuffers {
  explicit FeedBuffers(const RecordPlan& plan) : plan(&plan), within(plan.programs, true) {}
  const RecordPlan* plan;
  engine::WithinPass within;
  std::vector<Record> batch;
  std::vector<std::vector<engine::Items>> answers;  // reused: sequences keep their capacity
  std::vector<uint8_t> answered;       // per record of the batch: its answers came with it
  std::vector<engine::Items> pending;  // the fields of the record the pass has just read
};

void FeedBuffersDeleter::operator()(FeedBuffers* buffers) const noexcept { delete buffers; }

namespace {

// A batch's fields are answered in one stretch, then handed over with the lock: about this
// many bytes of records, no more records than this (their answers are all held at once), and
// no more of the document than this between two batches, so that signals are checked often.
constexpr size_t kBatchBytes = 256 * 1024;
constexpr size_t kBatchRecords = 4096;
constexpr size_t kBatchReach = 8 * 1024 * 1024;
// A pass that keeps its matches for the modifiers checks signals after this many.
constexpr size_t kWatchItems = 4096;
// Fewer records than this are not worth another thread.
constexpr size_t kRecordsPerHelper = 256;
constexpr size_t kSharedBatchScale = 2;

class Feed final : public engine::ItemObserver {
 public:
  Feed(std::string_view doc, const RecordPlan& plan, const Locator& locator, RecordSink& sink,
       Skipped& skipped, UnlockedPass& pass, bool takes, size_t first_index, unsigned threads,
       FeedBuffers& kept)
      : doc_(doc),
        plan_(plan),
        locator_(locator),
        sink_(sink),
        skipped_(skipped),
        pass_(pass),
        takes_(takes),
        within_(kept.within),
        batch_(kept.batch),
        answers_(kept.answers),
        answered_(kept.answered),
        pending_(kept.pending),
        next_index_(first_index),
        reach_from_(0) {
    batch_.clear();  // a pass that failed may have left some
    answered_.clear();
    wants_scope = plan.scoped;  // fields read names in their namespaces, with the record's
    for (unsigned i = 1; i < threads; ++i) {
      helpers_.push_back(std::make_unique<engine::WithinPass>(plan.programs, true));
    }
    // On one thread, fields the walk reads are read as the pass meets each record.
    reads_inside = takes && helpers_.empty() && !plan.scoped && within_.reads_inside();
  }

  void pass_inside(xml::Reader& reader, const xml::Event& tag, size_t start) override {
    pending_set_ = within_.pass_inside(reader, tag, start, pending_);
    pending_start_ = start;
  }

  // The engine's call for each record found: taken into the batch, or only counted when the
  // pass keeps its matches for its modifiers.
  bool found(engine::Items& items, const char* at) override {
    try {
      if (!takes_) return watch(items.size());
      for (size_t i = 0; i < items.size(); ++i) {
        const bool told = i == 0 && at != nullptr;
        take(items, i, told ? static_cast<size_t>(at - doc_.data()) : last_offset_, told);
      }
      items.clear();
      return !batch_full() || flush();
    } catch (...) {
      thrown_ = std::current_exception();
      return false;
    }
  }

  // Each record of `items` (the pass's matches, spans into the document).
  void take_all(const engine::Items& items) {
    for (size_t i = 0; i < items.size() && !ended(); ++i) {
      take(items, i, last_offset_, false);
      if (batch_full()) (void)flush();
    }
  }

  // Answers the batch and hands it to the sink; false when the pass is to end.
  bool flush() {
    if (answers_.size() < batch_.size()) answers_.resize(batch_.size());
    auto [answered, error] = answer_batch();
    const UnlockedPass::Relock lock(pass_);
    for (size_t i = 0; i < answered; ++i) {
      if (!hand(batch_[i], answers_[i])) return end(true);
    }
    if (error) {
      raise_field_error(batch_[answered], *error);
      return end(true);
    }
    if (PyErr_CheckSignals() < 0) return end(true);
    if (!expected_ && !batch_.empty()) {
      // As many records in all as the whole document holds at the rate so far.
      const Record& last = batch_.back();
      const double reached = static_cast<double>(last.offset + last.bytes.size());
      if (reached > 0) {
        sink_.expect(static_cast<size_t>(static_cast<double>(handed_) *
                                         static_cast<double>(doc_.size()) / reached));
      }
      expected_ = true;
    }
    batch_.clear();
    answered_.clear();
    copies_.clear();
    scopes_.clear();
    batch_scopes_.clear();
    batch_bytes_ = 0;
    reach_from_ = last_offset_;
    if (sink_.full()) return end(false);
    return true;
  }

  void expect(size_t rows) {
    sink_.expect(rows);
    expected_ = true;
  }
  [[nodiscard]] bool ended() const noexcept { return ended_; }
  [[nodiscard]] size_t next_index() const noexcept { return next_index_; }
  [[nodiscard]] bool failed() const noexcept { return failed_; }
  void rethrow() const {
    if (thrown_) std::rethrow_exception(thrown_);
  }

 private:
  // The fields of records [from, to) of the batch by `within`: how many were answered before
  // the first that failed, and its error.
  std::pair<size_t, std::optional<engine::EngineError>> answer_records(engine::WithinPass& within,
                                                                       size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      if (i < answered_.size() && answered_[i]) continue;
      if (auto error = within.run(batch_[i].bytes, answers_[i], outer(i))) {
        return {i, std::move(error)};
      }
    }
    return {to, std::nullopt};
  }

  // The batch's fields, its records shared out among the helpers when there are some.
  std::pair<size_t, std::optional<engine::EngineError>> answer_batch() {
    const size_t n = batch_.size();
    const size_t parts = std::min(helpers_.size() + 1, n / kRecordsPerHelper + 1);
    if (parts < 2) return answer_records(within_, 0, n);
    std::vector<std::pair<size_t, std::optional<engine::EngineError>>> outcomes(parts);
    engine::read_on_threads(
        parts,
        [&](size_t k) {
          engine::WithinPass& within = k == 0 ? within_ : *helpers_[k - 1];
          outcomes[k] = answer_records(within, n * k / parts, n * (k + 1) / parts);
        },
        [] {});
    // The first record that failed ends the batch, as it would on one thread.
    for (size_t k = 0; k < parts; ++k) {
      if (outcomes[k].second) return std::move(outcomes[k]);
    }
    return {n, std::nullopt};
  }

  // Record `i` of `items` into the batch: a view into the document, or a copy kept with it.
  void take(const engine::Items& items, size_t i, size_t offset, bool exact) {
    Record record;
    record.index = next_index_++;
    if (items.is_span(i)) {
      record.bytes = items.bytes(i, doc_);
      record.offset = items.span(i).start;
    } else {
      copies_.emplace_back(items.owned(i));
      record.bytes = copies_.back();
      record.offset = offset;
      record.exact = exact;
    }
    if (record.exact) last_offset_ = record.offset;
    batch_bytes_ += record.bytes.size();
    batch_.push_back(record);
    answered_.push_back(0);
    if (pending_set_ && items.is_span(i) && record.offset == pending_start_) {
      // Its fields were read as the pass met it.
      if (answers_.size() < batch_.size()) answers_.resize(batch_.size());
      std::swap(answers_[batch_.size() - 1], pending_);
      answered_.back() = 1;
    }
    pending_set_ = false;
    if (plan_.scoped) note_scope(items, i);
  }

  // The declarations around record `i` of `items`, just taken: as the pass marks them while it
  // runs, else read from the document (a record path with modifiers).
  void note_scope(const engine::Items& items, size_t i) {
    std::span<const engine::Binding> around;
    if (scope != nullptr && takes_) {
      around = scope->marked();
    } else if (items.is_span(i)) {
      // Records mostly come in document order: one walk finds the declarations around each
      // (begun again for one before the last, which a modifier may put there).
      const size_t start = items.span(i).start;
      if (!walk_ || start < walked_) walk_.emplace(doc_);
      walked_ = start;
      around = walk_->at(start);
    }
    // Records mostly share their scope: copied only when it changes.
    if (scopes_.empty() || !std::ranges::equal(scopes_.back(), around)) {
      scopes_.emplace_back(around.begin(), around.end());
    }
    batch_scopes_.push_back(static_cast<uint32_t>(scopes_.size() - 1));
  }

  [[nodiscard]] std::span<const engine::Binding> outer(size_t record) const noexcept {
    if (record >= batch_scopes_.size()) return {};
    return scopes_[batch_scopes_[record]];
  }

  [[nodiscard]] bool batch_full() const noexcept {
    // Batches shared among threads are larger: each is one wait for the slowest of them.
    const size_t scale = helpers_.empty() ? 1 : kSharedBatchScale;
    return batch_.size() >= kBatchRecords * scale || batch_bytes_ >= kBatchBytes * scale ||
           (last_offset_ > reach_from_ && last_offset_ - reach_from_ >= kBatchReach);
  }

  bool watch(size_t found) {
    if (found < watched_ + kWatchItems) return true;
    watched_ = found;
    const UnlockedPass::Relock lock(pass_);
    return PyErr_CheckSignals() == 0 || end(true);
  }

  // One record to the sink, unless it is malformed and on_error drops it.
  bool hand(const Record& record, std::vector<engine::Items>& answers) {
    Added added = Added::Malformed;
    const char* end = record.bytes.data() + record.bytes.size();
    if (end == doc_.data() + doc_.size() && !engine::element_is_closed(record.bytes)) {
      locator_.raise(record, nullptr, Message::RecordTruncated);
    } else {
      added = sink_.add(answers, record);
    }
    ++handed_;
    if (added == Added::Ok) return true;
    if (added == Added::Failed || plan_.on_error == OnError::Raise) return false;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    if (skipped_.count++ == 0) {
      skipped_.first = Ref::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
      if (!skipped_.first) return false;
    }
    return true;
  }

  // The ambiguity error of the field whose pass over `record` met it.
  void raise_field_error(const Record& record, const engine::EngineError& error) {
    engine_err_to_py(error);
    locator_.locate_error(record, plan_.fields[error.program].name.get());
  }

  bool end(bool failed) noexcept {
    ended_ = true;
    failed_ = failed;
    return false;
  }

  std::string_view doc_;
  const RecordPlan& plan_;
  const Locator& locator_;
  RecordSink& sink_;
  Skipped& skipped_;
  UnlockedPass& pass_;
  bool takes_;
  engine::WithinPass& within_;
  std::vector<std::unique_ptr<engine::WithinPass>> helpers_;  // one per thread beyond this one
  std::optional<engine::DeclarationsWalk> walk_;
  size_t walked_ = 0;  // the offset walk_ reached
  std::vector<Record>& batch_;
  std::deque<std::string> copies_;  // records that are copies, while their batch lasts
  // With namespaced fields: the declarations around each record of the batch, by index into
  // the distinct ones (records side by side share them).
  std::vector<std::vector<engine::Binding>> scopes_;
  std::vector<uint32_t> batch_scopes_;
  std::vector<std::vector<engine::Items>>& answers_;
  std::vector<uint8_t>& answered_;
  std::vector<engine::Items>& pending_;
  bool pending_set_ = false;
  size_t pending_start_ = 0;  // that record's offset
  size_t batch_bytes_ = 0;
  size_t next_index_;
  size_t last_offset_ = 0;  // of the last record whose place is known
  size_t reach_from_;       // where the batch being gathered began
  size_t handed_ = 0;
  size_t watched_ = 0;
  bool expected_ = false;
  bool ended_ = false;
  bool failed_ = false;
  std::exception_ptr thrown_;
};

}  // namespace

bool feed_records(std::string_view doc, bool immutable, const RecordPlan& plan,
                  const Locator& locator, RecordSink& sink, Skipped& skipped, size_t* next_index,
                  unsigned threads, FeedReuse* reuse) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  // A record path with modifiers needs all its matches before any is final; so do records
  // found by several threads.
  const bool cut = threads > 1 && engine::worth_cutting(doc, threads);
  const bool takes = plan.record->modifiers.empty() && !cut;
  engine::Items found;
  std::optional<engine::EngineError> error;
  std::optional<Feed> feed;
  FeedReuse local;
  FeedReuse& kept = reuse != nullptr ? *reuse : local;
  if (!kept || kept->plan != &plan) kept.reset(new FeedBuffers(plan));
  {
    UnlockedPass pass(immutable, doc.size());
    feed.emplace(doc, plan, locator, sink, skipped, pass, takes,
                 next_index != nullptr ? *next_index : 0, threads, *kept);
    engine::RunOptions options;
    options.capture_spans = true;
    if (cut) {
      options.threads = threads;
    } else {
      options.observer = &*feed;
    }
    const path::Program* const record[] = {plan.record.get()};
    error = engine::run(record, doc, options, std::span(&found, 1));
    // Errors are raised in document order: the records found before the record path's own
    // error are answered first, and one of theirs comes before it.
    if (!feed->ended()) {
      if (!takes && !error) {
        {
          const UnlockedPass::Relock lock(pass);
          feed->expect(found.size());
        }
        feed->take_all(found);
      }
      if (!feed->ended()) (void)feed->flush();
    }
  }
  if (next_index != nullptr) *next_index = feed->next_index();
  feed->rethrow();
  if (feed->failed()) return false;
  if (error) {
    engine_err_to_py(*error);
    if (Ref prefix = path_owner_text(nullptr)) prefix_error(prefix.get());
    return false;
  }
  return true;
}

}  // namespace varnex::python
