#include "audio_bridge.h"

#include <exception>

#include "nbz/cli/failure.h"
#include "nbz/prepare/resampler.h"

namespace nbz::cli {

void rethrow_as_command_failure() {
    try {
        throw;
    } catch (const audio::audio_error& error) {
        switch (error.code) {
            case audio::audio_errc::undecodable:
                throw failure{failure_code::decode_failed};
            case audio::audio_errc::source_short:
                throw failure{failure_code::read_failed};
            case audio::audio_errc::unwritable:
                break;
        }
        throw failure{failure_code::write_failed};
    } catch (const resampler_error&) {
        throw failure{failure_code::resample_failed};
    }
}

}  // namespace nbz::cli
