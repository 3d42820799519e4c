#include "allocator.h"

#include <atomic>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace qel::server {

void limitAllocatorArenas(int arenas) {
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, arenas);
    // A fixed threshold also stops glibc from raising it after each large
    // block freed, which would keep later large blocks in the arenas.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#else
    (void)arenas;
#endif
}

void returnFreeMemory() {
#if defined(__GLIBC__)
    static std::atomic<bool> running{false};
    if (running.exchange(true)) return;
    malloc_trim(0);
    running.store(false);
#endif
}

}  // namespace qel::server
