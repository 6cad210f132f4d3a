// When the library does its load-time work: on the first call into it, not while it is being loaded.
//
// The dynamic loader runs a library's load routine holding its own lock; opening boards there (the
// host's threads, a USB stack answered by another thread of the program) deadlocks any thread that
// needs the loader meanwhile. So loading only sets up memory, and the first exported call runs the load
// sequence once, for every thread, before its own work.
#pragma once

#include "korval/host.h"

namespace korval {

// Runs the load sequence on the operating system's host unless it has run; every exported entry point
// calls it first. Thread-safe: racing first calls see one sequence, later calls one atomic load. A
// call made by the sequence itself (a host calling back into the library) does not wait for it.
void ensure_loaded() noexcept;

// Installs `host` (nullptr: the operating system's) with an empty table and one discovery pass. As the
// first call into the library it is the load sequence itself, run on that host.
void install_host_and_discover(const KorvalHost* host);

}  // namespace korval
