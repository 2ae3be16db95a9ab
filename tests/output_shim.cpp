// Preloaded into a command by the tests, to put it where a test needs it at
// a given moment, whatever the timing; each behaviour is asked for in the
// environment, and marks are files in the folder NBZ_SHIM_MARKS:
// - NBZ_SHIM_HOLD=PATH: once the run has renamed a file onto PATH or written
//   into the file at PATH, it makes the mark `held` and waits for the mark
//   `go` (for at most ten seconds) before going on;
// - NBZ_SHIM_GO_AT_LOCK=PATH: a run that locks the file at PATH makes the
//   mark `go` first;
// - NBZ_SHIM_FULL=FOLDER: a file under FOLDER holds at most 512 bytes, as on a
//   full disk.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

namespace {

template <class F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

std::string mark(const char* name) {
    const char* marks = std::getenv("NBZ_SHIM_MARKS");
    return std::string{marks != nullptr ? marks : "."} + "/" + name;
}

void make_mark(const char* name) {
    const int fd = ::open(mark(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
}

// Whether `st` is the file at the path that the variable `variable` names.
bool is_named_file(const char* variable, const struct stat& st) {
    const char* path = std::getenv(variable);
    struct stat named {};
    return path != nullptr && ::stat(path, &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino;
}

void hold_once() {
    static bool held = false;
    if (std::exchange(held, true)) return;
    make_mark("held");
    const std::string go = mark("go");
    for (int i = 0; i < 10000 && ::access(go.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds{1});
}

// The room left in the file `fd` if it lies under NBZ_SHIM_FULL, else -1.
long long room_left(int fd) {
    const char* full = std::getenv("NBZ_SHIM_FULL");
    if (full == nullptr) return -1;
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path);
    const std::string folder = std::string{full} + "/";
    if (n <= 0 || static_cast<std::size_t>(n) < folder.size() || std::strncmp(path, folder.c_str(), folder.size()) != 0)
        return -1;
    constexpr long long capacity = 512;
    return std::max(0LL, capacity - static_cast<long long>(::lseek(fd, 0, SEEK_CUR)));
}

}  // namespace

// The C library names the parameters with reserved names.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, std::size_t)>("write");
    const long long room = room_left(fd);
    if (room == 0 && size > 0) {
        errno = ENOSPC;
        return -1;
    }
    if (room > 0) size = std::min(size, static_cast<std::size_t>(room));
    const ssize_t written = real(fd, data, size);
    struct stat st {};
    if (written > 0 && ::fstat(fd, &st) == 0 && is_named_file("NBZ_SHIM_HOLD", st)) hold_once();
    return written;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int rename(const char* from, const char* to) {
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    const int result = real(from, to);
    struct stat st {};
    if (result == 0 && ::stat(to, &st) == 0 && is_named_file("NBZ_SHIM_HOLD", st)) hold_once();
    return result;
}

extern "C" int flock(int fd, int operation) {
    static const auto real = next<int (*)(int, int)>("flock");
    struct stat st {};
    if (::fstat(fd, &st) == 0 && is_named_file("NBZ_SHIM_GO_AT_LOCK", st)) make_mark("go");
    return real(fd, operation);
}
