// The options of nbzhq and nbzdec: read before the positional arguments
// only, each refused with its message.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nbz/cli/failure.h"
#include "nbz/cli/messages.h"
#include "nbz/cli/options.h"

namespace nbz::testing {
namespace {

TEST(Options, AreReadBeforeThePositionalArgumentsOnly) {
    const struct {
        std::vector<std::string> args;
        bool width_allowed;
        std::vector<std::string> positionals;
        long rate;  // 0: none
        int width;  // 0: none
        std::string error;
    } cases[] = {
        {{"-r", "22050", "-w", "3", "a", "b"}, true, {"a", "b"}, 22050, 3, ""},
        {{"--rate=8000", "--width", "64", "a", "b", "-6"}, true, {"a", "b", "-6"}, 8000, 64, ""},
        {{"a", "-r", "8000", "b"}, true, {"a", "-r", "8000", "b"}, 0, 0, ""},
        {{"--", "-r", "b"}, true, {"-r", "b"}, 0, 0, ""},
        {{"-", "b", "-6"}, true, {"-", "b", "-6"}, 0, 0, ""},
        {{"-x", "a", "b"}, true, {}, 0, 0, "Unknown option: -x (see --help)."},
        {{"-w", "2", "a", "b"}, false, {}, 0, 0, "Unknown option: -w (see --help)."},
        {{"-w", "65", "a", "b"}, true, {}, 0, 0, "Option -w needs a search width from 1 to 64."},
        {{"--rate=12k", "a", "b"}, true, {}, 0, 0, "Option --rate needs a sample rate from 1000 to 768000 Hz."},
        {{"-r"}, true, {}, 0, 0, "Option -r needs a sample rate from 1000 to 768000 Hz."},
        {{"-r22050", "-w32", "a", "b"}, true, {"a", "b"}, 22050, 32, ""},
        {{"-r1000", "-w", "1", "a"}, true, {"a"}, 1000, 1, ""},
        {{"-r", "768000", "a"}, true, {"a"}, 768000, 0, ""},
        {{"-r999", "a"}, true, {}, 0, 0, "Option -r needs a sample rate from 1000 to 768000 Hz."},
        {{"-r", "768001", "a"}, true, {}, 0, 0, "Option -r needs a sample rate from 1000 to 768000 Hz."},
        {{"-w0", "a"}, true, {}, 0, 0, "Option -w needs a search width from 1 to 64."},
        {{"-w3", "a"}, false, {}, 0, 0, "Unknown option: -w3 (see --help)."},
        {{"-hr", "a"}, true, {}, 0, 0, "Unknown option: -hr (see --help)."},
        {{"--help=1", "a", "b"}, true, {}, 0, 0, "Unknown option: --help=1 (see --help)."},
        {{"--version=1", "a", "b"}, false, {}, 0, 0, "Unknown option: --version=1 (see --help)."},
    };
    for (const auto& c : cases) {
        const std::string where = ::testing::PrintToString(c.args);
        cli::command_options o;
        try {
            o = cli::parse_options(c.args, {.width = c.width_allowed});
        } catch (const cli::failure& f) {
            EXPECT_EQ(cli::messages::failure_text(f), c.error) << where;
            continue;
        }
        EXPECT_EQ(c.error, "") << where;
        EXPECT_EQ(o.positionals, c.positionals) << where;
        EXPECT_EQ(o.rate_hz.value_or(0), c.rate) << where;
        EXPECT_EQ(o.width.value_or(0), c.width) << where;
    }
}

}  // namespace
}  // namespace nbz::testing
