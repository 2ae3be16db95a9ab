// The real file system, through POSIX descriptors: fstat tells regular files
// and file identities apart, and O_NONBLOCK keeps a FIFO from hanging an open.
//
// A regular output is written to a temporary file beside it and renamed over
// its name only once complete, so the name holds either the previous file or
// the whole new stream, never a part of one. Where the folder takes no new
// file, or no rename over this one (a sticky folder), the stream is staged
// elsewhere and copied over the output once complete. Devices and FIFOs are
// written as they go.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <utility>

#include "interrupts.h"
#include "nbz/cli/messages.h"
#include "nbz/platform/files.h"
#include "outputs.h"

namespace nbz::cli {
namespace {

// Marks a temporary output as an unfinished stream of these commands, should a
// crash leave it behind.
constexpr std::string_view unfinished_marker = ".nbz-unfinished-";

file_identity identity_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
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

// Whether a file named `name` fits in `folder` on its file system, checked
// before any work rather than found out at the final rename.
bool name_fits(const std::string& folder, const std::string& name) {
    if (name.empty() || folder.size() + name.size() >= PATH_MAX) return false;
    const long longest = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return name.size() <= static_cast<std::size_t>(longest > 0 ? longest : NAME_MAX);
}

// Whether `folder` lets this user put a new file over `existing`: a sticky
// folder (like /tmp) lets only the owner of the file or of the folder do it.
bool may_replace_in(const std::string& folder, const struct stat& existing) {
    struct stat st {};
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0) return false;
    if ((st.st_mode & S_ISVTX) == 0) return true;
    const uid_t user = ::geteuid();
    return user == 0 || user == existing.st_uid || user == st.st_uid;
}

// Starts a replacement of the regular file `folder` + `name`, described by
// `existing` when there is one. Nothing if no temporary file can be created
// beside it.
std::unique_ptr<output_file> start_replacement(const std::string& folder, const std::string& name,
                                               const struct stat* existing) {
    constexpr std::size_t longest_kept = 200;  // of the name, so the temporary one fits NAME_MAX
    std::string temporary = folder + "." + name.substr(0, longest_kept) + std::string{unfinished_marker} + "XXXXXX";
    const interruptions_held held;
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto output = replacing_output(fd, temporary, folder + name);
    // On failure the output's destructor removes the temporary file.
    if (existing != nullptr && ::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
        // Only root may give a file away: the new file is then the user's, as
        // any new file is, and keeps the group where the user may set it.
        static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), existing->st_gid));
    }
    // A new file gets the mode that an ordinary create would have given it.
    const mode_t mode = existing != nullptr ? existing->st_mode & 0777U : 0666U & ~current_umask();
    if (::fchmod(fd, mode) != 0) return nullptr;
    return output;
}

// An unnamed file to stage a stream in, under $TMPDIR or /tmp, or else in
// memory: nothing is left behind however the run ends. -1 if none can be
// made.
int open_staging_file() {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string folder = tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp";
#ifdef O_TMPFILE
    const int unnamed = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) return unnamed;
#endif
    std::string path = folder + "/.nbz-staging-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) {
        ::unlink(path.c_str());
        return fd;
    }
#ifdef MFD_CLOEXEC
    return ::memfd_create("nbz-staging", MFD_CLOEXEC);
#else
    return -1;
#endif
}

// Opens the regular file at `path`, which cannot be replaced whole, to be
// written only once the stream is complete.
std::unique_ptr<output_file> start_staging(const std::string& path, const input_file& input) {
    const interruptions_held held;
    // Neither created nor truncated: the file keeps its contents until the
    // copy, and a sticky folder's rules for creating are not in the way.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw io_failure{messages::open_output_failed};
    struct stat st {};
    const int staging = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? open_staging_file() : -1;
    if (staging < 0) {
        ::close(fd);
        throw io_failure{messages::open_output_failed};
    }
    auto output = staged_output(fd, staging);
    refuse_reserved(st, input);
    return output;
}

// Opens a device or FIFO, written as it goes.
std::unique_ptr<output_file> open_directly(const std::string& path, const input_file& input) {
    // O_NONBLOCK makes a FIFO without a reader fail at once instead of
    // waiting for one.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw io_failure{messages::open_output_failed};
    auto output = direct_output(fd);
    struct stat st {};
    // A regular file that took the name meanwhile is not written in place.
    if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode)) throw io_failure{messages::open_output_failed};
    refuse_reserved(st, input);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) throw io_failure{messages::open_output_failed};
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
        if (exists && !S_ISREG(st.st_mode)) return open_directly(path, input);
        const std::optional<std::string> target = follow_links(path);
        if (!target) throw io_failure{messages::open_output_failed};
        const std::size_t slash = target->find_last_of('/') + 1;  // 0 when there is none
        const std::string folder = target->substr(0, slash);
        const std::string name = target->substr(slash);
        if (!name_fits(folder, name)) throw io_failure{messages::open_output_failed};
        if (!exists) {
            if (auto output = start_replacement(folder, name, nullptr)) return output;
            throw io_failure{messages::open_output_failed};
        }
        // A file that the user may not write is not replaced behind its back.
        if (::access(path.c_str(), W_OK) != 0) throw io_failure{messages::open_output_failed};
        // The name must lead to the file that was found, as it does unless the
        // link is one of /proc's to a file that has no name any more.
        struct stat found {};
        const bool same = ::stat(target->c_str(), &found) == 0 && identity_of(found) == identity_of(st);
        if (same && may_replace_in(folder, st)) {
            if (auto output = start_replacement(folder, name, &st)) return output;
        }
        return start_staging(path, input);
    }
};

}  // namespace

file_system& system_files() {
    static system_file_system files;
    return files;
}

}  // namespace nbz::cli
