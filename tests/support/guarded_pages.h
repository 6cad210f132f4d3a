// Caller memory that cannot be used: three pages, read-write (0x11 bytes), no access, read-only (zeros).
#pragma once

#include <cstdint>
#include <cstring>

#include "support/pages.h"

namespace korval::test {

class GuardedPages {
public:
    GuardedPages()
    {
        page_ = page_size();
        region_ = map_pages(3, PageAccess::read_write);
        if (region_ == nullptr) return;
        std::memset(region_, 0x11, 2 * page_);
        std::memset(region_ + 2 * page_, 0, page_);
        protect_pages(region_ + page_, 1, PageAccess::none);
        protect_pages(region_ + 2 * page_, 1, PageAccess::read);
    }
    ~GuardedPages()
    {
        unmap_pages(region_, 3);
    }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    bool ok() const { return region_ != nullptr; }
    uint8_t* hole() const { return region_ + page_; }            // neither readable nor writable
    uint8_t* before_hole(size_t n) const { return hole() - n; }  // n usable bytes, then the hole
    uint8_t* read_only() const { return region_ + 2 * page_; }

private:
    size_t page_ = 0;
    uint8_t* region_ = nullptr;
};

}  // namespace korval::test
