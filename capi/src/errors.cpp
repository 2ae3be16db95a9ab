// The interface's texts: its error codes, its version and the search kernel.

#include "nbz/nbz_c.h"
#include "nbz/prepare/resampler.h"
#include "nbz/search_encoder.h"

static_assert(NBZ_SEARCH_WIDTH_MAX == nbz::search_width_max);
static_assert(NBZ_SEARCH_WIDTH_DEFAULT == nbz::search_default_width);
static_assert(NBZ_RESAMPLE_MAX_RATIO == nbz::resample_max_ratio);

const char* nbz_error_text(int code) {
    switch (code) {
        case NBZ_OK:
            return "success";
        case NBZ_ERROR_NULL_POINTER:
            return "a required pointer is null";
        case NBZ_ERROR_CAPACITY:
            return "the output buffer is too small";
        case NBZ_ERROR_LENGTH:
            return "the stream is not of whole 4-byte words, or not of the samples given";
        case NBZ_ERROR_WIDTH:
            return "the search width is outside 1..64";
        case NBZ_ERROR_RATE:
            return "the resampler does not take these sample rates";
        case NBZ_ERROR_CHANNELS:
            return "the channel count is below 1";
        case NBZ_ERROR_ENDED:
            return "the handle has ended: only its _free is allowed";
        case NBZ_ERROR_MEMORY:
            return "out of memory";
        case NBZ_ERROR_TOO_LONG:
            return "a count is too large for this machine";
        case NBZ_ERROR_INTERNAL:
            return "an internal failure of the library";
        default:
            return "unknown error code";
    }
}

const char* nbz_version_text(void) { return NBZ_VERSION; }

const char* nbz_search_kernel_text(void) { return nbz::search_kernel_name(nbz::search_widest_kernel()); }
