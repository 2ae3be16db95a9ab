#include "fast_block.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "nbz/attributes.h"
#include "nbz/state_update.h"
#include "nbz/step_scale_table.h"
#include "nbz/wrapping.h"

// How the fast path follows the recurrence (all 32-bit values wrap, so every
// identity below holds modulo 2^32; >> is the arithmetic shift).
//
// With c = E - round8(E), A = (d - dp) + c and r = x - prediction, a sample
// gives new_delta = qS + d - dp and E' = new_delta + c = qS + A, where qS is
// code * step. The next residual is
//   r' = x' - (E' - (E' >> 3)) - (new_delta - d) = x' + dp + A - 2E' + (E' >> 3).
// Writing NE = ~E' (= -E' - 1) and using ~(v >> 3) = (~v) >> 3, this is
//   r' = g + x' + 2NE - (NE >> 3),   g = c + d + 1,
// and NE = -qS - (A + 1), new_delta = E' - c. So the only work between one
// residual and the next is finding qS, two additions, a shift and a
// subtraction: the chain that bounds the encoder's speed.
//
// qS comes from one restoring division of |r| by 4S, 2S and S, each step
// keeping the difference when it is not negative (in 64 bits, where |r| - kS
// cannot overflow). It ends at |r| - min(|r| / S, 7)S, so Q = |r| minus that
// is |code| * S up to the clamp at 7; the code -8 (r <= -8S) takes one S
// more. So qS = Q for r >= 0 and -(Q + [r <= -8S] S) for r < 0, and with
// the sign applied by masks rather than branches, NE = -qS - (A + 1).
//
// The next step is (S * scale + 127) >> 7 with scale 112, 128, 136 or 192 as
// |code| is 0, 1..4, 5..6 or 7..8, that is as |r| reaches S, 5S and 7S
// (truncation toward zero). Below fast_step_bound the cap never applies.
//
// The codes and the peak do not feed back, so they are left for a pass
// after the block: code = qS / S, from the deltas and steps the chain
// stored, and the peak from the stored outputs.

namespace nbz {
namespace {

// What the chain leaves for the finishing pass.
struct block_trace {
    std::array<std::int32_t, 10> delta;  // delta_prev and delta before the block, then each sample's new delta
    std::array<std::int32_t, 8> step;    // the step each sample was coded with
    std::array<std::int32_t, 8> output;  // each sample's reconstruction
};

constexpr std::uint32_t u32(std::int32_t v) { return static_cast<std::uint32_t>(v); }
constexpr std::int32_t i32(std::uint32_t v) { return static_cast<std::int32_t>(v); }

// The step's scale for a code, which the fast path picks by |code| alone:
// one scale for 0, one for 1..4, one for 5..6 and one for 7..8.
constexpr std::int64_t scale_for(int magnitude) { return step_scale_table[static_cast<unsigned>(magnitude + 8)]; }
constexpr bool scale_depends_on_magnitude_classes() {
    for (int code = -8; code <= 7; ++code) {
        const int m = code < 0 ? -code : code;
        const int representative = m == 0 ? 0 : m <= 4 ? 1 : m <= 6 ? 5 : 7;
        if (step_scale_table[static_cast<unsigned>(code + 8)] != scale_for(representative)) return false;
    }
    return true;
}
static_assert(scale_depends_on_magnitude_classes());

// The largest step that a block can reach from below fast_step_bound.
constexpr std::int32_t largest_step_in_block() {
    std::int32_t step = fast_step_bound - 1;
    for (int i = 0; i < 8; ++i) step = next_step(step, 7);
    return step;
}
// No cap inside a block, and every step is exact as a float (the codes'
// division relies on that, and on |qS| <= 8 * step rounding by < 2^-24).
static_assert(largest_step_in_block() < step_max && largest_step_in_block() < (1 << 24));

// The per-sample chain over one block. Updates every field but `peak`.
NBZ_ALWAYS_INLINE inline void run_chain(encoder_state& state, std::span<const std::int16_t, 8> samples,
                                        block_trace& trace) {
    std::int64_t step = state.step;
    std::uint32_t d = u32(state.delta);
    std::uint32_t dp = u32(state.delta_prev);
    std::uint32_t output = u32(state.output);
    std::uint32_t c = u32(wrap_sub(state.estimate, round_div8(state.estimate)));
    std::int64_t r = wrap_sub(samples[0], prediction(state));
    std::uint32_t ne = 0;
    trace.delta[0] = i32(dp);
    trace.delta[1] = i32(d);
    // Unrolled, so that the chain of one sample overlaps the next sample's
    // (GCC and Clang; MSVC has no such pragma and warns at unknown ones).
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC unroll 8
#endif
    for (std::size_t i = 0; i < 8; ++i) {
        const std::int64_t minus_r = -r;
        const std::int64_t magnitude = r >= minus_r ? r : minus_r;
        // The division's first difference also tells whether |r| reaches
        // 5S and 7S (the step's scale) and 8S (the clamp at -8).
        const std::int64_t beyond4 = magnitude - 4 * step;
        std::int64_t scale = magnitude >= step ? scale_for(1) : scale_for(0);
        scale = beyond4 >= step ? scale_for(5) : scale;
        scale = beyond4 >= 3 * step ? scale_for(7) : scale;
        const std::uint32_t clamp_fix = beyond4 >= 4 * step ? static_cast<std::uint32_t>(step) : 0U;
        std::int64_t a = beyond4 >= 0 ? beyond4 : magnitude;
        std::int64_t t = a - 2 * step;
        a = t >= 0 ? t : a;
        t = a - step;
        a = t >= 0 ? t : a;
        const std::uint32_t g = c + d + 1U;
        const auto sign = static_cast<std::uint32_t>(r >> 63);
        const auto um = static_cast<std::uint32_t>(magnitude);
        const std::uint32_t offset = (clamp_fix & sign) - (g - dp) - (um ^ sign);
        ne = (static_cast<std::uint32_t>(a) ^ sign) + offset;
        const std::uint32_t estimate = ~ne;
        const std::uint32_t new_delta = estimate - c;
        trace.delta[i + 2] = i32(new_delta);
        trace.step[i] = static_cast<std::int32_t>(step);
        output = new_delta + output - u32(i32(output) >> 3);
        trace.output[i] = i32(output);

        const std::uint32_t x_next = u32(samples[i < 7 ? i + 1 : 7]);
        r = i32(x_next + g + 2U * ne - u32(i32(ne) >> 3));
        c = estimate - u32(round_div8(i32(estimate)));
        dp = d;
        d = new_delta;
        step = (step * scale + 127) >> 7;
    }
    state.delta = i32(d);
    state.delta_prev = i32(dp);
    state.estimate = i32(~ne);
    state.step = static_cast<std::int32_t>(step);
    state.output = i32(output);
}

// The codes of the block and the peak over its outputs. Plain loops over
// eight lanes, which a vectorising compiler turns into a few instructions.
//
// code = qS / S is exact in single precision: the quotient is within 2^-18
// of an integer in -8..7, so adding 8.5 and truncating gives code + 8, and
// (code + 8) ^ 8 is the code's 4-bit pattern.
NBZ_ALWAYS_INLINE inline std::uint32_t finish(const block_trace& trace, std::uint32_t& peak) {
    std::array<std::uint32_t, 8> nibbles{};
    for (std::size_t i = 0; i < 8; ++i) {
        const std::int32_t qs = i32(u32(trace.delta[i + 2]) - u32(trace.delta[i + 1]) + u32(trace.delta[i]));
        const auto biased =
            static_cast<std::int32_t>(static_cast<float>(qs) / static_cast<float>(trace.step[i]) + 8.5F);
        nibbles[i] = u32(biased ^ 8) << (4 * i);
    }
    std::uint32_t word = 0;
    for (const std::uint32_t nibble : nibbles) word |= nibble;
    std::uint32_t largest = peak;
    for (const std::int32_t output : trace.output) largest = std::max(largest, magnitude(output));
    peak = largest;
    return word;
}

NBZ_NOINLINE std::uint32_t finish_portable(const block_trace& trace, std::uint32_t& peak) {
    return finish(trace, peak);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NBZ_HAS_VECTOR_PASS 1
[[gnu::target("avx2")]] std::uint32_t finish_vector(const block_trace& trace, std::uint32_t& peak) {
    return finish(trace, peak);
}
#else
std::uint32_t finish_vector(const block_trace& trace, std::uint32_t& peak) { return finish(trace, peak); }
#endif

// Built without GCC's straight-line vectoriser (codec/CMakeLists.txt): it
// would pack the state's fields into vector registers to load and store them
// together, which puts transfers between register files on the chain from
// one block to the next; the chain is faster with scalars alone.
std::uint32_t encode_fast(encoder_state& state, std::span<const std::int16_t, 8> samples, bool vector) {
    block_trace trace;  // NOLINT(cppcoreguidelines-pro-type-member-init): run_chain fills every field
    run_chain(state, samples, trace);
    return vector ? finish_vector(trace, state.peak) : finish_portable(trace, state.peak);
}

}  // namespace

bool vector_pass_available() {
#ifdef NBZ_HAS_VECTOR_PASS
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

std::uint32_t encode_block_fast(encoder_state& state, std::span<const std::int16_t, 8> samples, finishing_pass pass) {
    return encode_fast(state, samples, pass == finishing_pass::vector);
}

std::uint32_t encode_block_fast(encoder_state& state, std::span<const std::int16_t, 8> samples) {
    return encode_fast(state, samples, vector_pass_available());
}

}  // namespace nbz
