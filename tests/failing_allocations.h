#pragma once
// A replaced operator new that fails on request, for the tests of running
// out of memory (failing_allocations.cpp; link it into the test program).

#include <cstddef>

namespace nbz::testing::allocations {

// From now on, counts the allocations of at least `min_bytes`; the one
// numbered `n` (from 0) throws std::bad_alloc, and with `then_all` every
// later one does too.
void fail(long n, std::size_t min_bytes = 0, bool then_all = false);

// Counts without failing, for a clean run to tell how many there are.
void count();

// Neither counts nor fails any more.
void stop();

// How many allocations were counted since fail() or count().
long counted();

}  // namespace nbz::testing::allocations
