// libFuzzer target for the cut finder. The first byte picks the deepest level cut at and the
// size of the pieces (from 1 byte to some 64-byte blocks, so that the pieces are read both by
// the index and one markup at a time); the rest is the document. It arrives a piece at a time,
// the bytes before each cut dropped as they are found, as a stream reads it; every cut must fall
// right after a '>', the context kept must be whole start tags, and the last cut, the start tags
// open there and whether the markup broke must be what one reading of the whole document finds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "xml/cuts.hpp"

namespace {

using varnex::xml::CutFinder;

#define CHECK(cond)            \
  do {                         \
    if (!(cond)) std::abort(); \
  } while (0)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t max_depth = data[0] & 3;
  const size_t piece = 1 + (data[0] >> 2) * 3;
  const std::string_view doc(reinterpret_cast<const char*>(data + 1), size - 1);

  CutFinder whole(max_depth, 0b1111);
  whole.scan(doc, true);

  CutFinder finder(max_depth, 0b1111);
  std::string kept;
  size_t dropped = 0;
  for (size_t at = 0; at < doc.size() || at == 0; at += piece) {
    const bool final = at + piece >= doc.size();
    kept.append(doc.substr(std::min(at, doc.size()), piece));
    finder.scan(kept, final);
    const size_t cut = finder.cut();
    if (cut == CutFinder::kNone) {
      if (final) break;
      continue;
    }
    CHECK(cut > 0 && cut <= kept.size() && kept[cut - 1] == '>');
    CHECK(finder.cut_depth() <= max_depth);
    for (size_t level = 0; level < finder.cut_depth(); ++level) {
      const std::string_view tag = finder.open_tag(level);
      CHECK(tag.size() >= 2 && tag.front() == '<' && tag.back() == '>');
    }
    if (final) break;
    dropped += cut;
    kept.erase(0, cut);
    finder.drop_to_cut();
  }
  CHECK(finder.broken() == whole.broken());
  if (!whole.broken()) {
    const size_t last = finder.cut() == CutFinder::kNone ? dropped : dropped + finder.cut();
    CHECK(last == (whole.cut() == CutFinder::kNone ? 0 : whole.cut()));
    if (whole.cut() != CutFinder::kNone && finder.cut() != CutFinder::kNone) {
      CHECK(finder.cut_depth() == whole.cut_depth());
      for (size_t level = 0; level < whole.cut_depth(); ++level) {
        CHECK(finder.open_tag(level) == whole.open_tag(level));
      }
    }
  }
  return 0;
}
