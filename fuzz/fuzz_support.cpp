#include "fuzz_support.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace fuzz {

namespace {

// The folder goes when the process ends normally.
struct Scratch {
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
};

}  // namespace

const std::filesystem::path& scratch_directory() {
    static const Scratch scratch;
    return scratch.path;
}

host::Text text_from_bytes(const std::string& bytes) {
    host::Text text;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        unsigned low = static_cast<unsigned char>(bytes[i]);
        unsigned high = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        text.push_back(static_cast<char16_t>(low | (high << 8)));
    }
    return text;
}

void write_file(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace fuzz
