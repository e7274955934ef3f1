#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace tvdb {

// Allocator for the large arrays a search streams through (vectors, codes). Blocks of a
// megabyte or more are aligned to 2 MiB and marked for transparent huge pages: a full scan
// then walks a few hundred TLB entries instead of tens of thousands, which is most of the
// difference between a scan that streams at memory bandwidth and one that stalls. Smaller
// blocks start on a cache line, so that vector loads of aligned rows never straddle two.
template <typename T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kThreshold = std::size_t{1} << 20;
    static constexpr std::size_t kCacheLine = 64;

    HugePageAllocator() noexcept = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        std::size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes >= kThreshold) {
            std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            p = std::aligned_alloc(kHugePage, rounded);
            if (p) ::madvise(p, rounded, MADV_HUGEPAGE);
        } else {
            std::size_t rounded = (bytes + kCacheLine - 1) / kCacheLine * kCacheLine;
            p = std::aligned_alloc(kCacheLine, rounded ? rounded : kCacheLine);
        }
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

// Allocator for arrays scanned in 64-byte blocks that are many and small (the lists of an
// inverted file): every block starts on a cache line, and no block is rounded up to a huge
// page.
template <typename T>
struct CacheLineAllocator {
    using value_type = T;
    static constexpr std::size_t kCacheLine = 64;

    CacheLineAllocator() noexcept = default;
    template <typename U>
    CacheLineAllocator(const CacheLineAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T) - kCacheLine) throw std::bad_array_new_length();
        std::size_t rounded = (n * sizeof(T) + kCacheLine - 1) / kCacheLine * kCacheLine;
        void* p = std::aligned_alloc(kCacheLine, rounded ? rounded : kCacheLine);
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    template <typename U>
    bool operator==(const CacheLineAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace tvdb
