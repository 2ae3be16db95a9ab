#pragma once
// A deliberately plain model of the encoder, written apart from the codec so
// that the two check each other: 64-bit arithmetic reduced to 32 bits at each
// step, a real division, and no shared helpers.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "nbz/nbz.h"

namespace nbz::testing {

inline std::int32_t to_i32(std::int64_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(v) & 0xFFFFFFFFU));
}

// The code for a residual: truncating division, then the clamp.
inline int reference_code(std::int64_t residual, std::int64_t step) {
    return static_cast<int>(std::clamp<std::int64_t>(residual / step, -8, 7));
}

// Advances `s` by one sample with the given code and returns it.
inline int reference_advance(encoder_state& s, int q) {
    static constexpr int scale[16] = {192, 192, 136, 136, 128, 128, 128, 128, 112, 128, 128, 128, 128, 136, 136, 192};
    const std::int64_t slope = to_i32(std::int64_t{s.delta} - s.delta_prev);
    const std::int32_t nd = to_i32(std::int64_t{q} * s.step + slope);
    s.output = to_i32(std::int64_t{nd} + s.output - (s.output >> 3));
    s.peak = std::max<std::uint32_t>(s.peak, static_cast<std::uint32_t>(std::llabs(s.output)));
    const std::int32_t round8 = to_i32(std::int64_t{s.estimate} + 4 - (s.estimate < 0)) >> 3;
    s.estimate = to_i32(std::int64_t{nd} + s.estimate - round8);
    s.step = static_cast<std::int32_t>(
        std::min<std::int64_t>((std::int64_t{s.step} * scale[q + 8] + 127) >> 7, (INT32_MAX - 127) / 192));
    s.delta_prev = s.delta;
    s.delta = nd;
    return q;
}

inline int reference_encode_sample(encoder_state& s, std::int16_t x) {
    const std::int64_t slope = to_i32(std::int64_t{s.delta} - s.delta_prev);
    const std::int32_t prediction = to_i32(std::int64_t{s.estimate} - (s.estimate >> 3) + slope);
    return reference_advance(s, reference_code(to_i32(std::int64_t{x} - prediction), s.step));
}

// The stream's code words for `samples`, zero-filled to whole blocks, and the
// per-sample outputs.
struct reference_run {
    std::vector<std::uint32_t> words;
    std::vector<std::int32_t> outputs;
    encoder_state state;
};

inline reference_run reference_encode(const std::vector<std::int16_t>& samples) {
    reference_run run{{}, {}, {0, 0, 0, 2048, 0, 0}};
    const std::size_t padded = (samples.size() + 7) / 8 * 8;
    for (std::size_t i = 0; i < padded; ++i) {
        const int q = reference_encode_sample(run.state, i < samples.size() ? samples[i] : std::int16_t{0});
        if (i % 8 == 0) run.words.push_back(0);
        run.words.back() |= (static_cast<std::uint32_t>(q) & 0xFU) << (4 * (i % 8));
        run.outputs.push_back(run.state.output);
    }
    return run;
}

}  // namespace nbz::testing
