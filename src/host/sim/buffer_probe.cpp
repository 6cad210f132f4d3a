#include "host/sim/buffer_probe.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/caller_memory.h"

#ifndef _WIN32
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace korval::sim {

namespace {

constexpr uintptr_t kPage = 4096;  // the smallest page any supported system uses

// The first byte of each page the range touches.
std::vector<uint8_t*> page_probes(const void* buffer, uint32_t size)
{
    std::vector<uint8_t*> probes;
    auto* at = static_cast<uint8_t*>(const_cast<void*>(buffer));
    uint8_t* const end = at + size;
    while (at < end) {
        probes.push_back(at);
        const uintptr_t next = (reinterpret_cast<uintptr_t>(at) / kPage + 1) * kPage;
        at += next - reinterpret_cast<uintptr_t>(at);
    }
    return probes;
}

#ifndef _WIN32
// One system call per direction for up to 1024 pages: read a byte of every page and, for a buffer to
// be written, write the same bytes back. -1: the calls are refused here, use the guarded copies.
int probe_batched(const std::vector<uint8_t*>& probes, bool written)
{
    constexpr size_t kBatch = 1024;
    std::vector<uint8_t> bytes(probes.size());
    for (size_t first = 0; first < probes.size(); first += kBatch) {
        const size_t n = std::min(kBatch, probes.size() - first);
        std::vector<iovec> remote(n);
        for (size_t i = 0; i < n; ++i) remote[i] = {probes[first + i], 1};
        iovec local{bytes.data() + first, n};
        ssize_t moved = process_vm_readv(getpid(), &local, 1, remote.data(), n, 0);
        if (moved < 0 && (errno == ENOSYS || errno == EPERM)) return -1;
        if (moved != static_cast<ssize_t>(n)) return 0;
        if (!written) continue;
        moved = process_vm_writev(getpid(), &local, 1, remote.data(), n, 0);
        if (moved != static_cast<ssize_t>(n)) return 0;
    }
    return 1;
}
#endif

}  // namespace

bool buffer_usable(const void* buffer, uint32_t size, bool written) noexcept
{
    // A null buffer is a transfer of no data (the host passes a length of 0 for it).
    if (size == 0 || buffer == nullptr) return true;
    try {
        const std::vector<uint8_t*> probes = page_probes(buffer, size);
#ifndef _WIN32
        if (const int answer = probe_batched(probes, written); answer >= 0) return answer == 1;
#endif
        for (uint8_t* at : probes) {
            uint8_t byte = 0;
            if (!copy_from_caller(&byte, at, 1)) return false;
            if (written && !copy_to_caller(at, &byte, 1)) return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace korval::sim
