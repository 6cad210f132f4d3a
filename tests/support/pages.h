// Whole pages of memory with a chosen access, on every platform the tests run on (mmap or VirtualAlloc),
// for tests of what the library does with caller memory it cannot use.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>

namespace korval::test {

enum class PageAccess { none, read, read_write };

inline size_t page_size()
{
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

inline bool protect_pages(void* at, size_t count, PageAccess access)
{
#ifdef _WIN32
    const DWORD protect = access == PageAccess::none   ? PAGE_NOACCESS
                          : access == PageAccess::read ? PAGE_READONLY
                                                       : PAGE_READWRITE;
    DWORD old = 0;
    return VirtualProtect(at, count * page_size(), protect, &old) != 0;
#else
    const int protect = access == PageAccess::none   ? PROT_NONE
                        : access == PageAccess::read ? PROT_READ
                                                     : PROT_READ | PROT_WRITE;
    return mprotect(at, count * page_size(), protect) == 0;
#endif
}

// `count` zeroed pages with the given access; nullptr when the system gives none.
inline uint8_t* map_pages(size_t count, PageAccess access)
{
#ifdef _WIN32
    void* p = VirtualAlloc(nullptr, count * page_size(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* p = mmap(nullptr, count * page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) p = nullptr;
#endif
    if (p != nullptr && access != PageAccess::read_write) protect_pages(p, count, access);
    return static_cast<uint8_t*>(p);
}

inline void unmap_pages(void* at, size_t count)
{
    if (at == nullptr) return;
#ifdef _WIN32
    (void)count;
    VirtualFree(at, 0, MEM_RELEASE);
#else
    munmap(at, count * page_size());
#endif
}

}  // namespace korval::test
