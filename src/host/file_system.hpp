// Whole-file operations by name: size (also how the program asks whether a file exists),
// copy, delete, and the current directory. None of them prints; each answers only through
// its result, and a copy, delete or change of directory the system refuses leaves its cause in
// last_failure() (failure.hpp). A missing file is an answer of file_size, not a failure.
#pragma once

#include <cstdint>

#include "host/text.hpp"

namespace host {

inline constexpr std::int64_t no_such_file = -1;
inline constexpr std::int64_t is_directory = -2;

// The size in bytes; -1 for a missing file or an empty name; -2 for a directory (with or
// without trailing separators). The separators are the host's own: "\" and "/" on Windows,
// "/" alone elsewhere, where "\" is an ordinary character of a file or folder name. A name
// holding wildcards ("*", "?") is looked up as a pattern and gives the size of the first
// matching entry.
std::int64_t file_size(const Text& name);

// True when both names lead to one and the same existing file.
bool same_file(const Text& first, const Text& second);

// Copies a file, replacing an existing target. Non-zero on success, 0 on failure, when either
// name is empty, or when both name the same file (which is left as it is).
int copy_file(const Text& source, const Text& target);

// Makes the path the current directory; a trailing separator is accepted. Non-zero on
// success, 0 on failure or for an empty path.
int set_current_directory(const Text& path);

inline constexpr int delete_plain = 0;
inline constexpr int delete_force = 2;  // remove a write-protected file as well

// Deletes a file. Non-zero on success, 0 on failure or for an empty name. Plain deletion
// leaves a write-protected file in place.
int delete_file(const Text& name, int options = delete_plain);

}  // namespace host
