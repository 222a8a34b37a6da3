// The tokenised ZX Spectrum BASIC loader that starts the tape: it clears memory below the
// player, loads the optional screen, the player and the game, and calls into them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/text.hpp"

namespace loader {

using host::Text;

inline constexpr int program_buffer_slots = 65537;

// The loader program being built. Slots 1 to loader_length of the buffer hold the program;
// slot 0 is never written.
struct LoaderProgram {
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(program_buffer_slots, 0);
    int write_position = 0;
    int line_counter = 0;
    int loader_length = 0;
    std::array<Text, 5> token_texts;  // token texts 1 to 5, at indexes 0 to 4
};

// Expands the stored token line table into the five token texts. Called once at start-up.
void build_token_texts(LoaderProgram& program);

// Appends one tokenised line: number high byte first, length low byte first (the closing 0x0D
// counted), then one byte per character, a character 0xD3 stored as 0x00. Returns the new
// program length. A line that would not fit in the buffer is left out.
int add_line(LoaderProgram& program, int number, const Text& text);

// Adds the whole loader line list (the extra LOAD "" CODE for the screen only when screen_flag
// is 1) and returns the loader length.
int compose_loader(LoaderProgram& program, const Text& banner_text, const Text& title, const Text& author,
                   const Text& music_file_name, int screen_flag);

}  // namespace loader
