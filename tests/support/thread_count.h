// The number of threads this process has now, for checking that an operation left none behind.
#pragma once

namespace korval::test {

// From /proc on Linux, from a thread snapshot on Windows (under Wine it lists Wine's own service
// threads as well: compare counts taken before and after, not with a fixed number). -1 when unknown.
int thread_count();

}  // namespace korval::test
