// File handling shared by the command-line tools: whole-file reads, and writes that never
// leave a half-written file behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tools {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Reads the whole file. Returns false and sets `problem` when the file is missing, is not a
// regular file or cannot be read.
bool read_file(const fs::path& file, Bytes& bytes, std::string& problem);

// Replaces `file` with `bytes`: writes a fresh file beside it and renames it over the old one,
// so that on failure the old file (or its absence) is left exactly as it was.
bool replace_file(const fs::path& file, const Bytes& bytes, std::string& problem);

// Adds `bytes` at the end of `file`, creating it when missing, in one write. When the write
// fails the file is cut back to its old length.
bool append_file(const fs::path& file, const Bytes& bytes, std::string& problem);

// A path from UTF-8 text (the tools take their arguments as UTF-8 on every host).
fs::path path_from_utf8(const std::string& text);

// A path as UTF-8 text for messages.
std::string display_name(const fs::path& file);

}  // namespace tools
