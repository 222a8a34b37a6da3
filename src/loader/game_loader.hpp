// What a game tape's own BASIC loader does: the author's statement of where the game's blocks
// load and where it starts. The statements such loaders are made of are followed as the
// Spectrum runs them, from the autostart line: CLEAR, CLS, BORDER, PAPER, INK, BRIGHT, FLASH,
// POKE, LOAD "" CODE (with or without address and length), LOAD "" SCREEN$, GO TO and the
// first USR, which starts the game. Numbers count as the Spectrum counts them: a number's
// hidden five-byte form, VAL "...", and the small expressions loaders hide numbers in
// (NOT PI, SGN PI, CODE "o", sums and products).
#pragma once

#include <vector>

#include "loader/tape_file.hpp"

namespace loader {

struct LoaderStep {
    enum class Kind { load, poke };
    Kind kind = Kind::load;
    int line = 0;            // the BASIC line it comes from
    std::size_t header = 0;  // load: the index of the code header in the blocks; its data follows
    int address = 0;         // load: where it loads; poke: the address
    int length = 0;          // load: the bytes it loads
    bool screen = false;     // load: LOAD "" SCREEN$, or CODE of a whole screen at 16384
    int value = 0;           // poke: the byte
};

struct GameLoader {
    bool present = false;  // the tape begins with a BASIC program and its data
    Text name;             // that program's name
    // Where following stopped short of the game's start, and why: a sentence such as "it writes
    // to a port with OUT (128K paging)". Empty when the loader was followed to its USR.
    int stopped_line = 0;
    Text stopped_because;
    std::vector<LoaderStep> steps;  // in the order the loader takes them
    int entry = -1;                 // the address its USR starts
    int border = 7, paper = 7, ink = 0, bright = 0, flash = 0;
    bool screen_cleared = false;  // the last thing it did to the screen was CLS or CLEAR
    std::size_t blocks_used = 0;  // blocks up to and including the last one it loaded
    int program_length = 0;       // the program's bytes, which lie from 23755 while it runs

    bool followed() const { return present && stopped_because.empty(); }
};

// Follows the BASIC program the tape begins with, if any.
GameLoader read_game_loader(const std::vector<TapeBlock>& blocks);

}  // namespace loader
