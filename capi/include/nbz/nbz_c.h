/* nbz's C interface: the codec, the search encoder and the preparation of
 * decoded audio, as one shared library (libnbz.so.1, nbz.dll) for C, C++ and
 * every language that calls C (C# through P/Invoke, Python through ctypes).
 *
 * The stream is a bare sequence of 32-bit code words, each stored as four
 * bytes, least significant first; each word holds the 4-bit codes of eight
 * consecutive samples. A stream of S samples takes 4 * ceil(S / 8) bytes: the
 * last word is completed with zero samples, encoded like the others.
 *
 * Errors. Every function that can fail returns an int: NBZ_OK (0) or a
 * negative NBZ_ERROR_ code, and has no other effect on failure: nothing is
 * written anywhere, no output parameter is set, and a handle keeps its state.
 * A pointer may be null only where a count of 0 goes with it, or where the
 * function says so (`level` and `written` are then not stored); any other
 * null pointer gives NBZ_ERROR_NULL_POINTER. Capacities count bytes for
 * streams and samples for PCM. No C++ exception leaves the library.
 *
 * Ownership and threads. The caller owns every buffer; the library keeps no
 * pointer to one after a call returns. A handle is made by its _new function
 * and released by its _free function. There is no global state: calls on
 * different handles and buffers may run at the same time on different
 * threads; one handle must not be used by two threads at once. */
#ifndef NBZ_NBZ_C_H
#define NBZ_NBZ_C_H

#include <stddef.h>
#include <stdint.h>

/* The export macro. Define NBZ_API before including this header to build or
 * link the interface another way (as a static library, for instance). */
#ifndef NBZ_API
#if defined(_WIN32) || defined(__CYGWIN__)
#ifdef NBZ_C_BUILD
#define NBZ_API __declspec(dllexport)
#else
#define NBZ_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define NBZ_API __attribute__((visibility("default")))
#else
#define NBZ_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    NBZ_OK = 0,
    NBZ_ERROR_NULL_POINTER = -1, /* a required pointer is null */
    NBZ_ERROR_CAPACITY = -2,     /* the output buffer is too small */
    NBZ_ERROR_LENGTH = -3,       /* a stream not of whole 4-byte words, or not of the samples given */
    NBZ_ERROR_WIDTH = -4,        /* a search width outside 1..NBZ_SEARCH_WIDTH_MAX */
    NBZ_ERROR_RATE = -5,         /* sample rates that the resampler does not take */
    NBZ_ERROR_CHANNELS = -6,     /* a channel count below 1 */
    NBZ_ERROR_ENDED = -7,        /* a handle used after its end: only its _free is allowed then */
    NBZ_ERROR_MEMORY = -8,       /* out of memory */
    NBZ_ERROR_TOO_LONG = -9,     /* a count whose result does not fit in a size_t */
    NBZ_ERROR_INTERNAL = -10     /* a failure inside the library that no input should cause */
};

enum {
    NBZ_SEARCH_WIDTH_MAX = 64,     /* the widest search */
    NBZ_SEARCH_WIDTH_DEFAULT = 64, /* nbzhq's width when none is given */
    NBZ_RESAMPLE_MAX_RATIO = 1024  /* the largest input rate over output rate */
};

/* A short English text for `code`, for every int (unknown codes included);
 * never null. The text is static: do not free it. */
NBZ_API const char* nbz_error_text(int code);

/* The library's version, "MAJOR.MINOR.PATCH" (the commands' -V gives the
 * same). Static, never null. */
NBZ_API const char* nbz_version_text(void);

/* The name of the search kernel that this processor runs, as nbzhq -V gives
 * it: "plain", "AVX2" or "AVX-512". Every kernel gives the same streams. */
NBZ_API const char* nbz_search_kernel_text(void);

/* ---- Blocks: one state through the whole stream, eight samples a call ---- */

/* The state of one stream, encoder's or decoder's: the C++ encoder_state's
 * fields in its order. `peak` is the largest |output| so far, the level that
 * the commands report. Every field may be read between calls. */
typedef struct nbz_state {
    int32_t delta;      /* increment that the latest sample added to estimate and output */
    int32_t delta_prev; /* delta of the sample before the latest one */
    int32_t estimate;   /* leaky accumulator that the prediction is formed from */
    int32_t step;       /* quantiser step size */
    int32_t output;     /* leaky accumulator that is the reconstructed sample */
    uint32_t peak;      /* largest magnitude of output so far */
} nbz_state;

/* Puts `state` in the initial condition of every stream: every field 0 but
 * `step`, which is 2048. `state` must be valid. */
NBZ_API void nbz_state_init(nbz_state* state);

/* Encodes eight consecutive samples and returns their code word (store it
 * least significant byte first). Cannot fail; both pointers must be valid.
 * The worked example: samples 1000, 2000, ..., 8000 from the initial
 * condition give 0x21030010. */
NBZ_API uint32_t nbz_encode_block(nbz_state* state, const int16_t samples[8]);

/* Replays the eight codes of `word` into `state`, as the encoder did when it
 * wrote them, and stores each sample's reconstruction in `out`: 32-bit and
 * not clamped to 16 bits. Any word is valid. Cannot fail; both pointers must
 * be valid. */
NBZ_API void nbz_decode_block(nbz_state* state, uint32_t word, int32_t out[8]);

/* ---- Whole buffers ---- */

/* The stream's length in bytes for `samples` samples: 4 * ceil(samples / 8). */
NBZ_API uint64_t nbz_stream_bytes(uint64_t samples);

/* Encodes `samples` samples from the initial condition exactly as nbz does:
 * writes nbz_stream_bytes(samples) bytes to `stream` (NBZ_ERROR_CAPACITY when
 * `capacity` is smaller). `*level`, unless `level` is null, gets the maximum
 * output level that nbz reports (padding included). No gain: see
 * nbz_gain_truncating for nbz's. */
NBZ_API int nbz_encode(const int16_t* pcm, size_t samples, uint8_t* stream, size_t capacity, uint32_t* level);

/* Decodes a whole stream to 16-bit samples as nbzdec writes them (each
 * reconstruction clamped to -32768..32767): 2 * bytes samples, the padding of
 * the last word included. NBZ_ERROR_LENGTH when `bytes` is not a multiple of
 * 4, NBZ_ERROR_TOO_LONG when 2 * bytes does not fit in a size_t,
 * NBZ_ERROR_CAPACITY when `capacity` (in samples) is below 2 * bytes.
 * `*level`, unless `level` is null, gets the level that nbzdec reports. */
NBZ_API int nbz_decode(const uint8_t* stream, size_t bytes, int16_t* pcm, size_t capacity, uint32_t* level);

/* The level that nbzdec reports for a whole stream, without its samples.
 * NBZ_ERROR_LENGTH when `bytes` is not a multiple of 4; `level` must be
 * valid. */
NBZ_API int nbz_level(const uint8_t* stream, size_t bytes, uint32_t* level);

/* ---- The search encoder (nbzhq's), fed any number of samples at a time ---- */

/* The stream that nbz_search_put and nbz_search_end write, in pieces, is byte
 * for byte nbzhq's for the same samples and width, however the samples are
 * split between calls. Up to 7 samples wait inside between calls; the end
 * completes the last block with zero samples. The search commits its codes
 * 256 samples at a time once 512 are pending, so a put writes 0 or a multiple
 * of 128 bytes, and the last 512 samples or fewer come out at the end. */
typedef struct nbz_search nbz_search;

/* Makes a search of `width` paths (1..NBZ_SEARCH_WIDTH_MAX; wider is better
 * and slower, nbzhq's -w) into `*search`, with the fastest kernel that this
 * processor runs. About 135 KiB, allocated here only. NBZ_ERROR_WIDTH outside
 * 1..64, NBZ_ERROR_MEMORY when memory runs out; `*search` is untouched on
 * failure. */
NBZ_API int nbz_search_new(int width, nbz_search** search);

/* Searches the next `samples` samples and writes the code words that became
 * final to `stream`; `*written`, unless `written` is null, gets their number
 * of bytes. NBZ_ERROR_CAPACITY when `capacity` is below what this put writes:
 * nbz_search_bound(samples) is always enough. NBZ_ERROR_ENDED after
 * nbz_search_end. */
NBZ_API int nbz_search_put(nbz_search* search, const int16_t* pcm, size_t samples, uint8_t* stream, size_t capacity,
                           size_t* written);

/* Ends the stream: writes the rest of it (at most nbz_search_bound(0) = 256
 * bytes) and `*level`, unless `level` is null, the level that nbzhq reports.
 * On success the handle has ended: only nbz_search_free is left. On failure
 * (NBZ_ERROR_CAPACITY) it has not, and the call may be made again. */
NBZ_API int nbz_search_end(nbz_search* search, uint8_t* stream, size_t capacity, size_t* written, uint32_t* level);

/* Releases the search. A null `search` is allowed and does nothing. */
NBZ_API void nbz_search_free(nbz_search* search);

/* The most bytes that one nbz_search_put of `samples` samples writes, from
 * any state: 128 * ceil(samples / 256). nbz_search_bound(0) is the most that
 * nbz_search_end writes: 256. */
NBZ_API size_t nbz_search_bound(size_t samples);

/* ---- Gains ---- */

/* 10^(decibels / 20) in double precision, as the commands compute their gain
 * argument's factor: 20 gives exactly 10, -6 about 0.501187. */
NBZ_API double nbz_gain_factor(double decibels);

/* nbz's gain (and nbzhq's on raw input): each 16-bit sample multiplied by
 * `factor`, truncated toward zero and saturated to -32768..32767 (a NaN
 * product gives 0), into `out`, which may be `pcm` itself. A factor of
 * exactly 1 leaves every sample as it is. NBZ_ERROR_CAPACITY when `capacity`
 * is below `samples`. */
NBZ_API int nbz_gain_truncating(const int16_t* pcm, size_t samples, double factor, int16_t* out, size_t capacity);

/* ---- Preparing decoded audio as nbzhq does, in its order ---- */

/* For a file decoded by other means (samples in double precision, full scale
 * 1.0, as libsndfile reads them), nbzhq's steps are: nbz_mix_to_mono; the
 * resampler, only when the target rate differs from the file's; nbz_to_pcm16
 * with the gain factor; then the search. The same decoded samples then give
 * nbzhq's stream. */

/* The average of each frame's `channels` interleaved values into `mono`:
 * summed in channel order, then divided once. `mono` may be `interleaved`
 * itself. NBZ_ERROR_CHANNELS when `channels` is below 1, NBZ_ERROR_TOO_LONG
 * when frames * channels does not fit in a size_t, NBZ_ERROR_CAPACITY when
 * `capacity` is below `frames`. */
NBZ_API int nbz_mix_to_mono(const double* interleaved, size_t frames, int channels, double* mono, size_t capacity);

/* nbzhq's resampler, fed any number of samples at a time: output sample n
 * stands for input time n * from_hz / to_hz, input before the first sample
 * and after the last is silence, and ceil(inputs * to_hz / from_hz) samples
 * come out in all, the same however the input is split. At equal rates it is
 * a filter, not the identity: nbzhq does not resample then. */
typedef struct nbz_resampler nbz_resampler;

/* Makes a resampler from `from_hz` to `to_hz` into `*resampler`. Both rates
 * are whole numbers from 1 to 2^31 - 1, and from_hz / to_hz is at most
 * NBZ_RESAMPLE_MAX_RATIO; otherwise NBZ_ERROR_RATE. Allocates its filter
 * here only (a few MB at the largest ratio): NBZ_ERROR_MEMORY when memory
 * runs out. `*resampler` is untouched on failure. */
NBZ_API int nbz_resampler_new(uint32_t from_hz, uint32_t to_hz, nbz_resampler** resampler);

/* The most samples that the next nbz_resampler_put of `samples` samples
 * writes: ceil((inputs so far + samples) * to_hz / from_hz) less the samples
 * written so far, saturated at SIZE_MAX. With 0, exactly what
 * nbz_resampler_end writes. 0 for a null or ended resampler. */
NBZ_API size_t nbz_resampler_bound(const nbz_resampler* resampler, size_t samples);

/* Takes the next `samples` input samples and writes the output samples that
 * are ready to `out`; `*written`, unless `written` is null, gets their
 * number. NBZ_ERROR_CAPACITY when `capacity` (in samples) is below
 * nbz_resampler_bound(resampler, samples); NBZ_ERROR_ENDED after
 * nbz_resampler_end. */
NBZ_API int nbz_resampler_put(nbz_resampler* resampler, const double* in, size_t samples, double* out, size_t capacity,
                              size_t* written);

/* Writes the rest of the output, after the last input sample:
 * nbz_resampler_bound(resampler, 0) samples. On success the handle has
 * ended: only nbz_resampler_free is left. */
NBZ_API int nbz_resampler_end(nbz_resampler* resampler, double* out, size_t capacity, size_t* written);

/* Releases the resampler. A null `resampler` is allowed and does nothing. */
NBZ_API void nbz_resampler_free(nbz_resampler* resampler);

/* nbzhq's conversion of an audio file's samples to 16 bits, with its gain
 * inside the one rounding: each value (full scale 1.0) times 32768 times
 * `factor`, rounded to nearest with halves away from zero, saturated to
 * -32768..32767; NaN gives 0. 16-bit samples read as x / 32768 come back
 * exactly with a factor of 1. NBZ_ERROR_CAPACITY when `capacity` is below
 * `samples`. */
NBZ_API int nbz_to_pcm16(const double* in, size_t samples, double factor, int16_t* out, size_t capacity);

/* ---- The report's figures ---- */

/* The figures of the commands' reports, computed by their own code: the
 * stream decoded, each reconstruction clamped to 16 bits as a player plays
 * it, against the samples it encodes (the padding of the last word counts in
 * the level only). */
typedef struct nbz_report {
    uint32_t level;       /* "Maximum output level: N" */
    uint32_t overflow;    /* level - 32767 when above, else 0 */
    double signal_energy; /* sum of x^2 over the samples */
    double noise_energy;  /* sum of (clamped reconstruction - x)^2 */
    double snr_db;        /* 10 log10(signal / noise) ("Signal-to-noise ratio"): +infinity when the
                             noise is 0, -infinity when only the signal is */
} nbz_report;

/* Measures `stream` (bytes long) as the stream of the `samples` samples at
 * `pcm`, into `*report`, which must be valid. NBZ_ERROR_LENGTH unless
 * `bytes` is nbz_stream_bytes(samples). */
NBZ_API int nbz_measure(const int16_t* pcm, size_t samples, const uint8_t* stream, size_t bytes, nbz_report* report);

#ifdef __cplusplus
}
#endif

#endif /* NBZ_NBZ_C_H */
