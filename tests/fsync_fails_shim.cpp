// Preloaded into a command by the tests: every fsync fails, as on a disk that
// loses the data, so the run must not give the output its name.

#include <cerrno>

extern "C" int fsync(int /*fd*/) {
    errno = EIO;
    return -1;
}

extern "C" int fdatasync(int /*fd*/) {
    errno = EIO;
    return -1;
}
