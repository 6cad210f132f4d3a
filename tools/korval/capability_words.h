// What a board or product can do, in words, from the library's description of it.
#pragma once

#include <string>
#include <vector>

#include "korval/korval.h"

namespace korval::tool {

std::vector<std::string> capability_words(const KorvalCapabilities& caps);

// The words joined with ", ", or `none` when there are none.
std::string joined_words(const std::vector<std::string>& words, const char* none);

}  // namespace korval::tool
