#include "adc/read_guard.h"

namespace korval::adc {

bool ReadGuard::start()
{
    // Arming with nothing pending starts the library's timer where it has not run yet.
    const bool started = deadline_.arm(std::chrono::hours(1));
    deadline_.disarm();
    return started;
}

}  // namespace korval::adc
