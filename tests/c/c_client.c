/* c_client DIR: a C99 program over the installed C interface. Checks the
 * worked example, then writes to DIR the samples it makes (mono.raw, and
 * stereo.wav at 44.1 kHz) and the streams it encodes from them, each with the
 * report lines that the command writing the same stream prints:
 *   exact.nbz     nbz mono.raw                         (exact.txt)
 *   gain.nbz      nbz mono.raw with a gain of -20 dB   (gain.txt)
 *   decoded.raw   nbzdec exact.nbz                     (decoded.txt)
 *   search.nbz    nbzhq -w 8 mono.raw, fed in uneven pieces            (search.txt)
 *   prepared.nbz  nbzhq -w 8 -r 22050 stereo.wav with -3 dB, likewise  (prepared.txt)
 * The test compares them with the commands' files and reports. The samples
 * come from integer arithmetic only, the same on every machine. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <nbz/nbz_c.h>

#define MONO_SAMPLES 20003
#define STEREO_FRAMES 30011
#define WIDTH 8

static const char* dir;

static void fail(const char* what, int code) {
    printf("c_client: %s: %s\n", what, code < 0 ? nbz_error_text(code) : "wrong result");
    exit(1);
}

static void check(int code, const char* what) {
    if (code != NBZ_OK) fail(what, code);
}

static void* allocate(size_t bytes) {
    void* p = malloc(bytes > 0 ? bytes : 1);
    if (p == NULL) fail("malloc", NBZ_ERROR_MEMORY);
    return p;
}

static void write_file(const char* name, const void* data, size_t bytes) {
    char path[4096];
    FILE* f;
    snprintf(path, sizeof path, "%s/%s", dir, name);
    f = fopen(path, "wb");
    if (f == NULL || fwrite(data, 1, bytes, f) != bytes || fclose(f) != 0) fail(path, 1);
}

/* The commands' level line for `level`, into `text`. */
static void level_line(char* text, size_t size, uint32_t level) {
    if (level > 32767) {
        snprintf(text, size, "Maximum output level: %lu (overflow by %lu)\n", (unsigned long)level,
                 (unsigned long)(level - 32767));
    } else {
        snprintf(text, size, "Maximum output level: %lu\n", (unsigned long)level);
    }
}

/* The report lines of the commands for a stream of these samples. */
static void write_report(const char* name, const int16_t* pcm, size_t samples, const uint8_t* stream, size_t bytes,
                         int with_snr) {
    char text[256];
    nbz_report report;
    check(nbz_measure(pcm, samples, stream, bytes, &report), "nbz_measure");
    level_line(text, sizeof text, report.level);
    if (with_snr)
        snprintf(text + strlen(text), sizeof text - strlen(text), "Signal-to-noise ratio: %.2f dB\n", report.snr_db);
    write_file(name, text, strlen(text));
}

static void store16(uint8_t* at, int16_t value) {
    at[0] = (uint8_t)((uint16_t)value & 0xFF);
    at[1] = (uint8_t)((uint16_t)value >> 8);
}

/* Four characters of a chunk's name. */
static void store_tag(uint8_t* at, const char* tag) {
    int i;
    for (i = 0; i < 4; ++i) at[i] = (uint8_t)tag[i];
}

static void store32(uint8_t* at, uint32_t value) {
    int i;
    for (i = 0; i < 4; ++i) at[i] = (uint8_t)(value >> (8 * i));
}

/* A saw, a square at full scale now and then (the exact encoder overflows
 * on it) and noise bursts, from a linear congruential generator. */
static int16_t make_sample(uint32_t* seed, size_t i, int voice) {
    int32_t noise;
    int32_t value;
    *seed = *seed * 1664525U + 1013904223U;
    noise = (int32_t)(*seed >> 20) - 2048;
    value = (int32_t)((i * (37 + 11 * (size_t)voice)) % 2000) * 12 - 12000;
    value += (i / 3000) % 2 == 1 ? noise * 6 : noise / 4;
    if ((i / 5000) % 4 == 3) value = (i / 40) % 2 == 1 ? 32767 : -32768;
    if (value > 32767) value = 32767;
    if (value < -32768) value = -32768;
    return (int16_t)value;
}

static void worked_example(void) {
    const int16_t samples[8] = {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000};
    const int32_t expected[8] = {0, 1792, 3360, 2940, 4897, 6609, 6984, 7390};
    nbz_state encoder;
    nbz_state decoder;
    int32_t out[8];
    uint32_t word;
    nbz_state_init(&encoder);
    word = nbz_encode_block(&encoder, samples);
    if (word != 0x21030010U) fail("the worked example's word", 1);
    nbz_state_init(&decoder);
    nbz_decode_block(&decoder, word, out);
    if (memcmp(out, expected, sizeof out) != 0 || decoder.peak != 7390 || encoder.peak != 7390)
        fail("the worked example's reconstruction", 1);
}

/* Searches `samples` samples in pieces of uneven sizes into `stream`
 * (nbz_stream_bytes(samples) bytes); returns the level. */
static uint32_t search_in_pieces(const int16_t* pcm, size_t samples, uint8_t* stream) {
    static const size_t pieces[] = {1, 7, 300, 3, 1000, 0, 513, 8, 2047};
    nbz_search* search = NULL;
    size_t at = 0;
    size_t done = 0;
    size_t written = 0;
    size_t k = 0;
    uint32_t level = 0;
    check(nbz_search_new(WIDTH, &search), "nbz_search_new");
    while (at < samples) {
        size_t n = pieces[k++ % (sizeof pieces / sizeof pieces[0])];
        if (n > samples - at) n = samples - at;
        check(nbz_search_put(search, pcm + at, n, stream + done, nbz_search_bound(n), &written), "nbz_search_put");
        at += n;
        done += written;
    }
    check(nbz_search_end(search, stream + done, nbz_search_bound(0), &written, &level), "nbz_search_end");
    done += written;
    if (done != nbz_stream_bytes(samples)) fail("the search's stream length", 1);
    nbz_search_free(search);
    return level;
}

/* nbzhq's steps for an audio file's samples: mixed to mono, resampled in
 * uneven pieces, converted to 16 bits with the gain. Returns the samples'
 * number; `*pcm` gets them (to be freed). */
static size_t prepare(const double* interleaved, size_t frames, int channels, uint32_t from_hz, uint32_t to_hz,
                      double decibels, int16_t** pcm) {
    double* mono = allocate(frames * sizeof *mono);
    double* resampled;
    nbz_resampler* resampler = NULL;
    size_t at = 0;
    size_t count = 0;
    size_t written = 0;
    size_t capacity = 0;
    size_t n = 1;
    check(nbz_mix_to_mono(interleaved, frames, channels, mono, frames), "nbz_mix_to_mono");
    check(nbz_resampler_new(from_hz, to_hz, &resampler), "nbz_resampler_new");
    capacity = nbz_resampler_bound(resampler, frames) + 1;
    resampled = allocate(capacity * sizeof *resampled);
    while (at < frames) {
        if (n > frames - at) n = frames - at;
        check(
            nbz_resampler_put(resampler, mono + at, n, resampled + count, nbz_resampler_bound(resampler, n), &written),
            "nbz_resampler_put");
        at += n;
        count += written;
        n = n * 3 + 1;
    }
    check(nbz_resampler_end(resampler, resampled + count, nbz_resampler_bound(resampler, 0), &written),
          "nbz_resampler_end");
    count += written;
    nbz_resampler_free(resampler);
    *pcm = allocate(count * sizeof **pcm);
    check(nbz_to_pcm16(resampled, count, nbz_gain_factor(decibels), *pcm, count), "nbz_to_pcm16");
    free(resampled);
    free(mono);
    return count;
}

int main(int argc, char** argv) {
    const size_t bytes = (size_t)nbz_stream_bytes(MONO_SAMPLES);
    const size_t wav_bytes = 44 + (size_t)4 * STEREO_FRAMES;
    int16_t* mono;
    int16_t* gained;
    int16_t* decoded;
    int16_t* prepared = NULL;
    uint8_t* stream;
    uint8_t* raw;
    uint8_t* wav;
    double* interleaved;
    uint32_t seed = 1;
    uint32_t level = 0;
    uint32_t decoded_level = 0;
    size_t i;
    size_t count;
    char text[64];

    if (argc != 2) {
        printf("Usage: c_client DIR\n");
        return 2;
    }
    dir = argv[1];
    mono = allocate(MONO_SAMPLES * sizeof *mono);
    gained = allocate(MONO_SAMPLES * sizeof *gained);
    decoded = allocate(2 * bytes * sizeof *decoded);
    stream = allocate(bytes);
    raw = allocate(4 * bytes);
    wav = allocate(wav_bytes);
    interleaved = allocate((size_t)2 * STEREO_FRAMES * sizeof *interleaved);
    worked_example();

    for (i = 0; i < MONO_SAMPLES; ++i) {
        mono[i] = make_sample(&seed, i, 0);
        store16(raw + 2 * i, mono[i]);
    }
    write_file("mono.raw", raw, (size_t)2 * MONO_SAMPLES);

    check(nbz_encode(mono, MONO_SAMPLES, stream, bytes, &level), "nbz_encode");
    write_file("exact.nbz", stream, bytes);
    write_report("exact.txt", mono, MONO_SAMPLES, stream, bytes, 0);
    check(nbz_decode(stream, bytes, decoded, 2 * bytes, &decoded_level), "nbz_decode");
    if (decoded_level != level) fail("the decoder's level", 1);
    for (i = 0; i < 2 * bytes; ++i) store16(raw + 2 * i, decoded[i]);
    write_file("decoded.raw", raw, 4 * bytes);
    level_line(text, sizeof text, decoded_level);
    write_file("decoded.txt", text, strlen(text));

    check(nbz_gain_truncating(mono, MONO_SAMPLES, nbz_gain_factor(-20), gained, MONO_SAMPLES), "nbz_gain_truncating");
    check(nbz_encode(gained, MONO_SAMPLES, stream, bytes, NULL), "nbz_encode");
    write_file("gain.nbz", stream, bytes);
    write_report("gain.txt", gained, MONO_SAMPLES, stream, bytes, 0);

    level = search_in_pieces(mono, MONO_SAMPLES, stream);
    write_file("search.nbz", stream, bytes);
    write_report("search.txt", mono, MONO_SAMPLES, stream, bytes, 1);
    check(nbz_level(stream, bytes, &decoded_level), "nbz_level");
    if (decoded_level != level) fail("the search's level", 1);

    /* A 16-bit stereo WAV, and its samples as libsndfile reads them. */
    store_tag(wav, "RIFF");
    store32(wav + 4, (uint32_t)wav_bytes - 8);
    store_tag(wav + 8, "WAVE");
    store_tag(wav + 12, "fmt ");
    store32(wav + 16, 16);
    store32(wav + 20, 1 | 2U << 16); /* PCM, two channels */
    store32(wav + 24, 44100);
    store32(wav + 28, 44100 * 4);
    store32(wav + 32, 4 | 16U << 16); /* 4 bytes a frame, 16 bits a sample */
    store_tag(wav + 36, "data");
    store32(wav + 40, (uint32_t)wav_bytes - 44);
    seed = 7;
    for (i = 0; i < (size_t)2 * STEREO_FRAMES; ++i) {
        const int16_t x = make_sample(&seed, i / 2, (int)(i % 2));
        store16(wav + 44 + 2 * i, x);
        interleaved[i] = x / 32768.0;
    }
    write_file("stereo.wav", wav, wav_bytes);
    count = prepare(interleaved, STEREO_FRAMES, 2, 44100, 22050, -3, &prepared);
    if (count != (STEREO_FRAMES + 1) / 2) fail("the resampler's output length", 1);
    search_in_pieces(prepared, count, stream);
    write_file("prepared.nbz", stream, (size_t)nbz_stream_bytes(count));
    write_report("prepared.txt", prepared, count, stream, (size_t)nbz_stream_bytes(count), 1);

    printf("c_client: nbz %s, search kernel %s, %d + %lu samples\n", nbz_version_text(), nbz_search_kernel_text(),
           MONO_SAMPLES, (unsigned long)count);
    free(prepared);
    free(interleaved);
    free(wav);
    free(raw);
    free(stream);
    free(decoded);
    free(gained);
    free(mono);
    return 0;
}
