// The real file system, through POSIX descriptors: fstat tells regular files
// and file identities apart, and O_NONBLOCK keeps a FIFO from hanging an open.
//
// A regular output is written to a temporary file beside it and renamed over
// its name only once complete, so the name holds either the previous file or
// the whole new stream, never a part of one. Where the folder takes no new
// file, or no rename over this one (a sticky folder), the stream is staged
// elsewhere and copied over the output once complete. Devices and FIFOs are
// written as they go. The output's symbolic links are followed here, by the
// kernel's rule for links in sticky folders, and the file they lead to is
// opened without following another.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "interrupts.h"
#include "nbz/cli/failure.h"
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
    if (identity_of(st) == input.identity()) throw failure{failure_code::same_file};
    if (is_standard_output(st)) throw failure{failure_code::same_as_standard_output};
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
            if (errno != EINTR) throw failure{failure_code::read_failed};
        }
    }

    void seek(std::uint64_t position) override {
        if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) throw failure{failure_code::read_failed};
    }

private:
    int fd_;
    std::uint64_t size_;
    file_identity identity_;
};

// The folder part of `path`, ending in '/', or "." for none.
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// Whether this user may follow the symbolic link at `link`, described by
// `st`, by the rule that the kernel keeps when fs.protected_symlinks is set,
// kept here whatever the setting: a link in a sticky, world-writable folder
// (like /tmp) is followed only by its owner, or if it belongs to the
// folder's owner, so that another user's link there cannot turn a write
// against a file of this user's.
bool may_follow(const std::string& link, const struct stat& st) {
    struct stat folder {};
    if (::stat(folder_of(link).c_str(), &folder) != 0) return false;
    constexpr mode_t shared = S_ISVTX | S_IWOTH;
    if ((folder.st_mode & shared) != shared) return true;
    return st.st_uid == ::geteuid() || st.st_uid == folder.st_uid;
}

// Where the symbolic links of the output's name lead.
struct link_chain {
    std::string target;     // the path the links lead to; the file need not exist
    std::string last_link;  // the last link followed; empty if the name is not a link
};

// Follows the links of `path`, each relative one from its own folder. Throws
// open_output_failed if they cannot be followed (a loop, an unreadable
// link) or one of them may not be.
link_chain follow_links(const std::string& path) {
    constexpr int max_links = 40;  // as the kernel allows
    link_chain chain{path, {}};
    for (int links = 0; links <= max_links; ++links) {
        struct stat st {};
        if (::lstat(chain.target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return chain;
        if (!may_follow(chain.target, st)) break;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(chain.target.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) break;
        target.resize(static_cast<std::size_t>(n));
        if (target.front() != '/') target.insert(0, chain.target, 0, chain.target.find_last_of('/') + 1);
        chain.last_link = std::exchange(chain.target, std::move(target));
    }
    throw failure{failure_code::open_output_failed};
}

// Whether `link` is one of /proc's links to an open file (/proc/self/fd/N,
// which /dev/stdout and /dev/fd/N lead to), which the kernel follows to the
// file itself rather than to the name it shows.
bool lies_in_proc(const std::string& link) {
#ifdef __linux__
    struct statfs fs {};
    return ::statfs(folder_of(link).c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
#else
    static_cast<void>(link);
    return false;
#endif
}

// The output's file as found before any work: what the links lead to, and
// the name it is opened by.
struct found_output {
    link_chain chain;
    struct stat st {};
    bool exists = false;
    // Whether the links end in one of /proc's: it is opened, and the kernel
    // follows it; else the target is opened without following a link.
    bool through_proc = false;

    const std::string& name_to_open() const { return through_proc ? chain.last_link : chain.target; }
};

found_output find_output(const std::string& path) {
    found_output found{follow_links(path)};
    if (::lstat(found.chain.target.c_str(), &found.st) == 0) {
        // A link that took the target's place since is not followed.
        if (S_ISLNK(found.st.st_mode)) throw failure{failure_code::open_output_failed};
        found.exists = true;
    } else if (errno == ENOENT && !found.chain.last_link.empty() && lies_in_proc(found.chain.last_link)) {
        found.exists = found.through_proc = ::stat(found.chain.last_link.c_str(), &found.st) == 0;
    }
    return found;
}

// Opens the existing output `found` for writing, neither created nor
// truncated, as `flags` add. Throws open_output_failed if it is not the file
// that was found.
int open_found(const found_output& found, int flags) {
    const int fd = ::open(found.name_to_open().c_str(),
                          O_WRONLY | O_CLOEXEC | O_NOCTTY | (found.through_proc ? 0 : O_NOFOLLOW) | flags);
    if (fd < 0) throw failure{failure_code::open_output_failed};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(identity_of(st) == identity_of(found.st))) {
        ::close(fd);
        throw failure{failure_code::open_output_failed};
    }
    return fd;
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
    std::string target = folder + name;
    const interruptions_held held;
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::unique_ptr<output_file> output;
    try {
        output = replacing_output(fd, temporary, std::move(target));
    } catch (...) {
        // Out of memory before the output owned the new file: it goes.
        remove_partial_output(temporary.c_str());
        ::close(fd);
        throw;
    }
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

// Opens the regular file `found`, which cannot be replaced whole, to be
// written only once the stream is complete.
std::unique_ptr<output_file> start_staging(const found_output& found, const input_file& input) {
    const interruptions_held held;
    // Neither created nor truncated: the file keeps its contents until the
    // copy, and a sticky folder's rules for creating are not in the way.
    const int fd = open_found(found, O_NONBLOCK);
    const int staging = S_ISREG(found.st.st_mode) ? open_staging_file() : -1;
    if (staging < 0) {
        ::close(fd);
        throw failure{failure_code::open_output_failed};
    }
    auto output = staged_output(fd, staging);
    refuse_reserved(found.st, input);
    return output;
}

// Opens the device or FIFO `found`, written as it goes.
std::unique_ptr<output_file> open_directly(const found_output& found, const input_file& input) {
    // O_NONBLOCK makes a FIFO without a reader fail at once instead of
    // waiting for one.
    const int fd = open_found(found, O_NONBLOCK);
    auto output = direct_output(fd);
    refuse_reserved(found.st, input);
    // Then writes wait for a slow reader.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) throw failure{failure_code::open_output_failed};
    return output;
}

class system_file_system final : public file_system {
public:
    std::unique_ptr<input_file> open_input(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) throw failure{failure_code::open_input_failed};
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            throw failure{failure_code::open_input_failed};
        }
        if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            throw failure{failure_code::input_not_regular};
        }
        return std::make_unique<system_input>(fd, st);
    }

    std::unique_ptr<output_file> open_output(const std::string& path, const input_file& input) override {
        const found_output found = find_output(path);
        if (found.exists) refuse_reserved(found.st, input);
        if (found.exists && !S_ISREG(found.st.st_mode)) return open_directly(found, input);
        const std::string& target = found.chain.target;
        const std::size_t slash = target.find_last_of('/') + 1;  // 0 when there is none
        const std::string folder = target.substr(0, slash);
        const std::string name = target.substr(slash);
        if (!name_fits(folder, name)) throw failure{failure_code::open_output_failed};
        if (!found.exists) {
            if (auto output = start_replacement(folder, name, nullptr)) return output;
            throw failure{failure_code::open_output_failed};
        }
        // A file that the user may not write is not replaced behind its back.
        if (::access(found.name_to_open().c_str(), W_OK) != 0) throw failure{failure_code::open_output_failed};
        // A file that /proc leads to has no name of its own to replace.
        if (!found.through_proc && may_replace_in(folder, found.st)) {
            if (auto output = start_replacement(folder, name, &found.st)) return output;
        }
        return start_staging(found, input);
    }
};

}  // namespace

file_system& system_files() {
    static system_file_system files;
    return files;
}

}  // namespace nbz::cli
