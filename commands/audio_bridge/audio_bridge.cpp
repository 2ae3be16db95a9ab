#include "audio_bridge.h"

#include <exception>

#include "nbz/cli/messages.h"
#include "nbz/prepare/resampler.h"

namespace nbz::cli {

void rethrow_as_command_failure() {
    try {
        throw;
    } catch (const audio::audio_error& error) {
        switch (error.code) {
            case audio::audio_errc::undecodable:
                throw io_failure{messages::decode_failed};
            case audio::audio_errc::source_short:
                throw io_failure{messages::read_failed};
            case audio::audio_errc::unwritable:
                break;
        }
        throw io_failure{messages::write_failed};
    } catch (const resampler_error&) {
        throw io_failure{messages::resample_failed};
    }
}

}  // namespace nbz::cli
