// Runs one test case in a forked child with a time limit, so that a crash or a hang of the library is
// counted and reported instead of ending the run. The child reports through a pipe; the parent waits on
// that pipe with a bounded poll, never by sleeping.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "support/thread_count.h"

namespace korval::test {

struct ForkedOutcome {
    enum class Status { finished, crashed, hung, no_fork } status = Status::finished;
    int signal = 0;             // crashed: the signal, or the exit status when the child exited early
    std::vector<uint8_t> bytes;  // what the child wrote before it ended
};

// Runs body(fd) in a child; the child ends (with _exit) when body returns. A child that has not ended
// after `limit` is killed and counted as hung.
ForkedOutcome run_forked(const std::function<void(int fd)>& body, std::chrono::milliseconds limit);

// Writes a plain value to the pipe (in the child), and reads it back from the outcome (in the parent).
template <class T>
void send_value(int fd, const T& value);
template <class T>
bool outcome_value(const ForkedOutcome& outcome, T& value)
{
    if (outcome.bytes.size() != sizeof value) return false;
    std::memcpy(&value, outcome.bytes.data(), sizeof value);
    return true;
}

void send_bytes(int fd, const void* data, size_t size);
template <class T>
void send_value(int fd, const T& value)
{
    send_bytes(fd, &value, sizeof value);
}

// In a build with LeakSanitizer: whether a leak check of the process now finds leaked memory. false
// elsewhere.
bool leaks_found();

// How long each case may run: longer under the sanitizers, which slow everything down.
std::chrono::milliseconds case_time_limit();

}  // namespace korval::test
