#include "nbz/cli/options.h"

#include <charconv>
#include <ostream>
#include <string_view>

#include "nbz/cli/failure.h"
#include "nbz/cli/messages.h"
#include "nbz/search_encoder.h"

namespace nbz::cli {
namespace {

// A whole decimal number within [low, high], nothing before or after it.
std::optional<long> parse_number(std::string_view text, long low, long high) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace

command_options parse_options(arguments args, option_set allowed) {
    command_options result;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') break;  // a positional, or a lone "-"

        std::string_view name = arg;
        std::optional<std::string_view> inline_value;
        if (arg.starts_with("--")) {
            if (const auto equals = arg.find('='); equals != std::string_view::npos) {
                name = arg.substr(0, equals);
                inline_value = arg.substr(equals + 1);
            }
        } else if (arg.size() > 2 && (arg[1] == 'r' || (allowed.width && arg[1] == 'w'))) {
            // The short form's value may be attached: -r22050, -w32.
            name = arg.substr(0, 2);
            inline_value = arg.substr(2);
        }
        const auto value = [&]() -> std::optional<std::string_view> {
            if (inline_value) return inline_value;
            if (i + 1 < args.size()) return std::string_view{args[++i]};
            return std::nullopt;
        };
        if ((name == "-h" || name == "--help") && !inline_value) {
            result.help = true;
        } else if ((name == "-V" || name == "--version") && !inline_value) {
            result.version = true;
        } else if (name == "-r" || name == "--rate") {
            const auto text = value();
            result.rate_hz = text ? parse_number(*text, min_rate_hz, max_rate_hz) : std::nullopt;
            if (!result.rate_hz) throw failure{failure_code::bad_rate, std::string{name}};
        } else if (allowed.width && (name == "-w" || name == "--width")) {
            const auto text = value();
            const auto width = text ? parse_number(*text, 1, search_width_max) : std::nullopt;
            if (!width) throw failure{failure_code::bad_width, std::string{name}};
            result.width = static_cast<int>(*width);
        } else {
            throw failure{failure_code::unknown_option, std::string{arg}};
        }
    }
    result.positionals.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    return result;
}

bool print_help_or_version(const command_options& options, std::ostream& out, std::string_view name,
                           std::string_view help) {
    if (options.help) {
        out << help;
    } else if (options.version) {
        out << messages::version_text(name) << '\n';
    }
    return options.help || options.version;
}

}  // namespace nbz::cli
