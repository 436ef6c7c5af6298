// The scoped pass (see scan_events.hpp), in a unit of its own.
#include "engine/scan_events.hpp"

namespace varnex::engine {

template void Scan::run_loop<true>();
template std::optional<EngineError> Scan::within<true>();
template void Scan::prolog<true>();

}  // namespace varnex::engine
