// A pass that tells its caller of each item as it is found: order, where each item starts,
// items taken away as they come, and a pass ended early by its observer.
#include "engine_test_util.hpp"

namespace varnex::engine::testing {
namespace {

// Takes every item as it comes, noting its text and the offset the pass gave for it.
class Collect final : public ItemObserver {
 public:
  Collect(std::string_view doc, size_t stop_after) : doc_(doc), stop_after_(stop_after) {}
  bool found(Items& items, const char* at) override {
    const size_t offset = at == nullptr ? SIZE_MAX : static_cast<size_t>(at - doc_.data());
    for (size_t i = 0; i < items.size(); ++i) {
      seen.push_back(render(items[i], doc_) + "@" +
                     (i == 0 && offset != SIZE_MAX ? std::to_string(offset) : "?"));
    }
    items.clear();
    return seen.size() < stop_after_;
  }
  V seen;

 private:
  std::string_view doc_;
  size_t stop_after_;
};

V observed(std::string_view doc, std::string_view path_text, size_t stop_after = SIZE_MAX) {
  const path::ProgramPtr program = compile_or_fail(path_text);
  Collect collect(doc, stop_after);
  Items items;
  RunOptions options = with_spans();
  options.observer = &collect;
  if (auto err = run_one(*program, doc, items, options)) return {"ambiguous:" + err->name};
  EXPECT_TRUE(items.empty());
  return collect.seen;
}

TEST(Observer, SeesEachRecordInOrderWithWhereItStarts) {
  const std::string doc = "<r><i>1</i><i a='x'/><j><i>n</i></j><i>3</i></r>";
  EXPECT_EQ(observed(doc, "r.i"), (V{"S:<i>1</i>@3", "M:<i a='x'/>@11", "S:<i>3</i>@36"}));
  EXPECT_EQ(observed(doc, "**.i"),
            (V{"S:<i>1</i>@3", "M:<i a='x'/>@11", "S:<i>n</i>@24", "S:<i>3</i>@36"}));
  EXPECT_EQ(observed(doc, "r.i.#.@a"), (V{"V:x@?"}));
  // A filter's matches are handed over once it is decided, where the pass no longer knows
  // them by position (spans still say where they are).
  EXPECT_EQ(observed("<r><i><b>1</b></i><i><b>5</b></i><i/></r>", "r.i#(b>1)#"),
            (V{"S:<i><b>5</b></i>@?"}));
}

TEST(Observer, EndsThePassWhenAsked) {
  std::string doc = "<r>";
  for (int i = 0; i < 1000; ++i) doc += "<i>" + std::to_string(i) + "</i>";
  doc += "</r>";
  EXPECT_EQ(observed(doc, "r.i", 2), (V{"S:<i>0</i>@3", "S:<i>1</i>@11"}));
  // An ambiguity met before the observer stops the pass is still the answer.
  EXPECT_EQ(observed("<r><a/><a/></r>", "r.a.b"), (V{"ambiguous:a"}));
}

TEST(Observer, TellsWhetherAnElementIsWhole) {
  for (const char* whole : {"<a/>", "<a x='>'/>", "<a></a>", "<a>t</a >", "<a><b></a>",
                            "<p:a x=\"1\"></p:a>"}) {
    EXPECT_TRUE(element_is_closed(whole)) << whole;
  }
  for (const char* broken : {"<a>", "<a>text", "<a><b/>", "<a></a", "<a></ab>", "<ab></a>",
                             "<a x='/>", "", "<a"}) {
    EXPECT_FALSE(element_is_closed(broken)) << broken;
  }
}

}  // namespace
}  // namespace varnex::engine::testing
