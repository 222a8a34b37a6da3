#include "tool_files.hpp"

#include <fstream>
#include <random>

namespace tools {

namespace {

// A name beside `file` that nothing uses yet, for writing the new contents before the rename.
fs::path unused_name_beside(const fs::path& file) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const char* digits = "0123456789abcdef";
    // A name that always seems taken (the file system refuses to look it up) ends the search; the
    // write beside it then fails as it would anyway.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix = ".tmp-";
        for (int i = 0; i < 8; ++i) suffix += digits[random() % 16];
        fs::path candidate = file;
        candidate += suffix;
        std::error_code ignored;
        if (!fs::exists(candidate, ignored)) return candidate;
    }
    return {};
}

bool write_all(const fs::path& file, const Bytes& bytes, std::ios::openmode mode) {
    std::ofstream out(file, std::ios::binary | mode);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

}  // namespace

fs::path path_from_utf8(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string display_name(const fs::path& file) {
    std::u8string text = file.u8string();
    return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

bool read_file(const fs::path& file, Bytes& bytes, std::string& problem) {
    std::error_code error;
    if (!fs::exists(file, error)) {
        problem = "cannot find " + display_name(file);
        return false;
    }
    if (!fs::is_regular_file(file, error)) {
        problem = display_name(file) + " is not a file";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    if (in) bytes.assign(std::istreambuf_iterator<char>(in), {});
    if (!in || in.bad()) {
        problem = "cannot read " + display_name(file);
        return false;
    }
    return true;
}

bool replace_file(const fs::path& file, const Bytes& bytes, std::string& problem) {
    std::error_code error;
    if (fs::is_directory(file, error)) {
        problem = display_name(file) + " is a folder";
        return false;
    }
    fs::path fresh = unused_name_beside(file);
    if (!fresh.empty() && write_all(fresh, bytes, std::ios::trunc)) {
        fs::rename(fresh, file, error);
        if (!error) return true;
    }
    fs::remove(fresh, error);
    problem = "cannot write " + display_name(file);
    return false;
}

bool append_file(const fs::path& file, const Bytes& bytes, std::string& problem) {
    std::error_code error;
    bool existed = fs::exists(file, error);
    if (existed && !fs::is_regular_file(file, error)) {
        problem = display_name(file) + " is not a file";
        return false;
    }
    std::uintmax_t old_size = existed ? fs::file_size(file, error) : 0;
    if (error) {
        problem = "cannot read " + display_name(file);
        return false;
    }
    if (write_all(file, bytes, std::ios::app)) return true;
    // Whatever part of the write reached the file must not stay there.
    if (existed) {
        fs::resize_file(file, old_size, error);
    } else {
        fs::remove(file, error);
    }
    problem = "cannot write " + display_name(file);
    return false;
}

}  // namespace tools
