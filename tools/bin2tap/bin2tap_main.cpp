// bin2tap [-append] [-o OUTPUT] INPUT [-a ADDRESS]: saves INPUT as a CODE file on a TAP tape.
#include <iostream>
#include <optional>

#include "../common/tool_entry.hpp"
#include "../common/tool_files.hpp"
#include "tap_code_blocks.hpp"

namespace {

struct Options {
    bool append = false;
    std::optional<std::string> output;
    std::optional<std::string> input;
    std::string address = std::to_string(bin2tap::kDefaultAddress);
};

constexpr const char* kUsage = "usage: bin2tap [-append] [-o OUTPUT] INPUT [-a ADDRESS]";

int fail(const std::string& problem) {
    std::cerr << "bin2tap: " << problem << "\n";
    return 1;
}

bool take_value(const std::vector<std::string>& arguments, std::size_t& next, std::string& value,
                std::string& problem) {
    if (next + 1 >= arguments.size()) {
        problem = arguments[next] + " needs a value\n" + kUsage;
        return false;
    }
    value = arguments[++next];
    return true;
}

bool take_argument(const std::vector<std::string>& arguments, std::size_t& next, Options& options,
                   std::string& problem) {
    const std::string& argument = arguments[next];
    if (argument == "-append") {
        options.append = true;
    } else if (argument == "-o") {
        std::string value;
        if (!take_value(arguments, next, value, problem)) return false;
        options.output = value;
    } else if (argument == "-a") {
        if (!take_value(arguments, next, options.address, problem)) return false;
    } else if (argument.starts_with("-")) {
        problem = "unknown option " + argument + "\n" + kUsage;
        return false;
    } else if (options.input) {
        problem = "more than one input file given\n" + std::string(kUsage);
        return false;
    } else {
        options.input = argument;
    }
    return true;
}

bool parse(const std::vector<std::string>& arguments, Options& options, std::string& problem) {
    for (std::size_t next = 0; next < arguments.size(); ++next) {
        if (!take_argument(arguments, next, options, problem)) return false;
    }
    if (!options.input) problem = "no input file given\n" + std::string(kUsage);
    return options.input.has_value();
}

// A decimal address from 0 to 65535, digits only.
std::optional<std::uint16_t> parse_address(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Checks the code against the address; returns an empty text when it can be saved.
std::string check_code(const std::string& input, std::size_t size, std::uint16_t address) {
    if (size == 0) return input + " is empty";
    if (address + size > 65536) {
        return input + " (" + std::to_string(size) + " bytes) does not fit in memory at address " +
               std::to_string(address);
    }
    if (size > bin2tap::kMaxCodeLength) {
        return input + " (" + std::to_string(size) + " bytes) is too long for one tape block (at most " +
               std::to_string(bin2tap::kMaxCodeLength) + ")";
    }
    return {};
}

}  // namespace

int tools::run_tool(const std::vector<std::string>& arguments) {
    Options options;
    std::string problem;
    if (!parse(arguments, options, problem)) return fail(problem);
    std::optional<std::uint16_t> address = parse_address(options.address);
    if (!address) return fail("bad address " + options.address + " (a decimal number from 0 to 65535)");
    fs::path input = path_from_utf8(*options.input);
    fs::path output =
        options.output ? path_from_utf8(*options.output) : fs::path(input).replace_extension(".tap");
    Bytes code;
    if (!read_file(input, code, problem)) return fail(problem);
    problem = check_code(*options.input, code.size(), *address);
    if (!problem.empty()) return fail(problem);
    Bytes blocks = bin2tap::code_blocks(bin2tap::tape_name(input), *address, code);
    bool written =
        options.append ? append_file(output, blocks, problem) : replace_file(output, blocks, problem);
    return written ? 0 : fail(problem);
}
