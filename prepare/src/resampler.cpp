#include "nbz/prepare/resampler.h"

#include <cfloat>
#include <cmath>
#include <numeric>
#include <vector>

// Excess precision (x87) would round differently from SSE2, NEON and the like.
static_assert(FLT_EVAL_METHOD == 0, "the resampler's arithmetic needs plain double precision");

namespace nbz {
namespace {

// The filter, in units of the lower rate's samples: cut off halfway between
// the passband's end and the Nyquist frequency, windowed over +-half_width.
constexpr double cutoff = (resample_passband + 1.0) / 2;
constexpr int half_width = 104;
constexpr double kaiser_beta = 14.5;
// Coefficient sets (phases) per unit at most; between two of them the output
// is interpolated linearly, which puts the interpolation's images near
// -150 dB.
constexpr double phases_per_unit = 4096;
constexpr double pi = 3.141592653589793;

// The output comes out in pieces of this many samples, and the input is
// taken in pieces of this many, so that memory stays bounded.
constexpr std::size_t output_piece = 4096;
constexpr std::size_t input_piece = 4096;

// Series terms by multiplication rather than division, for speed.
constexpr int series_terms = 64;
struct series_factors {
    series_factors() {
        for (int k = 1; k < series_terms; ++k) {
            inverse_squares[k] = 1.0 / static_cast<double>(k * k);
            sin_steps[k] = 1.0 / static_cast<double>((2 * k) * (2 * k + 1));
        }
    }
    double inverse_squares[series_terms] = {};
    double sin_steps[series_terms] = {};
};

// sin(pi x) by argument reduction to |x| <= 1/2 and a Taylor series: the same
// bits everywhere, unlike the C libraries' sin.
double sin_pi(double x, const series_factors& f) {
    const auto n = static_cast<long long>(x < 0 ? x - 0.5 : x + 0.5);
    const double y = pi * (x - static_cast<double>(n));  // x - n is exact
    const double y2 = y * y;
    double term = y;
    double sum = y;
    for (int k = 1; k <= 12; ++k) {
        term = -term * y2 * f.sin_steps[k];
        sum += term;
    }
    return n % 2 == 0 ? sum : -sum;
}

// The modified Bessel function I0 by its power series, whose terms are all
// positive, until they no longer change the sum.
double bessel_i0(double x, const series_factors& f) {
    const double q = x * x / 4;
    double term = 1;
    double sum = 1;
    for (int k = 1; k < series_terms; ++k) {
        term = term * q * f.inverse_squares[k];
        const double next = sum + term;
        if (next == sum) break;
        sum = next;
    }
    return sum;
}

// The windowed sinc at z lower-rate samples from the centre, for z >= 0,
// over I0(beta).
double prototype(double z, const series_factors& f) {
    if (z >= half_width) return 0;
    const double r = z / half_width;
    const double window = bessel_i0(kaiser_beta * std::sqrt(1 - r * r), f);
    const double x = cutoff * z;
    const double sinc = x == 0 ? 1 : sin_pi(x, f) / (pi * x);
    return cutoff * sinc * window;
}

bool whole_rate(double hz) { return hz >= 1 && hz <= 2147483647.0 && hz == std::floor(hz); }

}  // namespace

bool resampler_takes(double from_hz, double to_hz) {
    return whole_rate(from_hz) && whole_rate(to_hz) && from_hz <= to_hz * resample_max_ratio;
}

struct resampler::state {
    state(double from_hz, double to_hz, sink out) : out(std::move(out)) {
        if (!resampler_takes(from_hz, to_hz)) throw resampler_error{"sample rates the resampler does not take"};
        from = static_cast<std::uint64_t>(from_hz);
        to = static_cast<std::uint64_t>(to_hz);
        // Downsampling stretches the filter over more input samples.
        const double scale = to < from ? to_hz / from_hz : 1.0;
        reach = (static_cast<std::size_t>(std::ceil(half_width / scale)) / 2 + 1) * 2;
        taps = 2 * reach;
        phases = static_cast<std::size_t>(std::ceil(phases_per_unit * scale));
        // Outputs fall on only to / gcd places between two inputs: when they
        // are few, a row for each, exact and without interpolation.
        const std::uint64_t places = to / std::gcd(from, to);
        if (places <= phases) {
            phases = places;
            remainder_per_row = to / places;
        }
        make_table(scale);
        // Silence before the first sample. The input never holds more than
        // twice the filter's span after a piece is used up (make drops the
        // older half), plus the next piece: put and finish never allocate.
        input.reserve(4 * reach + input_piece);
        input.assign(reach, 0.0);
        first = -static_cast<long long>(reach);
        output.reserve(output_piece);
    }

    // Row p holds the coefficients for the input samples around an output
    // that falls p / phases of a sample after the input sample number reach - 1.
    // Row phases - p is row p reversed (the distances are the same).
    void make_table(double scale) {
        const series_factors f;
        const double gain = scale / bessel_i0(kaiser_beta, f);
        table.resize((phases + 1) * taps);
        const auto q = static_cast<long long>(phases);
        for (std::size_t p = 0; 2 * p <= phases; ++p) {
            for (std::size_t k = 0; k < taps; ++k) {
                const long long units =
                    (static_cast<long long>(k) - static_cast<long long>(reach - 1)) * q - static_cast<long long>(p);
                const double d = static_cast<double>(units) / static_cast<double>(q);
                const double c = prototype((d < 0 ? -d : d) * scale, f) * gain;
                table[p * taps + k] = c;
                table[(phases - p) * taps + (taps - 1 - k)] = c;
            }
        }
    }

    // A row's sum over the input, in four interleaved partial sums: a fixed
    // order, so the same bits anywhere.
    double dot(const double* row, const double* x) const {
        double s[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < taps; k += 4) {
            for (std::size_t j = 0; j < 4; ++j) s[j] += row[k + j] * x[k + j];
        }
        return (s[0] + s[1]) + (s[2] + s[3]);
    }

    // The output sample at input time position + remainder / to: its own
    // row's sum, or the sums of the two nearest rows interpolated.
    double sample_at() const {
        const double* x = input.data() + (position - static_cast<long long>(reach) + 1 - first);
        if (remainder_per_row != 0) return dot(table.data() + remainder / remainder_per_row * taps, x);
        const double place = static_cast<double>(remainder) / static_cast<double>(to) * static_cast<double>(phases);
        const auto p = static_cast<std::size_t>(place);
        const double u = place - static_cast<double>(p);
        const double va = dot(table.data() + p * taps, x);
        const double vb = dot(table.data() + (p + 1) * taps, x);
        return va + u * (vb - va);
    }

    // Makes every output sample whose input has all come (its last tap is
    // input sample position + reach), up to (without) input time `end`; then
    // drops the input no longer needed.
    void make(long long end) {
        const long long available = first + static_cast<long long>(input.size());
        while (position < end && position + static_cast<long long>(reach) < available) {
            output.push_back(sample_at());
            if (output.size() == output_piece) flush();
            position += static_cast<long long>(from / to);
            remainder += from % to;
            if (remainder >= to) {
                remainder -= to;
                ++position;
            }
        }
        const long long needed = position - static_cast<long long>(reach) + 1;
        if (needed - first > static_cast<long long>(input.size() / 2)) {
            const long long drop = std::min(needed - first, static_cast<long long>(input.size()));
            input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(drop));
            first += drop;
        }
    }

    void flush() {
        if (!output.empty()) out(output);
        output.clear();
    }

    sink out;
    std::uint64_t from = 1;
    std::uint64_t to = 1;
    std::size_t reach = 2;  // taps on each side, even so that taps is a multiple of four
    std::size_t taps = 4;
    std::size_t phases = 1;
    std::uint64_t remainder_per_row = 0;  // for exact rows; 0 when interpolating
    std::vector<double> table;            // phases + 1 rows of taps
    std::vector<double> input;            // input[0] is input sample `first`
    long long first = 0;
    long long received = 0;
    long long position = 0;  // the next output's input time: position + remainder / to
    std::uint64_t remainder = 0;
    std::vector<double> output;
};

resampler::resampler(double from_hz, double to_hz, sink out)
    : state_(std::make_unique<state>(from_hz, to_hz, std::move(out))) {}

resampler::~resampler() = default;

void resampler::put(std::span<const double> samples) {
    state& s = *state_;
    while (!samples.empty()) {
        const auto piece = samples.first(std::min(samples.size(), input_piece));
        s.input.insert(s.input.end(), piece.begin(), piece.end());
        s.received += static_cast<long long>(piece.size());
        s.make(s.received);
        samples = samples.subspan(piece.size());
    }
    s.flush();
}

void resampler::finish() {
    state& s = *state_;
    // Silence after the last sample, a piece at a time.
    while (s.position < s.received) {
        s.input.insert(s.input.end(), input_piece, 0.0);
        s.make(s.received);
    }
    s.flush();
}

}  // namespace nbz
