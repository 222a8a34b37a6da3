// What the fuzz targets share: a scratch folder for the files a target writes, the program's
// texts made from raw fuzz bytes, whole files, and a check that stops the run with a message when
// a promise of the code under test is broken.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "host/text.hpp"

namespace fuzz {

// Ends the process with a message and an abort (which libFuzzer keeps as a crash) when the
// condition does not hold.
inline void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// A folder of its own for this fuzzing process, made on first use and removed when the process
// ends normally.
inline const std::filesystem::path& scratch_directory() {
    static const struct Scratch {
        std::filesystem::path path;
        Scratch() {
            std::string pattern = (std::filesystem::temp_directory_path() / "tunefuse-fuzz-XXXXXX").string();
            require(mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
            path = pattern;
        }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } scratch;
    return scratch.path;
}

// UTF-16 units from bytes taken two at a time, low byte first; an odd last byte is one unit.
inline host::Text text_from_bytes(const std::string& bytes) {
    host::Text text;
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (i + 1 < bytes.size() ? bytes[i + 1] & 0xFF : 0) << 8));
    return text;
}

// Replaces the file with the bytes; reads the whole file, empty when it cannot be read.
inline void write_file(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}
inline std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace fuzz
