#pragma once
// The commands' access to files, behind a small interface so that tests can
// make any read, write or close fail.
//
// Every failure is thrown as the commands' failure (nbz/cli/failure.h)
// naming what went wrong; the command turns it into its line and exit
// status.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "nbz/cli/failure.h"

namespace nbz::cli {

// What tells two names of one file apart from two files.
struct file_identity {
    std::uint64_t device;
    std::uint64_t inode;
    friend bool operator==(const file_identity&, const file_identity&) = default;
};

// An input file that was checked to be a regular file and measured when it
// was opened.
class input_file {
public:
    virtual ~input_file() = default;
    // The file's size in bytes when it was opened.
    virtual std::uint64_t size() const = 0;
    virtual file_identity identity() const = 0;
    // Reads up to buffer.size() bytes and returns how many were read; 0 only
    // at the end of the file. Throws failure on a read error.
    virtual std::size_t read(std::span<std::byte> buffer) = 0;
    // Moves the next read to `position` bytes from the start. Throws
    // failure if the file cannot be positioned.
    virtual void seek(std::uint64_t position) = 0;
};

// An output opened for this run. Every implementation guarantees that until
// close() succeeds, an earlier regular file under the output's name keeps its
// contents, however the run fails or is interrupted, and that nothing of the
// run is left under another name. A regular output is replaced whole where
// its folder allows it, the new file keeping the permission bits (and the
// owner and group where the user may set them); elsewhere the stream is
// staged and copied into the file only on close(), after any other run's
// copy into it. Devices and FIFOs are written as they go.
class output_file {
public:
    virtual ~output_file() = default;
    // Writes all of `bytes` or throws failure.
    virtual void write(std::span<const std::byte> bytes) = 0;
    // Moves the next write to `position` bytes from the start (a container's
    // header is written again at the end). Throws failure if the output
    // cannot be positioned, as a pipe cannot.
    virtual void seek(std::uint64_t position) = 0;
    // Completes the output: the stream is on the disk and under the output's
    // name only now. Throws failure if any of it fails; the earlier file is
    // then as it was, except after a failed copy of a staged stream
    // (final_copy_failed), which empties it. After a successful close the
    // output is kept. From the rename or the copy on, a signal sent to the
    // process no longer ends it (where it is one run: see process.h).
    virtual void close() = 0;
    // Gives up on an output that was not closed successfully: whatever the
    // run wrote under another name is removed and the output's name keeps
    // what it held. Never throws.
    virtual void discard() noexcept = 0;
};

class file_system {
public:
    virtual ~file_system() = default;
    // Opens `path` for reading without blocking, so a FIFO or terminal cannot
    // hang the command. Throws failure if it cannot be opened or is not a
    // regular file.
    virtual std::unique_ptr<input_file> open_input(const std::string& path) = 0;
    // Opens `path` for writing, created if missing. Refuses with
    // open_output_failed, before anything is created or written, a name too
    // long for its file system, a folder that does not exist, a file that the
    // user may not write, a new file where none can be created, and a
    // symbolic link in a sticky, world-writable folder that belongs neither
    // to the user nor to the folder's owner (as the kernel's
    // fs.protected_symlinks would, whatever it is set to); refuses a
    // path that names the same file as `input` (through the same name, a hard
    // link or a symbolic link), or the file, pipe or terminal that standard
    // output goes to. A FIFO without a reader fails at once.
    virtual std::unique_ptr<output_file> open_output(const std::string& path, const input_file& input) = 0;
};

// The machine's real files.
file_system& system_files();

// Reads until `buffer` is full or the file ends; returns the count read.
std::size_t read_fully(input_file& input, std::span<std::byte> buffer);

}  // namespace nbz::cli
