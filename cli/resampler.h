#pragma once
// Changing the sample rate of a mono signal as it streams through, with
// libsoxr at high quality, in constant memory.

#include <functional>
#include <memory>
#include <span>

namespace nbz::cli {

class resampler {
public:
    using sink = std::function<void(std::span<const double> samples)>;

    // Resamples from `from_hz` to `to_hz`, passing the output to `out`.
    // Throws io_failure(resample_failed) if libsoxr refuses.
    resampler(double from_hz, double to_hz, sink out);
    ~resampler();
    resampler(const resampler&) = delete;
    resampler& operator=(const resampler&) = delete;

    // Takes the next input samples; passes on what is ready.
    void put(std::span<const double> samples);
    // Passes on the rest, after the last input sample.
    void finish();

private:
    struct state;
    std::unique_ptr<state> state_;
};

}  // namespace nbz::cli
