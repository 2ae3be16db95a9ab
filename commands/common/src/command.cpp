#include "nbz/cli/command.h"

#include <iostream>
#include <memory>
#include <vector>

#include "nbz/cli/messages.h"
#include "nbz/platform/process.h"

namespace nbz::cli {

int run_command(arguments args, std::ostream& out, file_system& files, const command_definition& definition,
                const command_body& body) {
    const std::size_t max_args = definition.takes_gain ? 3 : 2;
    if (args.size() < 2 || args.size() > max_args) {
        out << definition.usage;
        return exit_failure;
    }
    if (definition.check_arguments) {
        const std::string_view problem = definition.check_arguments(args);
        if (!problem.empty()) {
            out << problem << '\n';
            return exit_failure;
        }
    }
    std::unique_ptr<output_file> output;
    try {
        const auto input = files.open_input(args[0]);
        if (definition.check_input) {
            const std::string_view problem = definition.check_input(*input);
            if (!problem.empty()) throw io_failure{problem};
        }
        output = files.open_output(args[1], *input);
        const std::optional<std::string> gain = args.size() > 2 ? std::optional{args[2]} : std::nullopt;
        const std::string report = body(*input, *output, gain);
        output->close();
        out << report;
        return exit_success;
    } catch (const io_failure& failure) {
        if (output) output->discard();
        out << failure.message << '\n';
        return exit_failure;
    }
}

std::string level_report(std::uint32_t peak) {
    constexpr std::uint32_t full_scale = 32767;
    std::string line{messages::level_prefix};
    line += std::to_string(peak);
    if (peak > full_scale) {
        line += messages::overflow_prefix;
        line += std::to_string(peak - full_scale);
        line += messages::overflow_suffix;
    }
    line += '\n';
    return line;
}

int main_with(int argc, char** argv, int (*run)(arguments, std::ostream&)) {
    prepare_process();
    const std::vector<std::string> args = command_arguments(argc, argv);
    const int status = run(args, std::cout);
    std::cout.flush();
    return std::cout ? status : exit_failure;
}

}  // namespace nbz::cli
