// The loader's own tape image: a program header block that names the tape and starts the
// loader by itself, and the data block with the program's bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "host/text.hpp"
#include "loader/loader_program.hpp"

namespace loader {

inline constexpr int tape_image_slots = 65537;

// The tape image being built, one byte value (0 to 255) per slot.
struct TapeImage {
    std::vector<std::int32_t> slots = std::vector<std::int32_t>(tape_image_slots, 0);
};

// Fills slots 0 to 20 with the header block for a program named block_name (its first 10
// characters, padded with spaces) of loader_length bytes. Returns loader_length + 22.
int build_header(TapeImage& image, const Text& block_name, int loader_length);

// Completes the data block from the loader program and replaces the named file with slots 0 to
// end + 2. end is what build_header returned. True when the file holds the whole tape; false
// when the tape does not fit or the file could not be written whole (the cause is the host's
// last failure).
bool write_tape(TapeImage& image, const LoaderProgram& program, const Text& file_name, int end);

}  // namespace loader
