// The command-line splitters and the path parts over whatever a user or a tape puts into a path:
// none may fail, and a quoted path must reach a tool as exactly one word, itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "host/command_line.hpp"
#include "host/process.hpp"

namespace {

void check(const host::Text& path) {
    host::split_command_line(path);
    host::path_part(path);
    host::file_part(path);
    std::vector<host::Text> words =
        host::split_like_c_runtime(host::build_command_line(u"tool", host::quoted_path(path)));
    fuzz::require(words.size() == 2 && words[1] == path, "a quoted path did not come back as itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    check(host::from_utf8(bytes));
    check(fuzz::text_from_bytes(bytes));
    return 0;
}
