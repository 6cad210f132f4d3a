// Board notifications: telling a program, on a thread of the library, that a board arrived or left.
//
// A registration is a callback with its context. While there is at least one, a notification thread
// runs: it watches the installed host through its watch entry points (or lists its boards once a
// second when it has none, as for remote servers) and calls every registration's callback for each
// event in turn. Nothing here touches the device table: discovery stays where it is.
#pragma once

#include <cstdint>


namespace korval {

namespace board_watch {

// Held while the installed host is replaced: the watch on the old host ends first (the notification
// thread joined, unless this is that thread) and starts again on the new one as it goes. Registrations
// stay.
class HostChange {
public:
    HostChange();
    ~HostChange();
    HostChange(const HostChange&) = delete;
    HostChange& operator=(const HostChange&) = delete;

private:
    bool owns_control_ = false;
};

// Ends the watch and joins the notification thread, at unload (not from the thread itself).
void end_at_unload() noexcept;

// Whether the notification thread runs now (for the tests).
bool thread_running() noexcept;

}  // namespace board_watch

}  // namespace korval
