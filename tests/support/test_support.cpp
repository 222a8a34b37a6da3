#include "test_support.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {

Bytes read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    // In one read: the end-to-end suites compare whole program directories, programs included.
    const std::streamoff size = in.tellg();
    Bytes bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
    in.seekg(0);
    if (size < 0 ||
        !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot read " + file.string());
    return bytes;
}

std::string read_string(const fs::path& file) {
    Bytes bytes = read_bytes(file);
    return std::string(bytes.begin(), bytes.end());
}

void write_bytes(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + file.string());
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_string(const fs::path& file, const std::string& text) {
    write_bytes(file, bytes_of(text));
}

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes hex_bytes(const std::string& hex) {
    Bytes bytes;
    std::istringstream in(hex);
    std::string item;
    while (in >> item) bytes.push_back(static_cast<std::uint8_t>(std::stoul(item, nullptr, 16)));
    return bytes;
}

fs::path kit_dir() {
    return TUNEFUSE_KIT_DIR;
}
fs::path helpers_dir() {
    return TUNEFUSE_HELPERS_DIR;
}
fs::path helper(const std::string& name) {
    return helpers_dir() / (name + TUNEFUSE_EXE_SUFFIX);
}
fs::path source_dir() {
    return TUNEFUSE_SOURCE_DIR;
}

std::optional<fs::path> shared_dir() {
    fs::path dir = TUNEFUSE_SHARED_DIR;
    if (fs::is_directory(dir)) return dir;
    return std::nullopt;
}

std::optional<fs::path> corpus_dir() {
    auto shared = shared_dir();
    if (shared && fs::is_directory(*shared / "corpus")) return *shared / "corpus";
    return std::nullopt;
}

void lay_out_program_directory(const fs::path& dir) {
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "tools");
    fs::create_directories(dir / "asm");
    fs::copy_file(kit_dir() / ("tunefuse" TUNEFUSE_EXE_SUFFIX), dir / ("tunefuse" TUNEFUSE_EXE_SUFFIX),
                  fs::copy_options::overwrite_existing);
}

}  // namespace test
