// bin2tap's command line: arguments split from the input at line feeds and zero bytes, run in a
// scratch folder of code, an empty file and code too long for a block, laid out afresh each run:
// the tool ends with 0 or 1. Names with a path separator are left out, to stay in that folder.
#include <filesystem>
#include <iostream>

#include "fuzz_support.hpp"
#include "tool_entry.hpp"

namespace {

namespace fs = std::filesystem;

void restore_scratch_folder() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(fuzz::scratch_directory()))
        fs::remove_all(entry.path(), ignored);
    for (auto [name, size] : {std::pair{"code.bin", 300}, {"empty.bin", 0}, {"big.bin", 65600}})
        fuzz::write_file(fuzz::scratch_directory() / name, std::string(size, '\xC9'));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cerr.rdbuf(nullptr);  // the tool's complaints; libFuzzer's own messages still show
    fs::current_path(fuzz::scratch_directory());
    restore_scratch_folder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find_first_of("/\\") != std::string::npos) return 0;
    std::vector<std::string> arguments(1);
    for (char c : text) c == '\n' || c == '\0' ? arguments.emplace_back() : arguments.back() += c;
    int code = tools::run_tool(arguments);
    fuzz::require(code == 0 || code == 1, "bin2tap ended with an unexpected code");
    restore_scratch_folder();
    return 0;
}
