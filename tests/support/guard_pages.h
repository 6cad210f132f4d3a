// Caller memory that cannot be used, for the tests of guarded copies: three pages, the first readable
// and writable, the second without any access, the third read-only.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace korval::test {

class GuardPages {
public:
    GuardPages()
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* region = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        region_ = region == MAP_FAILED ? nullptr : static_cast<uint8_t*>(region);
        if (region_ == nullptr) return;
        std::memset(region_, 0x11, 3 * page_);
        mprotect(region_ + page_, page_, PROT_NONE);
        mprotect(region_ + 2 * page_, page_, PROT_READ);
    }
    ~GuardPages()
    {
        if (region_ != nullptr) munmap(region_, 3 * page_);
    }
    GuardPages(const GuardPages&) = delete;
    GuardPages& operator=(const GuardPages&) = delete;

    bool ok() const { return region_ != nullptr; }
    uint8_t* hole() const { return region_ + page_; }               // no access
    uint8_t* before_hole(size_t n) const { return hole() - n; }     // n usable bytes, then the hole
    uint8_t* read_only() const { return region_ + 2 * page_; }

private:
    size_t page_ = 0;
    uint8_t* region_ = nullptr;
};

}  // namespace korval::test
