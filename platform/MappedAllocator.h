#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

// Large blocks are mapped directly: the allocator's heap would keep a cleared list's megabytes
// resident. A block of huge-page size or more asks for transparent huge pages, so that probes at
// random places of a large table do not miss the TLB as well as the cache. Used by the window's
// name index and store, and by tarrow-watch's --top counts. A mapping starts at a page's edge, and
// a smaller block keeps its type's alignment.
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
            return static_cast<T*>(::operator new(nBytes, std::align_val_t(alignof(T))));
        // Only the aligned huge pages inside a mapping can be huge: a large block is mapped with a
        // huge page to spare and cut to start at a huge page's edge.
        const bool bHuge = nBytes >= HUGE_PAGE;
        const size_t nMapped = bHuge ? nBytes + HUGE_PAGE : nBytes;
        void* p = mmap(nullptr, nMapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        if (!bHuge)
            return static_cast<T*>(p);
        auto* pMapped = static_cast<char*>(p);
        char* pAligned = pMapped + (HUGE_PAGE - reinterpret_cast<uintptr_t>(pMapped) % HUGE_PAGE) % HUGE_PAGE;
        if (pAligned != pMapped)
            munmap(pMapped, size_t(pAligned - pMapped));
        // The kernel maps whole pages: the block's last one is kept whole.
        const auto nPage = size_t(sysconf(_SC_PAGESIZE));
        const size_t nKept = (nBytes + nPage - 1) / nPage * nPage;
        if (const size_t nTail = size_t(pMapped + nMapped - (pAligned + nKept)); nTail != 0)
            munmap(pAligned + nKept, nTail);
        madvise(pAligned, nBytes, MADV_HUGEPAGE);
        return reinterpret_cast<T*>(pAligned);
    }

    void deallocate(T* p, size_t nCount) noexcept
    {
        const size_t nBytes = nCount * sizeof(T);
        if (nBytes < MAP_FROM)
            ::operator delete(p, std::align_val_t(alignof(T)));
        else
            munmap(p, nBytes);
    }

    template <class U>
    bool operator==(const CMappedAllocator<U>&) const noexcept
    {
        return true;
    }
};
