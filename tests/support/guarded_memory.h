// Caller memory that cannot be read or written, for tests of the guarded copies: three pages mapped
// read-write, no access, read-only.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace korval::test {

class GuardedMemory {
public:
    GuardedMemory()
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        region_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
        if (region_ == nullptr) return;
        std::memset(region_, 0x11, 3 * page_);
        mprotect(region_ + page_, page_, PROT_NONE);
        mprotect(region_ + 2 * page_, page_, PROT_READ);
    }
    ~GuardedMemory()
    {
        if (region_ != nullptr) munmap(region_, 3 * page_);
    }
    GuardedMemory(const GuardedMemory&) = delete;
    GuardedMemory& operator=(const GuardedMemory&) = delete;

    bool ok() const { return region_ != nullptr; }
    uint8_t* hole() const { return region_ + page_; }             // neither readable nor writable
    uint8_t* read_only() const { return region_ + 2 * page_; }    // readable, not writable
    uint8_t* before_hole(size_t n) const { return region_ + page_ - n; }  // n readable bytes, then the hole

private:
    size_t page_ = 0;
    uint8_t* region_ = nullptr;
};

}  // namespace korval::test
