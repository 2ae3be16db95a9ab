#pragma once
// The outputs that a run writes on Windows, as the file system opens them.

#include <windows.h>

#include <memory>
#include <string>

#include "handle.h"
#include "nbz/platform/files.h"

namespace nbz::cli {

// Writes to a device (NUL, say) or a pipe, open as `handle`, as it stands.
std::unique_ptr<output_file> device_output(unique_handle handle);

// Starts a replacement of the file at `target` (a full path), existing or
// not, by a new file beside it that takes its name on close(). Nothing if no
// file can be created beside it.
std::unique_ptr<output_file> start_replacement(const std::wstring& target);

// For a target beside which no file can be created: stages the stream in the
// temporary folder, and copies it into the target only once it is complete,
// on close(), with the console's events held. `existing` is the target, open
// for writing, or none for a file that close() creates. Throws failure if
// nothing can be staged.
std::unique_ptr<output_file> start_staged(const std::wstring& target, unique_handle existing);

}  // namespace nbz::cli
