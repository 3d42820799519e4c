#pragma once

#include <cstddef>

namespace qel::server {

// Keeps the C library's allocator from holding on to memory the server's
// calls have freed. By default glibc gives each thread that allocates at
// once an arena of its own (up to eight per core) and keeps what is freed in
// each for later: after a few large calls on different workers the process
// holds the sum of their peaks. At start (before any thread), this limits
// the arenas to `arenas` and sends every block of 1 MiB or more (a call's
// bodies and row vectors) to its own mapping, given back as soon as it is
// freed. No effect where the C library is not glibc.
void limitAllocatorArenas(int arenas);

// Gives the free pages of every arena back to the system; called after a
// large call. At most one runs at a time: a call made meanwhile returns at once.
void returnFreeMemory();

// Calls holding at least this much return the freed memory once answered.
inline constexpr std::size_t kReturnMemoryAfter = 32u << 20;

}  // namespace qel::server
