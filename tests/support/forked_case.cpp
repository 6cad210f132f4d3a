#include "support/forked_case.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVAL_TEST_SANITIZED 1
#endif
#if __has_feature(address_sanitizer)
#define KORVAL_TEST_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVAL_TEST_SANITIZED 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KORVAL_TEST_LSAN 1
#endif
#ifdef KORVAL_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace korval::test {

void send_bytes(int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

ForkedOutcome run_forked(const std::function<void(int fd)>& body, std::chrono::milliseconds limit)
{
    ForkedOutcome outcome;
    int fds[2];
    if (pipe(fds) != 0) {
        outcome.status = ForkedOutcome::Status::no_fork;
        return outcome;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        outcome.status = ForkedOutcome::Status::no_fork;
        return outcome;
    }
    if (pid == 0) {
        close(fds[0]);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);

    // The pipe reaches end of file when the child ends, however it ends.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool ended = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                  std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        uint8_t chunk[512];
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        outcome.bytes.insert(outcome.bytes.end(), chunk, chunk + n);
    }
    close(fds[0]);
    if (!ended) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended) {
        outcome.status = ForkedOutcome::Status::hung;
    } else if (WIFSIGNALED(status)) {
        outcome.status = ForkedOutcome::Status::crashed;
        outcome.signal = WTERMSIG(status);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        outcome.status = ForkedOutcome::Status::crashed;  // a sanitizer report ends the child with a status
        outcome.signal = WEXITSTATUS(status);
    }
    return outcome;
}

bool leaks_found()
{
#ifdef KORVAL_TEST_LSAN
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}

std::chrono::milliseconds case_time_limit()
{
#ifdef KORVAL_TEST_SANITIZED
    return std::chrono::milliseconds(30000);
#else
    return std::chrono::milliseconds(10000);
#endif
}

}  // namespace korval::test
