// Zeroed memory mapped straight from the kernel, for the transposition
// tables: the kernel hands out zero pages as they are first written and
// takes them back whole. Large blocks start on a huge-page boundary and are
// offered huge pages: table probes land anywhere in the block, and with
// 4 KiB pages nearly every one would also miss the TLB.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace flipcore {
namespace {

constexpr size_t HUGE_PAGE_BYTES = size_t{2} << 20;

// A zeroed, page-aligned block of `bytes`, or nullptr when it cannot be had.
// Free it with unmap_zeroed(block, bytes).
inline void* map_zeroed(size_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX - HUGE_PAGE_BYTES) return nullptr;
    if (bytes < 2 * HUGE_PAGE_BYTES) {
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return block == MAP_FAILED ? nullptr : block;
    }
    // Map a huge page more than needed and trim both ends, so that the
    // block starts on a huge-page boundary.
    void* raw = mmap(nullptr, bytes + HUGE_PAGE_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    if (aligned > start) munmap(raw, aligned - start);
    munmap(reinterpret_cast<void*>(aligned + bytes), start + HUGE_PAGE_BYTES - aligned);
    void* block = reinterpret_cast<void*>(aligned);
    madvise(block, bytes, MADV_HUGEPAGE);  // a hint: refused, pages stay small
    return block;
}

inline void unmap_zeroed(void* block, size_t bytes) {
    if (block) munmap(block, bytes);
}

}  // namespace
}  // namespace flipcore
