// The operating system's host: the one installed when the library loads.
#pragma once

#include "korval/host.h"

namespace korval::os {

KorvalHost host() noexcept;

}  // namespace korval::os
