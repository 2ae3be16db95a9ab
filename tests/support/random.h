#pragma once
// The tests' random numbers: the seed of a seeded test, and the generator of
// the inputs whose outputs are recorded.
//
// A seeded test starts from a fixed seed, which the environment variable
// NBZ_TEST_SEED (decimal, or hexadecimal after 0x) replaces, and names it in
// every failure; its numbers come from synth::random_source:
//     const std::uint64_t seed = test_seed(1);
//     SCOPED_TRACE(seed_note(seed));
//     synth::random_source random{seed};

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "synth.h"

namespace nbz::testing {

// NBZ_TEST_SEED if it is set, else `fixed`. A value that is not a whole
// number fails the test (and `fixed` is used).
inline std::uint64_t test_seed(std::uint64_t fixed) {
    const char* text = std::getenv("NBZ_TEST_SEED");
    if (text == nullptr || *text == '\0') return fixed;
    char* end = nullptr;
    errno = 0;
    const unsigned long long seed = std::strtoull(text, &end, 0);
    if (*end != '\0' || errno != 0 || *text == '-' || *text == '+' || *text == ' ') {
        ADD_FAILURE() << "NBZ_TEST_SEED is not a seed: \"" << text << "\"";
        return fixed;
    }
    return seed;
}

// The line that a failure of a seeded test prints.
inline std::string seed_note(std::uint64_t seed) {
    return "seed " + std::to_string(seed) + " (NBZ_TEST_SEED=" + std::to_string(seed) + " runs it again)";
}

// A linear congruential generator (the constants of Numerical Recipes): the
// recorded hashes of the inputs made with it depend on its every bit.
struct lcg {
    std::uint32_t state;
    std::uint32_t next() { return state = state * 1664525U + 1013904223U; }
};

}  // namespace nbz::testing
