// The real file system, through POSIX descriptors: fstat tells regular files
// and file identities apart, O_NONBLOCK keeps a FIFO from hanging the open,
// and the output is truncated only after it is known not to be the input.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "file_io.h"
#include "interrupt_cleanup.h"
#include "messages.h"

namespace nbz::cli {
namespace {

file_identity identity_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

class system_input final : public input_file {
public:
    system_input(int fd, const struct stat& st)
        : fd_(fd), size_(static_cast<std::uint64_t>(st.st_size)), identity_(identity_of(st)) {}
    ~system_input() override { ::close(fd_); }
    system_input(const system_input&) = delete;
    system_input& operator=(const system_input&) = delete;

    std::uint64_t size() const override { return size_; }
    file_identity identity() const override { return identity_; }

    std::size_t read(std::span<std::byte> buffer) override {
        for (;;) {
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) throw io_failure{messages::read_failed};
        }
    }

    void seek(std::uint64_t position) override {
        if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) throw io_failure{messages::read_failed};
    }

private:
    int fd_;
    std::uint64_t size_;
    file_identity identity_;
};

class system_output final : public output_file {
public:
    // `st` describes the open file; a regular one is armed for removal on
    // interruption until it is closed or discarded.
    system_output(int fd, std::string path, const struct stat& st)
        : fd_(fd), path_(std::move(path)), regular_(S_ISREG(st.st_mode)) {
        if (regular_) {
            struct stat link {};
            own_name_ = ::lstat(path_.c_str(), &link) == 0 && identity_of(link) == identity_of(st);
            arm_interrupt_cleanup(fd_, path_.c_str(), own_name_);
        }
    }
    ~system_output() override { discard(); }
    system_output(const system_output&) = delete;
    system_output& operator=(const system_output&) = delete;

    void write(std::span<const std::byte> bytes) override {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw io_failure{messages::write_failed};
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
    }

    void seek(std::uint64_t position) override {
        if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0)
            throw io_failure{errno == ESPIPE ? messages::output_not_seekable : messages::write_failed};
    }

    void close() override {
        // Every byte is written by now, so an interruption no longer leaves
        // a partial file. A failed close may have lost data: the output then
        // stays pending, so that discard() removes it.
        if (regular_) disarm_interrupt_cleanup();
        if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) throw io_failure{messages::write_failed};
        complete_ = true;
    }

    void discard() noexcept override {
        if (complete_) return;
        complete_ = true;
        if (regular_) {
            disarm_interrupt_cleanup();
            remove_partial_output(fd_, path_.c_str(), own_name_);
        }
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_;
    std::string path_;
    bool regular_;
    bool own_name_ = false;  // the path names the file itself, not a link to it
    bool complete_ = false;
};

class system_file_system final : public file_system {
public:
    std::unique_ptr<input_file> open_input(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) throw io_failure{messages::open_input_failed};
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            throw io_failure{messages::open_input_failed};
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            throw io_failure{messages::input_not_regular};
        }
        return std::make_unique<system_input>(fd, st);
    }

    std::unique_ptr<output_file> open_output(const std::string& path, const input_file& input) override {
        // Opened without O_TRUNC: if this is the input under another name,
        // closing it again leaves the input untouched.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) throw io_failure{messages::open_output_failed};
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            throw io_failure{messages::open_output_failed};
        }
        if (identity_of(st) == input.identity()) {
            ::close(fd);
            throw io_failure{messages::same_file};
        }
        auto output = std::make_unique<system_output>(fd, path, st);
        if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) throw io_failure{messages::open_output_failed};
        return output;
    }
};

}  // namespace

file_system& system_files() {
    static system_file_system files;
    return files;
}

std::size_t read_fully(input_file& input, std::span<std::byte> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t n = input.read(buffer.subspan(done));
        if (n == 0) break;
        done += n;
    }
    return done;
}

}  // namespace nbz::cli
