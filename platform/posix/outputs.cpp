#include "outputs.h"

#include <sys/file.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "interrupts.h"
#include "nbz/cli/failure.h"

namespace nbz::cli {
namespace {

void write_all(int fd, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw failure{failure_code::write_failed};
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

// For a container writer that goes back to finish its header; a pipe cannot.
void seek_output(int fd, std::uint64_t position) {
    if (::lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0)
        throw failure{errno == ESPIPE ? failure_code::output_not_seekable : failure_code::write_failed};
}

class replacing final : public output_file {
public:
    replacing(int fd, std::string temporary, std::string target)
        : fd_(fd), temporary_(std::move(temporary)), target_(std::move(target)) {
        arm_interrupt_cleanup(temporary_.c_str());
    }
    ~replacing() override { discard(); }
    replacing(const replacing&) = delete;
    replacing& operator=(const replacing&) = delete;

    void write(std::span<const std::byte> bytes) override { write_all(fd_, bytes); }
    void seek(std::uint64_t position) override { seek_output(fd_, position); }

    void close() override {
        // The data reaches the disk before the name does, so that not even a
        // power loss leaves the name on a partial stream. Until the rename
        // has succeeded the output stays pending, for discard() to remove.
        if (::fsync(fd_) != 0) throw failure{failure_code::write_failed};
        if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) throw failure{failure_code::write_failed};
        // The name and the run's end tell the same: once renamed, the run
        // goes on to report and succeed.
        const interruptions_held held;
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) throw failure{failure_code::write_failed};
        complete_ = true;
        disarm_interrupt_cleanup();
        commit_output();
    }

    void discard() noexcept override {
        if (complete_) return;
        complete_ = true;
        remove_partial_output(temporary_.c_str());
        disarm_interrupt_cleanup();
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_;
    std::string temporary_;
    std::string target_;
    bool complete_ = false;
};

class direct final : public output_file {
public:
    explicit direct(int fd) : fd_(fd) {}
    ~direct() override { discard(); }
    direct(const direct&) = delete;
    direct& operator=(const direct&) = delete;

    void write(std::span<const std::byte> bytes) override { write_all(fd_, bytes); }
    void seek(std::uint64_t position) override { seek_output(fd_, position); }

    void close() override {
        if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) throw failure{failure_code::write_failed};
    }

    void discard() noexcept override {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_;
};

// Copies all of `from` into `to`, both from their starts. False on any
// failure.
bool copy_whole(int from, int to) noexcept {
    if (::lseek(from, 0, SEEK_SET) != 0 || ::lseek(to, 0, SEEK_SET) != 0) return false;
    std::array<std::byte, std::size_t{1} << 16> buffer{};
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        try {
            write_all(to, std::span{buffer}.first(static_cast<std::size_t>(n)));
        } catch (const failure&) {
            return false;
        }
    }
}

// Copies the whole stream staged in `staging` over the output `fd`, cuts the
// output to its length and syncs it. False on any failure.
bool copy_into_place(int staging, int fd) noexcept {
    const off_t length = ::lseek(staging, 0, SEEK_END);
    return length >= 0 && copy_whole(staging, fd) && ::ftruncate(fd, length) == 0 && ::fsync(fd) == 0;
}

// Waits while another run copies a stream into the same file, so that the
// copies take turns: each leaves a whole stream, and the last one wins, as
// with a rename. The lock goes with the descriptor, however the other run
// ends. Where the file system has no such locks, nothing is waited for.
void wait_for_other_copies(int fd) noexcept {
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

class staged final : public output_file {
public:
    staged(int fd, int staging) : fd_(fd), staging_(staging) { arm_interrupt_cleanup(nullptr); }
    ~staged() override { discard(); }
    staged(const staged&) = delete;
    staged& operator=(const staged&) = delete;

    void write(std::span<const std::byte> bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = ::write(staging_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == ENOSPC || errno == EFBIG || errno == EDQUOT) && move_to_memory()) continue;
            if (n <= 0) throw failure{failure_code::write_failed};
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
    }
    void seek(std::uint64_t position) override { seek_output(staging_, position); }

    void close() override {
        // Until here the output was not touched, so the wait may be
        // interrupted. The copy may not: the signals wait until it is done,
        // and then no longer end the run, which reports how the copy went.
        wait_for_other_copies(fd_);
        const interruptions_held held;
        const bool copied = copy_into_place(staging_, fd_);
        if (!copied) static_cast<void>(::ftruncate(fd_, 0));
        commit_output();
        const bool closed = ::close(std::exchange(fd_, -1)) == 0 || errno == EINTR;
        ::close(std::exchange(staging_, -1));
        if (!copied) throw failure{failure_code::final_copy_failed};
        if (!closed) throw failure{failure_code::write_failed};
    }

    void discard() noexcept override {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
        if (staging_ >= 0) ::close(std::exchange(staging_, -1));
    }

private:
    // A staging file whose file system has no room for the stream gives way
    // to one in memory, with what it held and its position. False if there
    // is none, or the stream is in memory already.
    bool move_to_memory() noexcept {
#ifdef MFD_CLOEXEC
        if (in_memory_) return false;
        in_memory_ = true;
        const off_t position = ::lseek(staging_, 0, SEEK_CUR);
        const int memory = ::memfd_create("nbz-staging", MFD_CLOEXEC);
        if (memory < 0) return false;
        if (position < 0 || !copy_whole(staging_, memory) || ::lseek(memory, position, SEEK_SET) != position) {
            ::close(memory);
            return false;
        }
        ::close(std::exchange(staging_, memory));
        return true;
#else
        return false;
#endif
    }

    int fd_;
    int staging_;
    bool in_memory_ = false;
};

}  // namespace

std::unique_ptr<output_file> replacing_output(int fd, std::string temporary, std::string target) {
    return std::make_unique<replacing>(fd, std::move(temporary), std::move(target));
}

std::unique_ptr<output_file> direct_output(int fd) { return std::make_unique<direct>(fd); }

std::unique_ptr<output_file> staged_output(int fd, int staging) { return std::make_unique<staged>(fd, staging); }

}  // namespace nbz::cli
