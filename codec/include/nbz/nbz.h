#pragma once
// nbz: a 4-bit adaptive differential code for 16-bit mono PCM.
//
// The stream
// ----------
// A stream is a bare sequence of 32-bit code words, each stored as four bytes,
// least significant first. There is no header, trailer, sample count, sample
// rate or stored state. Each word holds the codes of eight consecutive
// samples: sample i of the block (i = 0..7) in bits 4i..4i+3, sample 0 in the
// lowest nibble. A code is a signed value -8..7 stored as its 4-bit two's
// complement (0x0..0x7 are 0..7, 0x8..0xF are -8..-1). So byte 4k+j of a file
// holds sample 8k+2j in its low nibble and 8k+2j+1 in its high nibble. A
// recording of S samples takes 4 * ceil(S / 8) bytes; the tail of the last
// word holds the codes of zero samples appended to the recording, encoded
// with the running state like any other sample.
//
// The state
// ---------
// Encoder and decoder both run one `encoder_state` from the initial condition
// (every field 0, `step` 2048) through the whole stream, with no reset at word
// boundaries. Per sample, with slope = delta - delta_prev:
//
//   prediction = estimate - (estimate >> 3) + slope
//   code       = (x - prediction) / step, truncated toward zero, clamped -8..7
//   new_delta  = code * step + slope
//   output     = new_delta + output - (output >> 3)      (the reconstruction)
//   peak       = max(peak, |output|)
//   estimate   = new_delta + estimate - round8(estimate)
//   step       = (step * step_scale_table[code + 8] + 127) >> 7
//   delta_prev = delta, delta = new_delta
//
// where >> 3 rounds toward minus infinity and round8 rounds to nearest with
// halves away from zero. All of it is 32-bit two's complement that wraps on
// overflow. The input enters only through the choice of each code, so the
// codes alone determine every field: a decoder replays the same update with
// the codes read from the stream, and its `output` is the reconstructed
// sample.
//
// One bound is added to that recurrence: `step` is capped at `step_max`, the
// largest step whose update cannot leave the 32-bit range. From 16-bit input
// the step stays in the tens of thousands, so the cap only matters for code
// sequences that keep growing the step (a decoder fed arbitrary data).

#include <cstdint>
#include <span>

namespace nbz {

// The running state of one stream, owned by the caller. Every field may be
// read between calls; `peak` is the largest |output| so far.
struct encoder_state {
    std::int32_t delta;       // increment that the latest sample added to estimate and output
    std::int32_t delta_prev;  // delta of the sample before the latest one
    std::int32_t estimate;    // leaky accumulator that the prediction is formed from
    std::int32_t step;        // quantiser step size, 1..step_max (7.. from the initial condition)
    std::int32_t output;      // leaky accumulator that is the reconstructed sample
    std::uint32_t peak;       // largest magnitude of output since initialisation

    friend bool operator==(const encoder_state&, const encoder_state&) = default;
};

// Puts `state` in the initial condition of every stream: all fields 0 except
// `step`, which is 2048.
void encoder_init(encoder_state& state);

// Encodes one block of eight consecutive samples and returns its code word.
// The state runs on across calls: encoding a stream block by block gives the
// same codes and state as one sample-by-sample pass. Never fails. A state
// whose step lies outside 1..step_max (which encoding from the initial
// condition never produces) is first brought into that range.
std::uint32_t encode_block(encoder_state& state, std::span<const std::int16_t, 8> samples);

}  // namespace nbz
