// The plain kernel: the shared loops (lanes.h) as the compiler builds them
// for any processor of the target (SSE2 on x86-64, NEON on arm64), with the
// scalar partition. The one that runs where the others cannot; it must give
// the reference kernel's streams (reference.cpp).

#include <cstddef>
#include <cstdint>

#include "nbz/attributes.h"
#include "search/encoder.h"
#include "search/lanes.h"

namespace nbz::search {
namespace {

// Whether any two of the first `count` hashes may be equal: each hash
// against all of them, in loops without branches that run in vector
// registers, so that a repeat (rare) is found without the table. The work
// grows as the square of the count: beyond 40 hashes, the table costs less.
bool may_repeat_plain(const state_hashes& hashes, std::size_t count) {
    if (count > 40) return true;
    std::uint32_t matches = 0;
    for (std::size_t j = 0; j < count; ++j)
        for (std::size_t i = 0; i < count; ++i) matches += std::uint32_t{hashes[i] == hashes[j]};
    return matches > count;  // more than each hash matching itself
}

NBZ_ALWAYS_INLINE inline std::size_t partition_plain(std::uint64_t* keys, std::size_t n, std::uint64_t pivot,
                                                     std::uint64_t* spill) {
    return partition_rest(keys, 0, n, pivot, spill, 0, 0);
}

// Four 32-bit lanes: the vectors that every x86-64 and arm64 processor has.
constexpr std::size_t plain_lanes = 4;

struct plain_loops {
    static expansion fill_terms(const paths& p, std::size_t count, std::int32_t x, candidate_terms& t) {
        return fill_terms_whole<plain_lanes>(p, count, x, t);
    }
    static void select_smallest(std::uint64_t* keys, std::size_t size, std::size_t count, std::uint64_t* spill) {
        search::select_smallest(keys, size, count, spill, partition_plain);
    }
    static bool select_in_registers(const candidate_terms& /*t*/, candidates& /*c*/, int /*width*/,
                                    position_set& /*chosen*/, std::uint64_t& /*hint*/) {
        return false;
    }
    static std::size_t survivors(const candidate_terms& t, const paths& from, const candidates& c,
                                 const position_set& chosen, std::uint64_t base, paths& next, history_row& steps,
                                 state_hashes& hashes) {
        return survivors_in_turn(t, from, c, chosen, base, next, steps, hashes, plain_lanes);
    }
};

std::size_t extend_plain(search_encoder& e, std::int32_t x, paths& next, history_row& steps, state_hashes& hashes) {
    return extend_in_lanes<plain_loops>(e, x, next, steps, hashes);
}

bool runs_plain() { return true; }

}  // namespace

const kernel plain_kernel = {search_kernel::plain, "plain", runs_plain, extend_plain, may_repeat_plain};

}  // namespace nbz::search
