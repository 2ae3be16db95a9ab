#pragma once
// What the commands need from the system beyond their files, behind one small
// interface with a POSIX and a Windows implementation.

#include <string>
#include <vector>

namespace nbz::cli {

// The command-line arguments after the program's name, in UTF-8. On Windows
// they are read from the wide command line, so that any file name comes
// through; `argc` and `argv` are then not used.
std::vector<std::string> command_arguments(int argc, char** argv);

// Prepares the process for a run, before the first output is created: a
// reader that went away or a file-size limit fails a write instead of ending
// the process, and an interruption removes a partial output.
void prepare_process();

// Whether standard error is a terminal or console, where progress is shown.
bool standard_error_is_terminal();

}  // namespace nbz::cli
