#include "nbz/cli/command.h"

#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "nbz/cli/gain.h"
#include "nbz/cli/messages.h"
#include "nbz/platform/process.h"

namespace nbz::cli {

int run_command(arguments args, std::ostream& out, file_system& files, const command_definition& definition) {
    std::unique_ptr<output_file> output;
    try {
        const std::size_t max_args = definition.takes_gain ? 3 : 2;
        if (args.size() < 2 || args.size() > max_args) {
            out << definition.usage;
            return exit_failure;
        }
        if (definition.check_arguments) definition.check_arguments(args);
        const double gain = gain_factor(args.size() > 2 ? std::optional{args[2]} : std::nullopt);
        const auto input = files.open_input(args[0]);
        if (definition.open_input) definition.open_input(*input);
        output = files.open_output(args[1], *input);
        const std::string report = definition.write_output(*input, *output, gain);
        output->close();
        out << report;
        return exit_success;
    } catch (...) {
        if (output) output->discard();
        return report_failure(out);
    }
}

int report_failure(std::ostream& out) noexcept {
    try {
        throw;
    } catch (const failure& caught) {
        messages::write_failure(out, caught);
    } catch (const std::bad_alloc&) {
        messages::write_failure(out, {failure_code::out_of_memory});
    } catch (const std::length_error&) {  // a size beyond what can be allocated
        messages::write_failure(out, {failure_code::out_of_memory});
    } catch (...) {
        messages::write_failure(out, {failure_code::unexpected});
    }
    return exit_failure;
}

int main_with(int argc, char** argv, int (*run)(arguments, std::ostream&)) {
    int status = exit_failure;
    try {
        prepare_process();
        const std::vector<std::string> args = command_arguments(argc, argv);
        status = run(args, std::cout);
    } catch (...) {
        status = report_failure(std::cout);
    }
    std::cout.flush();
    return std::cout ? status : exit_failure;
}

}  // namespace nbz::cli
