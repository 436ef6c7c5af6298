// Where the bytes of a document may be cut while a record path is answered over them a piece at
// a time: the deepest level at which every element still open was chosen by its start tag alone
// and every record after the cut is chosen without the ones before it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "path/program.hpp"

namespace varnex::path {

struct CutPlan {
  bool cuts = false;     // false: the document is answered whole
  size_t max_depth = 0;  // cuts where at most this many elements are open
  // Bit L: the step matched at depth L + 1 must be unique, so the names of the children that
  // ended at that depth are kept for the next piece (its first element must not be a second).
  uint64_t unique = 0;
};

[[nodiscard]] CutPlan cut_plan(const Program& record) noexcept;

}  // namespace varnex::path
