#include "nbz/cli/progress.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "nbz/platform/process.h"

namespace nbz::cli {
namespace {

constexpr auto redraw_interval = std::chrono::milliseconds{250};
constexpr auto first_estimate_after = std::chrono::seconds{1};  // earlier ones jump about
constexpr int line_width = 40;

}  // namespace

progress_meter::progress_meter(std::ostream* terminal)
    : terminal_(terminal), start_(std::chrono::steady_clock::now()), last_drawn_(start_) {}

progress_meter::~progress_meter() {
    if (terminal_ == nullptr || !drawn_) return;
    *terminal_ << '\r' << std::string(line_width, ' ') << '\r' << std::flush;
}

void progress_meter::update(std::uint64_t done, std::uint64_t total) {
    if (terminal_ == nullptr || total == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_drawn_ < redraw_interval) return;
    last_drawn_ = now;
    const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const auto elapsed = std::chrono::duration<double>(now - start_);
    std::array<char, line_width + 1> line{};
    if (elapsed < first_estimate_after || fraction <= 0) {
        std::snprintf(line.data(), line.size(), "%3d%%", static_cast<int>(fraction * 100));
    } else {
        const long left = std::lround(elapsed.count() * (1 - fraction) / fraction);
        std::snprintf(line.data(), line.size(), "%3d%%, %ld:%02ld left", static_cast<int>(fraction * 100), left / 60,
                      left % 60);
    }
    *terminal_ << '\r' << std::string(line.data()) << std::string(8, ' ') << '\r' << std::string(line.data())
               << std::flush;
    drawn_ = true;
}

std::ostream* progress_terminal() { return standard_error_is_terminal() ? &std::cerr : nullptr; }

}  // namespace nbz::cli
