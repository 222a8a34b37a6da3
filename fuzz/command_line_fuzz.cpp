// The command-line splitters and the path parts: the program's own command line and the one a
// tool is given, both made from whatever the user or a tape put into them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "host/command_line.hpp"
#include "host/process.hpp"

namespace {

using host::Text;

void check_program_command_line(const Text& line) {
    for (const Text& token : host::split_command_line(line))
        fuzz::require(token.find(u'"') == Text::npos, "a token of the program's command line kept a quote");
}

void check_runtime_split(const Text& line) {
    std::vector<Text> words = host::split_like_c_runtime(line);
    fuzz::require(words.size() <= line.size(), "more words than characters");
}

// A path put into a tool's command line must come back to the tool as exactly one word, itself.
void check_quoted_path(const Text& path) {
    std::vector<Text> words =
        host::split_like_c_runtime(host::build_command_line(u"tool", host::quoted_path(path)));
    fuzz::require(words.size() == 2, "a quoted path did not come back as one word");
    fuzz::require(words[1] == path, "a quoted path came back changed");
}

// Without quotes and "|", a path is its directory part followed by its file part.
void check_path_parts(const Text& path) {
    Text directory = host::path_part(path);
    Text file = host::file_part(path);
    std::size_t start = !path.empty() && path[0] == u'"' ? 1 : 0;
    fuzz::require(file.size() + start <= path.size(), "the file part is longer than the path");
    Text rest = path.substr(start);
    if (rest.find_first_of(u"\"|") != Text::npos) return;
    fuzz::require(directory + file == rest, "directory and file parts do not make up the path");
}

void check_all(const Text& text) {
    check_program_command_line(text);
    check_runtime_split(text);
    check_quoted_path(text);
    check_path_parts(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    check_all(host::from_utf8(bytes));
    check_all(fuzz::text_from_bytes(bytes));
    return 0;
}
