#include "nbz/cli/progress.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <iterator>
#include <optional>

#include "nbz/cli/messages.h"
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
    // Nothing allocated: the run may be ending for want of memory.
    *terminal_ << '\r';
    std::fill_n(std::ostreambuf_iterator<char>{*terminal_}, line_width, ' ');
    *terminal_ << '\r' << std::flush;
}

void progress_meter::update(std::uint64_t done, std::uint64_t total) {
    if (terminal_ == nullptr || total == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_drawn_ < redraw_interval) return;
    last_drawn_ = now;
    const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const auto elapsed = std::chrono::duration<double>(now - start_);
    std::optional<long> left;
    if (elapsed >= first_estimate_after && fraction > 0)
        left = std::lround(elapsed.count() * (1 - fraction) / fraction);
    const std::string line = messages::progress_text(static_cast<int>(fraction * 100), left);
    *terminal_ << '\r' << line << "        " << '\r' << line << std::flush;
    drawn_ = true;
}

std::ostream* progress_terminal() { return standard_error_is_terminal() ? &std::cerr : nullptr; }

}  // namespace nbz::cli
