// The commands' files on Windows: names outside ASCII, the outputs that may
// not be written or that another program holds, and the console's events.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "nbz/cli/messages.h"
#include "nbz_command.h"
#include "reference_model.h"
#include "signals.h"
#include "temp_files.h"

namespace nbz::testing {
namespace {

using cli::failure_code;

const std::vector<std::int16_t> ramp = [] {
    std::vector<std::int16_t> s;
    s.reserve(4000);
    for (int i = 0; i < 4000; ++i) s.push_back(static_cast<std::int16_t>(i * 7 - 14000));
    return s;
}();

std::wstring wide(const std::string& path) { return *cli::wide_from_utf8(path); }

HANDLE open_with(const std::string& path, DWORD access, DWORD share) {
    return ::CreateFileW(wide(path).c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(Windows, NamesOutsideAsciiAndCrlfReport) {
    temp_dir dir;
    // Joined as UTF-8: a path made from a narrow string takes it in the ANSI
    // code page.
    const std::string input = dir.path().string() + "\\musique-\xC3\xA9t\xC3\xA9.raw";
    const std::string output = dir.path().string() + "\\\xE9\x9F\xB3.nbz";
    const bytes samples = pcm_bytes(ramp);
    std::ofstream(std::filesystem::path{wide(input)}, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size()));
    const process_result run = run_process(NBZ_BINARY, {input, output});
    EXPECT_EQ(run.status, 0);
    const reference_run expected = reference_encode(ramp);
    EXPECT_EQ(run.raw_out, "Maximum output level: " + std::to_string(expected.state.peak) + "\r\n");
    std::ifstream written(std::filesystem::path{wide(output)}, std::ios::binary);
    EXPECT_EQ(bytes(std::istreambuf_iterator<char>(written), {}), word_bytes(expected.words));
}

struct refusal_case {
    const char* name;
    failure_code code;
    // Prepares the files in `dir` and gives the arguments; may hold a handle
    // open in `held` for the run.
    std::function<std::vector<std::string>(const temp_dir& dir, HANDLE& held)> prepare;
};

class WindowsRefusals : public ::testing::TestWithParam<refusal_case> {};

// Every refusal prints its message, and leaves the input and the earlier
// output as they were, with no temporary file beside them.
TEST_P(WindowsRefusals, KeepsTheFiles) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(ramp));
    const bytes earlier(1000, 0xAA);
    write_file(dir / "out.nbz", earlier);
    HANDLE held = INVALID_HANDLE_VALUE;
    const std::vector<std::string> args = GetParam().prepare(dir, held);
    std::ostringstream out;
    const int status = cli::run_nbz(args, out);
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out.str(), cli::messages::failure_text({GetParam().code}) + "\n");
    EXPECT_EQ(read_file(dir / "in.raw"), pcm_bytes(ramp));
    EXPECT_EQ(read_file(dir / "out.nbz"), earlier);
    EXPECT_TRUE(unfinished_outputs(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowsRefusals,
    ::testing::Values(refusal_case{"hard_link_to_input", failure_code::same_file,
                                   [](const temp_dir& dir, HANDLE&) {
                                       ::CreateHardLinkW(wide(dir / "link.raw").c_str(), wide(dir / "in.raw").c_str(),
                                                         nullptr);
                                       return std::vector<std::string>{dir / "in.raw", dir / "link.raw"};
                                   }},
                      refusal_case{"folder_input", failure_code::input_not_regular,
                                   [](const temp_dir& dir, HANDLE&) {
                                       return std::vector<std::string>{dir.path().string(), dir / "out.nbz"};
                                   }},
                      refusal_case{"nul_input", failure_code::input_not_regular,
                                   [](const temp_dir& dir, HANDLE&) {
                                       return std::vector<std::string>{"NUL", dir / "out.nbz"};
                                   }},
                      refusal_case{"missing_folder", failure_code::open_output_failed,
                                   [](const temp_dir& dir, HANDLE&) {
                                       return std::vector<std::string>{dir / "in.raw", dir / "none\\out.nbz"};
                                   }},
                      refusal_case{"folder_output", failure_code::open_output_failed,
                                   [](const temp_dir& dir, HANDLE&) {
                                       return std::vector<std::string>{dir / "in.raw", dir.path().string()};
                                   }},
                      refusal_case{"read_only_output", failure_code::open_output_failed,
                                   [](const temp_dir& dir, HANDLE&) {
                                       ::SetFileAttributesW(wide(dir / "out.nbz").c_str(), FILE_ATTRIBUTE_READONLY);
                                       return std::vector<std::string>{dir / "in.raw", dir / "out.nbz"};
                                   }},
                      refusal_case{"output_open_unshared", failure_code::open_output_failed,
                                   [](const temp_dir& dir, HANDLE& held) {
                                       held = open_with(dir / "out.nbz", GENERIC_READ, 0);
                                       return std::vector<std::string>{dir / "in.raw", dir / "out.nbz"};
                                   }},
                      // Open for reading and writing by others, but not to be replaced.
                      refusal_case{"output_open_without_delete_sharing", failure_code::open_output_failed,
                                   [](const temp_dir& dir, HANDLE& held) {
                                       held =
                                           open_with(dir / "out.nbz", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
                                       return std::vector<std::string>{dir / "in.raw", dir / "out.nbz"};
                                   }}),
    [](const auto& info) { return info.param.name; });

TEST(Windows, ReadOnlyInputAndNulOutput) {
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(ramp));
    ::SetFileAttributesW(wide(dir / "in.raw").c_str(), FILE_ATTRIBUTE_READONLY);
    std::ostringstream out;
    EXPECT_EQ(cli::run_nbz(std::vector<std::string>{dir / "in.raw", "NUL"}, out), 0);
    EXPECT_EQ(cli::run_nbz(std::vector<std::string>{dir / "in.raw", dir / "out.nbz"}, out), 0);
    EXPECT_EQ(read_file(dir / "out.nbz"), word_bytes(reference_encode(ramp).words));
    ::SetFileAttributesW(wide(dir / "in.raw").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Ctrl-Break to a run's process group ends it with the console's status, the
// temporary file removed and the earlier output kept.
TEST(Windows, ConsoleBreakRemovesTheTemporaryFile) {
    // Run without one (under CTest), the test makes a console for the child
    // to share, keeping its own standard handles.
    const HANDLE standard[] = {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                               ::GetStdHandle(STD_ERROR_HANDLE)};
    if (::AllocConsole() != 0) {
        ::SetStdHandle(STD_INPUT_HANDLE, standard[0]);
        ::SetStdHandle(STD_OUTPUT_HANDLE, standard[1]);
        ::SetStdHandle(STD_ERROR_HANDLE, standard[2]);
    }
    temp_dir dir;
    write_file(dir / "in.raw", pcm_bytes(make_signal(signal::noise, std::size_t{44100} * 30, 5)));
    const bytes earlier(1000, 0xAA);
    write_file(dir / "out.nbz", earlier);
    const child_process child =
        start_process(NBZHQ_BINARY, {"-w", "64", dir / "in.raw", dir / "out.nbz"}, {}, CREATE_NEW_PROCESS_GROUP);
    ASSERT_NE(child.process, nullptr);
    for (int i = 0; i < 500 && unfinished_outputs(dir.path()).empty(); ++i) ::Sleep(10);
    const bool sent = !unfinished_outputs(dir.path()).empty() && ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.id);
    if (!sent) ::TerminateProcess(child.process, 1);
    const process_result run = finish_process(child);
    if (!sent) GTEST_SKIP() << "no console to send Ctrl-Break through";
    EXPECT_EQ(static_cast<DWORD>(run.status), STATUS_CONTROL_C_EXIT);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(dir / "out.nbz"), earlier);
    EXPECT_TRUE(unfinished_outputs(dir.path()).empty());
}

}  // namespace
}  // namespace nbz::testing
