// The progress that nbzhq and nbzdec show on a terminal.

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "nbz/cli/progress.h"

namespace nbz::testing {
namespace {

TEST(Progress, IsRedrawnInPlaceAtMostFourTimesASecondAndClearedAtTheEnd) {
    std::ostringstream terminal;
    {
        cli::progress_meter meter{&terminal};
        meter.update(10, 100);  // too soon after the start
        EXPECT_EQ(terminal.str(), "");
        std::this_thread::sleep_for(std::chrono::milliseconds{300});
        meter.update(50, 100);
        meter.update(60, 100);  // too soon after the last
        EXPECT_EQ(terminal.str().rfind(" 50%"), terminal.str().size() - 4) << terminal.str();
    }
    const std::string shown = terminal.str();
    EXPECT_EQ(shown.front(), '\r');
    EXPECT_EQ(shown.substr(shown.rfind(" 50%") + 4), "\r" + std::string(40, ' ') + "\r");
    std::ostringstream unused;
    { cli::progress_meter idle{&unused}; }
    EXPECT_EQ(unused.str(), "");  // nothing drawn, nothing to clear
}

}  // namespace
}  // namespace nbz::testing
