#include "resampler.h"

#include <soxr.h>

#include <vector>

#include "file_io.h"
#include "messages.h"

namespace nbz::cli {

struct resampler::state {
    state(double from_hz, double to_hz, sink out) : out(std::move(out)) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        handle = soxr_create(from_hz, to_hz, 1, &error, &io, &quality, nullptr);
        if (error != nullptr || handle == nullptr) throw io_failure{messages::resample_failed};
    }
    ~state() { soxr_delete(handle); }
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    // One call of soxr_process; `input` null flushes. Returns the input taken.
    std::size_t process(const double* input, std::size_t length) {
        std::size_t taken = 0;
        std::size_t made = 0;
        if (soxr_process(handle, input, length, &taken, output.data(), output.size(), &made) != nullptr)
            throw io_failure{messages::resample_failed};
        out(std::span{output}.first(made));
        last_made = made;
        return taken;
    }

    sink out;
    soxr_t handle = nullptr;
    std::vector<double> output = std::vector<double>(std::size_t{1} << 14);
    std::size_t last_made = 0;
};

resampler::resampler(double from_hz, double to_hz, sink out)
    : state_(std::make_unique<state>(from_hz, to_hz, std::move(out))) {}

resampler::~resampler() = default;

void resampler::put(std::span<const double> samples) {
    // Until all input is taken and the output buffer was not filled up (a
    // full buffer may mean more is ready).
    do {
        const std::size_t taken =
            state_->process(samples.empty() ? state_->output.data() : samples.data(), samples.size());
        samples = samples.subspan(taken);
    } while (!samples.empty() || state_->last_made == state_->output.size());
}

void resampler::finish() {
    do {
        state_->process(nullptr, 0);
    } while (state_->last_made > 0);
}

}  // namespace nbz::cli
