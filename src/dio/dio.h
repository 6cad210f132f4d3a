// Digital I/O: the subsystem's exported functions (their C entry points are generated from the export list).
#pragma once

#include <cstdint>

namespace korval {

}  // namespace korval
