#pragma once
// Changing the sample rate of a mono signal as it streams through, in bounded
// memory, with the same output bits on every machine: a Kaiser-windowed sinc
// whose table is computed with +, -, *, / and sqrt only, evaluated in double
// precision in a fixed order, without fused multiply-add.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>

namespace nbz {

// The filter: flat to 0.91 of the lower rate's Nyquist frequency, at least
// 130 dB down from its Nyquist frequency on.
inline constexpr double resample_passband = 0.91;
// The largest input rate over output rate taken (the filter's length and the
// memory grow with it).
inline constexpr std::uint32_t resample_max_ratio = 1024;

// What the resampler throws for rates that it does not take.
struct resampler_error : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Whether the resampler takes these rates: both whole numbers from 1 to
// 2^31 - 1, and from_hz / to_hz at most resample_max_ratio.
bool resampler_takes(double from_hz, double to_hz);

class resampler {
public:
    using sink = std::function<void(std::span<const double> samples)>;

    // Resamples from `from_hz` to `to_hz`, passing the output to `out` in
    // pieces of at most a few thousand samples. Output sample n stands for
    // input time n * from_hz / to_hz; input before the first sample and after
    // the last is silence, and ceil(inputs * to_hz / from_hz) samples come out
    // in all. The output does not depend on how the input is cut into calls.
    // Throws resampler_error unless resampler_takes(from_hz, to_hz), and
    // std::bad_alloc when memory runs out: it allocates here only, so put
    // and finish throw nothing but what `out` throws.
    resampler(double from_hz, double to_hz, sink out);
    ~resampler();
    resampler(const resampler&) = delete;
    resampler& operator=(const resampler&) = delete;

    // Takes the next input samples; passes on what is ready.
    void put(std::span<const double> samples);
    // Passes on the rest, after the last input sample. Call it once.
    void finish();

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace nbz
