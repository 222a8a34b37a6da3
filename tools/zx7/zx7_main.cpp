// zx7 [-f] INPUT [OUTPUT]: compresses INPUT into OUTPUT (INPUT with ".zx7" appended).
#include <iostream>

#include "../common/tool_entry.hpp"
#include "../common/tool_files.hpp"
#include "zx7_compress.hpp"

namespace {

struct Options {
    bool force = false;
    std::string input;
    std::string output;
};

constexpr const char* kUsage = "usage: zx7 [-f] INPUT [OUTPUT]";

int fail(const std::string& problem) {
    std::cerr << "zx7: " << problem << "\n";
    return 1;
}

// Options come first; the first other argument is the input, an optional second the output.
bool parse(const std::vector<std::string>& arguments, Options& options, std::string& problem) {
    std::size_t next = 0;
    for (; next < arguments.size() && arguments[next].starts_with("-"); ++next) {
        if (arguments[next] != "-f") {
            problem = "unknown option " + arguments[next] + "\n" + kUsage;
            return false;
        }
        options.force = true;
    }
    std::size_t names = arguments.size() - next;
    if (names < 1 || names > 2) {
        problem = std::string(names < 1 ? "no input file given" : "too many arguments") + "\n" + kUsage;
        return false;
    }
    for (std::size_t later = next + 1; later < arguments.size(); ++later) {
        if (arguments[later].starts_with("-")) {
            problem = "options come before the input file name\n" + std::string(kUsage);
            return false;
        }
    }
    options.input = arguments[next];
    options.output = names == 2 ? arguments[next + 1] : options.input + ".zx7";
    return true;
}

}  // namespace

int tools::run_tool(const std::vector<std::string>& arguments) {
    Options options;
    std::string problem;
    if (!parse(arguments, options, problem)) return fail(problem);
    fs::path input = path_from_utf8(options.input);
    fs::path output = path_from_utf8(options.output);
    Bytes data;
    if (!read_file(input, data, problem)) return fail(problem);
    if (data.empty()) return fail(options.input + " is empty");
    std::error_code error;
    if (!options.force && fs::exists(fs::symlink_status(output, error))) {
        return fail(options.output + " already exists (use -f to overwrite it)");
    }
    Bytes packed = zx7::compress(data);
    if (!replace_file(output, packed, problem)) return fail(problem);
    std::cout << options.input << ": " << data.size() << " bytes -> " << options.output << ": "
              << packed.size() << " bytes\n";
    return 0;
}
