#pragma once
// The progress of a long run, shown on a terminal: the percentage done and
// the time left, rewritten in place a few times a second.

#include <chrono>
#include <cstdint>
#include <iosfwd>

namespace nbz::cli {

class progress_meter {
public:
    // Shows progress on `terminal`; null shows nothing (not a terminal).
    explicit progress_meter(std::ostream* terminal);
    // Clears the line, whether the run completed or failed.
    ~progress_meter();
    progress_meter(const progress_meter&) = delete;
    progress_meter& operator=(const progress_meter&) = delete;

    // `done` of `total` units are finished; redraws at most every quarter
    // second.
    void update(std::uint64_t done, std::uint64_t total);

private:
    std::ostream* terminal_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_drawn_;
    bool drawn_ = false;
};

// The standard error stream if it is a terminal, else null.
std::ostream* progress_terminal();

}  // namespace nbz::cli
