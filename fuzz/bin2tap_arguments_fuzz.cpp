// bin2tap's argument handling: arguments split from the input at line feeds and zero bytes,
// run in a scratch folder holding a few input files. Names with a path separator are left out,
// so that whatever the arguments say, every file the tool touches is in the scratch folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "tool_entry.hpp"

namespace {

namespace fs = std::filesystem;

// The input files of the scratch folder and their sizes: code, an empty file, and code too long
// for one tape block.
const std::map<std::string, std::size_t> fixed_files = {
    {"code.bin", 300}, {"empty.bin", 0}, {"big.bin", 65600}};

// Puts the folder back as it was: the fixed files at their sizes, nothing else.
void restore_scratch_folder() {
    std::error_code ignored;
    std::vector<fs::path> extra;
    for (const auto& entry : fs::directory_iterator(fuzz::scratch_directory()))
        if (!fixed_files.contains(entry.path().filename().string())) extra.push_back(entry.path());
    for (const fs::path& path : extra) fs::remove_all(path, ignored);
    for (const auto& [name, size] : fixed_files) {
        const fs::path path = fuzz::scratch_directory() / name;
        if (fs::is_regular_file(path, ignored) && fs::file_size(path, ignored) == size) continue;
        fs::remove_all(path, ignored);
        fuzz::write_file(path, std::string(size, '\xC9'));
    }
}

// A program's arguments can hold no zero byte, so a zero ends an argument as a line feed does.
std::vector<std::string> split_arguments(const std::string& text) {
    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find_first_of(std::string("\n\0", 2), start)) != std::string::npos;
         start = end + 1)
        arguments.push_back(text.substr(start, end - start));
    arguments.push_back(text.substr(start));
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The tool's complaints go to std::cerr; the fuzzer's own messages still reach standard error.
    std::cerr.rdbuf(nullptr);
    fs::current_path(fuzz::scratch_directory());
    restore_scratch_folder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find_first_of("/\\") != std::string::npos) return 0;
    const int code = tools::run_tool(split_arguments(text));
    fuzz::require(code == 0 || code == 1, "bin2tap ended with an unexpected code");
    restore_scratch_folder();
    return 0;
}
