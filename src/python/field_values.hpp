// A field's values in one record: which of its matches count, each one's text, the policies,
// and the typed value, for the rows and the columns alike.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/item.hpp"
#include "path/number.hpp"
#include "python/columns.hpp"
#include "python/locate.hpp"
#include "python/plan.hpp"
#include "python/py_item.hpp"
#include "python/ref.hpp"
#include "python/utf8.hpp"

namespace varnex::python {

// What reading one match (or a record's field) came to.
enum class Read : uint8_t {
  Value,      // in the Native given
  Null,       // no value: no match, a null text, or an invalid one under on_invalid="null"
  Failed,     // an error is set (invalid text, a scalar field that repeats, no memory)
  Malformed,  // the text cannot be decoded: ValueError set, which on_error decides
};

class FieldReader {
 public:
  explicit FieldReader(const Locator& locator) noexcept : locator_(locator) {}

  // Which match a scalar field takes from its `count` matches in `record`: its index, or
  // kNone when there is none; kFailed (with the error set) when it repeats and may not.
  static constexpr size_t kNone = SIZE_MAX;
  static constexpr size_t kFailed = SIZE_MAX - 1;
  [[nodiscard]] size_t pick(const FieldPlan& field, size_t count, const Record& record) const {
    if (count <= 1) return count == 0 ? kNone : 0;
    return pick_repeated(field, count, record);
  }

  // Match `i` of `items` (spans relative to `record`) as the field's value.
  [[nodiscard]] Read read(const FieldPlan& field, const engine::Items& items, size_t i,
                          const Record& record, Native& out) {
    std::string_view text;
    if (!quick_text(items, i, record.bytes, text)) {
      const Read got = text_of(field, items, i, record, text);
      if (got != Read::Value) return got;
    }
    if (field.kept_as_text) {
      out.text = text;
      return Read::Value;
    }
    return typed(field, text, record, out);
  }

  // Returns a new reference to the Python value of `value`, or NULL with an exception set.
  [[nodiscard]] static Ref to_python(const FieldPlan& field, const Native& value);

 private:
  // The text of match `i`, trimmed, as to_str() gives it, when that is UTF-8 found without a
  // reader: an attribute value or the text of a plain leaf.
  [[nodiscard]] static bool quick_text(const engine::Items& items, size_t i,
                                       std::string_view record, std::string_view& text) noexcept {
    const std::string_view bytes = items.bytes(i, record);
    if (items.kind(i) == engine::ItemKind::Value) {
      if (check_utf8(bytes)) return false;
      text = path::trim_unicode_ws(bytes);
      return true;
    }
    const auto leaf = engine::plain_leaf_text(bytes);
    if (!leaf) return false;
    text = path::trim_unicode_ws(leaf->text);
    return true;
  }
  [[nodiscard]] size_t pick_repeated(const FieldPlan& field, size_t count,
                                     const Record& record) const;
  // The same for any match, by way of a str where to_str() needs one.
  [[nodiscard]] Read text_of(const FieldPlan& field, const engine::Items& items, size_t i,
                             const Record& record, std::string_view& text);
  // A text that is not kept as it is: null, or parsed as the field's type.
  [[nodiscard]] Read typed(const FieldPlan& field, std::string_view text, const Record& record,
                           Native& out);
  [[nodiscard]] Read invalid(const FieldPlan& field, std::string_view text, const Record& record);

  const Locator& locator_;
  std::string scratch_;  // a resolved text, while it is read
  Ref holder_;           // a str whose UTF-8 is the text, while it is read
};

}  // namespace varnex::python
