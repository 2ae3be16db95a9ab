// Arbitrary gain arguments and samples: the gain is read and applied without
// undefined behaviour for every double it yields (the build checks float to
// integer conversions), and the scaled sample is the truncated, saturated
// product.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "nbz/cli/gain.h"
#include "nbz/prepare/gain.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data{bytes, size};
    const auto sample = data.ConsumeIntegral<std::int16_t>();
    const std::string argument = data.ConsumeRemainingBytesAsString();
    const double gain = nbz::cli::gain_factor(std::optional{argument});
    const std::int16_t scaled = nbz::scale_sample(sample, gain);
    const double product = sample * gain;
    const double expected = std::isnan(product) ? 0.0 : std::fmin(std::fmax(std::trunc(product), -32768.0), 32767.0);
    if (scaled != static_cast<std::int16_t>(expected)) std::abort();
    return 0;
}
