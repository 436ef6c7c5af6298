// Attribute iteration over a tag's content, with the duplicate check and the
// recovery rules that decide which bytes count as attributes after an error.
#include "xml/attributes.hpp"

#include <cstdlib>
#include <cstring>

#include "xml/markup.hpp"

namespace varnex::xml {

using detail::ws_byte;

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

size_t hash_bytes(const char* p, size_t n) noexcept {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return static_cast<size_t>(h ^ (h >> 29));
}

}  // namespace

Attributes::Attributes(std::string_view content, size_t name_len, bool with_checks) noexcept
    : content_(content),
      pos_(name_len < content.size() ? name_len : content.size()),
      checks_(with_checks) {}

Attributes::~Attributes() {
  std::free(heap_keys_);
  std::free(index_);
}

bool Attributes::grow_heap() noexcept {
  const size_t cap = heap_cap_ == 0 ? kInlineKeys * 4 : heap_cap_ * 2;
  auto* keys = static_cast<KeyRange*>(std::malloc(cap * sizeof(KeyRange)));
  auto* index = static_cast<size_t*>(std::calloc(cap * 2, sizeof(size_t)));
  if (keys == nullptr || index == nullptr) {
    std::free(keys);
    std::free(index);
    return false;
  }
  const KeyRange* old = heap_cap_ == 0 ? inline_keys_ : heap_keys_;
  if (key_count_ != 0) std::memcpy(keys, old, key_count_ * sizeof(KeyRange));
  const size_t mask = cap * 2 - 1;
  for (size_t k = 0; k < key_count_; ++k) {
    size_t slot = hash_bytes(content_.data() + keys[k].start, keys[k].len) & mask;
    while (index[slot] != 0) slot = (slot + 1) & mask;
    index[slot] = k + 1;
  }
  std::free(heap_keys_);
  std::free(index_);
  heap_keys_ = keys;
  index_ = index;
  heap_cap_ = cap;
  return true;
}

size_t Attributes::find_or_record(size_t start, size_t len) noexcept {
  const char* key = content_.data() + start;
  if (heap_cap_ == 0) {
    for (size_t k = 0; k < key_count_; ++k) {
      const KeyRange& r = inline_keys_[k];
      if (r.len == len && std::memcmp(content_.data() + r.start, key, len) == 0) return r.start;
    }
    if (key_count_ < kInlineKeys) {
      inline_keys_[key_count_++] = KeyRange{start, len};
      return kNone;
    }
    if (!grow_heap()) {
      keys_lost_ = true;
      return kNone;
    }
  } else if (key_count_ == heap_cap_ && !grow_heap()) {
    keys_lost_ = true;
    return kNone;
  }
  const size_t mask = heap_cap_ * 2 - 1;
  size_t slot = hash_bytes(key, len) & mask;
  while (index_[slot] != 0) {
    const KeyRange& r = heap_keys_[index_[slot] - 1];
    if (r.len == len && std::memcmp(content_.data() + r.start, key, len) == 0) return r.start;
    slot = (slot + 1) & mask;
  }
  heap_keys_[key_count_++] = KeyRange{start, len};
  index_[slot] = key_count_;
  return kNone;
}

// Where the next step starts after the previous item; false when iteration ends.
bool Attributes::resume(size_t* at) noexcept {
  const char* s = content_.data();
  const size_t n = content_.size();
  size_t i = pos_;
  switch (state_) {
    case State::Done: return false;
    case State::Next: *at = i; return true;
    case State::SkipDupValue: {
      // pos_ is the '=': skip a quoted value whole, so nothing inside it is
      // read as attributes.
      size_t v = i + 1;
      while (v < n && ws_byte(s[v])) ++v;
      if (v < n && (s[v] == '"' || s[v] == '\'')) {
        const void* close = std::memchr(s + v + 1, s[v], n - v - 1);
        if (close == nullptr) {
          state_ = State::Done;
          return false;
        }
        *at = static_cast<size_t>(static_cast<const char*>(close) - s) + 1;
        return true;
      }
      [[fallthrough]];
    }
    case State::SkipValue:
      while (i < n && !ws_byte(s[i])) ++i;
      if (i == n) {
        state_ = State::Done;
        return false;
      }
      *at = i;
      return true;
  }
  return false;
}

bool Attributes::next(AttrItem* item) noexcept {
  size_t i;
  if (!resume(&i)) return false;
  const char* s = content_.data();
  const size_t n = content_.size();
  *item = AttrItem{};

  while (i < n && ws_byte(s[i])) ++i;
  if (i == n) {
    state_ = State::Done;
    return false;
  }

  // key ::= any byte, then bytes up to '=' or ws
  const size_t key_start = i;
  size_t e = i + 1;
  while (e < n && s[e] != '=' && !ws_byte(s[e])) ++e;
  const size_t key_end = e;
  if (e < n && ws_byte(s[e])) {
    while (e < n && ws_byte(s[e])) ++e;
    if (e < n && s[e] != '=') {
      item->error = AttrErrorKind::ExpectedEq;
      item->pos = e;
      state_ = State::Next;
      pos_ = e;
      return true;
    }
  }
  if (e == n) {
    item->error = AttrErrorKind::ExpectedEq;
    item->pos = n;
    state_ = State::Done;
    return true;
  }
  const size_t eq = e;

  // A key is recorded before its value is looked at.
  if (checks_ && !keys_lost_) {
    const size_t earlier = find_or_record(key_start, key_end - key_start);
    if (earlier != kNone) {
      item->error = AttrErrorKind::Duplicated;
      item->pos = key_start;
      item->pos2 = earlier;
      state_ = State::SkipDupValue;
      pos_ = eq;
      return true;
    }
  }

  size_t v = eq + 1;
  while (v < n && ws_byte(s[v])) ++v;
  if (v == n) {
    item->error = AttrErrorKind::ExpectedValue;
    item->pos = n;
    state_ = State::Done;
    return true;
  }
  const char quote = s[v];
  if (quote != '"' && quote != '\'') {
    item->error = AttrErrorKind::UnquotedValue;
    item->pos = v;
    state_ = State::SkipValue;
    pos_ = v;
    return true;
  }
  const void* close = std::memchr(s + v + 1, quote, n - v - 1);
  if (close == nullptr) {
    item->error = AttrErrorKind::ExpectedQuote;
    item->pos = n;
    item->quote = quote;
    state_ = State::Done;
    return true;
  }
  const size_t q = static_cast<size_t>(static_cast<const char*>(close) - s);
  item->key = std::string_view(s + key_start, key_end - key_start);
  item->value = std::string_view(s + v + 1, q - v - 1);
  state_ = State::Next;
  pos_ = q + 1;
  return true;
}

}  // namespace varnex::xml
