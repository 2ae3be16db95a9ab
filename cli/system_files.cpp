// The real file system, through POSIX descriptors: fstat tells regular files
// and file identities apart, and O_NONBLOCK keeps a FIFO from hanging an open.
//
// A regular output is written to a temporary file beside it and renamed over
// its name only once complete, so the name holds either the previous file or
// the whole new stream, never a part of one. Devices and FIFOs, and a file in
// a directory that takes no new file, are written in place.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <utility>

#include "file_io.h"
#include "interrupt_cleanup.h"
#include "messages.h"

namespace nbz::cli {
namespace {

// Marks a temporary output as an unfinished stream of these commands, should a
// crash leave it behind.
constexpr std::string_view unfinished_marker = ".nbz-unfinished-";

file_identity identity_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

void write_all(int fd, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw io_failure{messages::write_failed};
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

// For a container writer that goes back to finish its header; a pipe cannot.
void seek_output(int fd, std::uint64_t position) {
    if (::lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0)
        throw io_failure{errno == ESPIPE ? messages::output_not_seekable : messages::write_failed};
}

// Whether `st` is the file that standard output goes to, such that writing it
// would mix the stream with the report. A device like /dev/null is shared
// harmlessly, a terminal is not.
bool is_standard_output(const struct stat& st) {
    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) != 0 || !(identity_of(out) == identity_of(st))) return false;
    return S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || (S_ISCHR(st.st_mode) && ::isatty(STDOUT_FILENO) == 1);
}

// Throws if the output `st` may not be written at all.
void refuse_reserved(const struct stat& st, const input_file& input) {
    if (identity_of(st) == input.identity()) throw io_failure{messages::same_file};
    if (is_standard_output(st)) throw io_failure{messages::same_as_standard_output};
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

// A new file under a temporary name that becomes the output's on close().
class replacing_output final : public output_file {
public:
    replacing_output(int fd, std::string temporary, std::string target)
        : fd_(fd), temporary_(std::move(temporary)), target_(std::move(target)) {
        // By name only: the descriptor is closed before the rename.
        arm_interrupt_cleanup(-1, temporary_.c_str(), true);
    }
    ~replacing_output() override { discard(); }
    replacing_output(const replacing_output&) = delete;
    replacing_output& operator=(const replacing_output&) = delete;

    void write(std::span<const std::byte> bytes) override { write_all(fd_, bytes); }
    void seek(std::uint64_t position) override { seek_output(fd_, position); }

    void close() override {
        // The data reaches the disk before the name does, so that not even a
        // power loss leaves the name on a partial stream. Until the rename
        // has succeeded the output stays pending, for discard() to remove.
        if (::fsync(fd_) != 0) throw io_failure{messages::write_failed};
        if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) throw io_failure{messages::write_failed};
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) throw io_failure{messages::write_failed};
        complete_ = true;
        disarm_interrupt_cleanup();
    }

    void discard() noexcept override {
        if (complete_) return;
        complete_ = true;
        remove_partial_output(-1, temporary_.c_str(), true);
        disarm_interrupt_cleanup();
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_;
    std::string temporary_;
    std::string target_;
    bool complete_ = false;
};

// A device, a FIFO, or a regular file written under its own name.
class in_place_output final : public output_file {
public:
    // `st` describes the open file; a regular one is armed for removal on
    // interruption until it is closed or discarded.
    in_place_output(int fd, std::string path, const struct stat& st)
        : fd_(fd), path_(std::move(path)), regular_(S_ISREG(st.st_mode)) {
        if (regular_) {
            struct stat link {};
            own_name_ = ::lstat(path_.c_str(), &link) == 0 && identity_of(link) == identity_of(st);
            arm_interrupt_cleanup(fd_, path_.c_str(), own_name_);
        }
    }
    ~in_place_output() override { discard(); }
    in_place_output(const in_place_output&) = delete;
    in_place_output& operator=(const in_place_output&) = delete;

    void write(std::span<const std::byte> bytes) override { write_all(fd_, bytes); }

    void seek(std::uint64_t position) override { seek_output(fd_, position); }

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

// The path of the file that `path` names once symbolic links are followed;
// the file need not exist. Nothing if the links cannot be followed.
std::optional<std::string> follow_links(std::string path) {
    constexpr int max_links = 40;  // as the kernel allows
    for (int links = 0; links <= max_links; ++links) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
        target.resize(static_cast<std::size_t>(n));
        if (target.front() != '/') target.insert(0, path, 0, path.find_last_of('/') + 1);
        path = std::move(target);
    }
    return std::nullopt;
}

// The umask, which can only be read by setting it.
mode_t current_umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Starts a replacement of the regular file at `path` (or a new file there),
// described by `existing` when there is one. Nothing if no temporary file can
// be created beside it, or if it could not be given the replaced file's owners:
// such a file is written in place, as it keeps them.
std::unique_ptr<output_file> start_replacement(const std::string& path, const struct stat* existing) {
    const std::optional<std::string> target = follow_links(path);
    if (!target) return nullptr;
    // The name must lead to the file that was found, as it does unless the
    // link is one of /proc's to a file that has no name any more.
    struct stat found {};
    if (existing != nullptr &&
        (::stat(target->c_str(), &found) != 0 || !(identity_of(found) == identity_of(*existing))))
        return nullptr;
    const std::size_t slash = target->find_last_of('/') + 1;  // 0 when there is none
    std::string name = target->substr(slash);
    if (name.empty()) return nullptr;
    constexpr std::size_t longest_kept = 200;  // of the name, so the temporary one fits NAME_MAX
    name.resize(std::min(name.size(), longest_kept));
    std::string temporary = target->substr(0, slash) + "." + name + std::string{unfinished_marker} + "XXXXXX";
    const interruptions_held held;
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto output = std::make_unique<replacing_output>(fd, temporary, *target);
    // On failure the output's destructor removes the temporary file.
    if (existing != nullptr && ::fchown(fd, existing->st_uid, existing->st_gid) != 0) return nullptr;
    // A new file gets the mode that an ordinary create would have given it.
    const mode_t mode = existing != nullptr ? existing->st_mode & 0777U : 0666U & ~current_umask();
    if (::fchmod(fd, mode) != 0) return nullptr;
    return output;
}

// Opens `path` itself, for an output that is not replaced.
std::unique_ptr<output_file> open_in_place(const std::string& path, const input_file& input) {
    // Opened without O_TRUNC: if this is the input under another name,
    // closing it again leaves the input untouched. O_NONBLOCK makes a FIFO
    // without a reader fail at once instead of waiting for one.
    const interruptions_held held;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) throw io_failure{messages::open_output_failed};
    struct stat st {};
    try {
        if (::fstat(fd, &st) != 0) throw io_failure{messages::open_output_failed};
        refuse_reserved(st, input);
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) throw io_failure{messages::open_output_failed};
    } catch (const io_failure&) {
        ::close(fd);
        throw;
    }
    auto output = std::make_unique<in_place_output>(fd, path, st);
    if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) throw io_failure{messages::open_output_failed};
    return output;
}

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
        struct stat st {};
        const bool exists = ::stat(path.c_str(), &st) == 0;
        if (exists) refuse_reserved(st, input);
        // A file that the user may not write is not replaced behind its back
        // by a rename: opening it in place then fails as it always did.
        const bool writable = !exists || ::access(path.c_str(), W_OK) == 0;
        if (writable && (!exists || S_ISREG(st.st_mode))) {
            if (auto output = start_replacement(path, exists ? &st : nullptr)) return output;
        }
        return open_in_place(path, input);
    }
};

}  // namespace

file_system& system_files() {
    static system_file_system files;
    return files;
}

}  // namespace nbz::cli
