#pragma once
// Synthetic test material that behaves like real recordings for an adaptive
// coder, made from a seed so that every run gets the same samples.
//
// - music: chords of drifting tones under a slow level envelope, note
//   changes four times a second, noise bursts, loud passages near full
//   scale, short silences.
// - speech: a glottal pulse train with a wandering pitch through three
//   formant resonators that move from syllable to syllable, with fricative
//   noise, pauses between words and a sentence-level envelope.
// - noise: broadband noise with a slowly changing colour and level.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string_view>
#include <vector>

namespace nbz::synth {

inline constexpr int rate = 44100;

struct random_source {
    std::uint64_t state;
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double symmetric() { return 2 * uniform() - 1; }                            // [-1, 1)
};

inline std::int16_t to_sample(double v) {
    return static_cast<std::int16_t>(std::clamp(v * 32767.0, -32768.0, 32767.0));
}

// A two-pole resonator (band-pass) at `frequency` Hz with bandwidth `width` Hz.
struct resonator {
    double a1 = 0, a2 = 0, gain = 0, y1 = 0, y2 = 0;
    void tune(double frequency, double width) {
        const double r = std::exp(-std::numbers::pi * width / rate);
        a1 = 2 * r * std::cos(2 * std::numbers::pi * frequency / rate);
        a2 = -r * r;
        gain = 1 - r;
    }
    double operator()(double x) {
        const double y = gain * x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

class music_source {
public:
    explicit music_source(std::uint64_t seed) : random_{seed} {}
    std::int16_t next() {
        if (n_++ % (rate / 4) == 0) {
            for (double& f : freq_) f = 80.0 * std::pow(2.0, random_.uniform() * 5.0);
            const double pick = random_.uniform();
            target_ = pick < 0.1 ? 0.0 : pick < 0.2 ? 0.95 : 0.05 + 0.5 * random_.uniform();
            noise_ = random_.uniform() < 0.25 ? 0.3 * random_.uniform() : 0.01;
        }
        level_ += (target_ - level_) * 0.0005;
        double v = 0;
        for (int k = 0; k < 3; ++k) {
            phase_[k] += 2 * std::numbers::pi * freq_[k] / rate;
            v += std::sin(phase_[k]) / (k + 1);
        }
        return to_sample(level_ * v / 1.83 + noise_ * level_ * random_.symmetric());
    }

private:
    random_source random_;
    std::uint64_t n_ = 0;
    double phase_[3] = {0, 0, 0};
    double freq_[3] = {220, 277, 330};
    double level_ = 0.3, target_ = 0.3, noise_ = 0;
};

class speech_source {
public:
    explicit speech_source(std::uint64_t seed) : random_{seed} { new_syllable(); }
    std::int16_t next() {
        if (--left_ <= 0) new_syllable();
        pitch_ += (pitch_target_ - pitch_) * 0.0008;
        phase_ += pitch_ / rate;
        double excitation = 0;
        if (phase_ >= 1) {  // one glottal pulse per period
            phase_ -= 1;
            excitation = voiced_ ? 1.0 : 0.0;
        }
        excitation += fricative_ * random_.symmetric();
        double v = 0;
        for (int k = 0; k < 3; ++k) v += formants_[k](excitation) * (k == 0 ? 6.0 : k == 1 ? 4.0 : 2.5);
        envelope_ += (envelope_target_ - envelope_) * 0.003;
        return to_sample(loudness_ * envelope_ * v);
    }

private:
    void new_syllable() {
        left_ = static_cast<int>(rate * (0.08 + 0.22 * random_.uniform()));
        const bool pause = random_.uniform() < 0.15;
        envelope_target_ = pause ? 0.0 : 0.4 + 0.6 * random_.uniform();
        voiced_ = random_.uniform() < 0.8;
        fricative_ = voiced_ ? 0.02 : 0.3 + 0.3 * random_.uniform();
        pitch_target_ = 90 + 140 * random_.uniform();
        const double f1 = 250 + 650 * random_.uniform();
        const double f2 = 900 + 1600 * random_.uniform();
        const double f3 = 2300 + 900 * random_.uniform();
        formants_[0].tune(f1, 80);
        formants_[1].tune(f2, 120);
        formants_[2].tune(voiced_ ? f3 : 4000 + 2000 * random_.uniform(), voiced_ ? 160 : 1500);
        if (random_.uniform() < 0.1) loudness_ = 0.3 + 0.6 * random_.uniform();  // a new sentence
    }

    random_source random_;
    resonator formants_[3];
    int left_ = 0;
    bool voiced_ = true;
    double phase_ = 0, pitch_ = 120, pitch_target_ = 120, fricative_ = 0;
    double envelope_ = 0, envelope_target_ = 0, loudness_ = 0.6;
};

class noise_source {
public:
    explicit noise_source(std::uint64_t seed) : random_{seed} {}
    std::int16_t next() {
        if (n_++ % (rate / 2) == 0) {
            target_ = 0.05 + 0.4 * random_.uniform();
            colour_ = 0.2 + 0.75 * random_.uniform();
        }
        level_ += (target_ - level_) * 0.0002;
        low_ = colour_ * low_ + (1 - colour_) * random_.symmetric();
        return to_sample(level_ * (low_ * 1.5 + 0.3 * random_.symmetric()));
    }

private:
    random_source random_;
    std::uint64_t n_ = 0;
    double level_ = 0.1, target_ = 0.1, colour_ = 0.5, low_ = 0;
};

// `count` samples of the named material ("music", "speech" or "noise").
inline std::vector<std::int16_t> generate(std::string_view kind, std::size_t count, std::uint64_t seed) {
    std::vector<std::int16_t> out(count);
    const auto fill = [&](auto source) { std::generate(out.begin(), out.end(), [&] { return source.next(); }); };
    if (kind == "speech") {
        fill(speech_source{seed});
    } else if (kind == "noise") {
        fill(noise_source{seed});
    } else {
        fill(music_source{seed});
    }
    return out;
}

}  // namespace nbz::synth
