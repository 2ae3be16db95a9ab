#pragma once
// The three ways the real file system writes an output (files.cpp chooses
// among them), through POSIX descriptors.

#include <memory>
#include <string>

#include "nbz/platform/files.h"

namespace nbz::cli {

// A new file, open as `fd` under the name `temporary` beside `target`, that
// takes the name `target` on close(), once it is synced and closed. Armed for
// removal on interruption until then, and committed by the rename;
// discard() removes it.
std::unique_ptr<output_file> replacing_output(int fd, std::string temporary, std::string target);

// A device or FIFO open as `fd`, written as it goes. Nothing is removed on
// failure.
std::unique_ptr<output_file> direct_output(int fd);

// The regular file open as `fd`, not written until close(): the stream goes
// to `staging` (an unnamed file elsewhere, moved into memory should its file
// system fill up), and close() copies it over the output with the
// interrupting signals held, and cuts off whatever the output held beyond
// it. Another run's copy into the same file is waited for first, through an
// advisory lock on the file held until close() ends. The copy commits the
// output; its failure empties the output and throws final_copy_failed.
// discard() leaves the output untouched.
std::unique_ptr<output_file> staged_output(int fd, int staging);

}  // namespace nbz::cli
