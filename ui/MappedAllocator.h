#pragma once

#include <cstddef>
#include <new>
#include <sys/mman.h>

// Large blocks are mapped directly: the allocator's heap would keep a cleared list's megabytes
// resident. A block of huge-page size or more asks for transparent huge pages, so that probes at
// random places of a large table do not miss the TLB as well as the cache.
template <class T>
struct CMappedAllocator
{
    using value_type = T;
    static constexpr size_t MAP_FROM = size_t(256) << 10;
    static constexpr size_t HUGE_PAGE = size_t(2) << 20;

    CMappedAllocator() = default;
    template <class U>
    CMappedAllocator(const CMappedAllocator<U>&) noexcept
    {}

    T* allocate(size_t nCount)
    {
        const size_t nBytes = nCount * sizeof(T);
        if (nBytes < MAP_FROM)
            return static_cast<T*>(::operator new(nBytes));
        void* p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        if (nBytes >= HUGE_PAGE)
            madvise(p, nBytes, MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }

    void deallocate(T* p, size_t nCount) noexcept
    {
        const size_t nBytes = nCount * sizeof(T);
        if (nBytes < MAP_FROM)
            ::operator delete(p);
        else
            munmap(p, nBytes);
    }

    template <class U>
    bool operator==(const CMappedAllocator<U>&) const noexcept
    {
        return true;
    }
};
