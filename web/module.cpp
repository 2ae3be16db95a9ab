// The WebAssembly module is the C interface itself (web/CMakeLists.txt lists
// what it exports). Here: the layout that the JavaScript interface
// (nbz_api.js) reads and writes in the module's memory.

#include <cstddef>
#include <cstdint>

#include "nbz/nbz_c.h"

static_assert(sizeof(void*) == 4 && sizeof(std::size_t) == 4, "handles and counts are read as 32-bit values");
static_assert(sizeof(nbz_state) == 24, "a state takes 24 bytes");
static_assert(offsetof(nbz_report, level) == 0 && offsetof(nbz_report, overflow) == 4 &&
                  offsetof(nbz_report, signal_energy) == 8 && offsetof(nbz_report, noise_energy) == 16 &&
                  offsetof(nbz_report, snr_db) == 24 && sizeof(nbz_report) == 32,
              "measure() reads the report at these offsets");
