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

// Prepares the process for a run, first thing in main(): on POSIX systems a
// closed standard input, output or error is opened on the null device, so
// that no file the run opens takes its place (Windows files are handles,
// not descriptors); what quiet_standard_error needs is opened; a
// reader that went away or a file-size limit fails a write instead of ending
// the process; a signal that would end the process removes a partial output
// first; and once the output is committed (output_file::close()), a signal
// sent to the process no longer ends it, so that the run reports and
// succeeds as the output tells.
void prepare_process();

// Whether standard error is a terminal or console, where progress is shown.
bool standard_error_is_terminal();

// Decoders print warnings and notes on standard error, where the commands
// show nothing but progress: while one of these lives, the C library's
// standard error goes to the null device. Takes no new descriptor: what it
// needs was opened once, by prepare_process() (or by the first of these),
// and is left open. If that could not be arranged, standard error is left as
// it is. May be nested; not for more than one thread.
class quiet_standard_error {
public:
    quiet_standard_error() noexcept;
    ~quiet_standard_error();
    quiet_standard_error(const quiet_standard_error&) = delete;
    quiet_standard_error& operator=(const quiet_standard_error&) = delete;

private:
    bool quiet_ = false;  // whether this one quietened standard error
};

}  // namespace nbz::cli
