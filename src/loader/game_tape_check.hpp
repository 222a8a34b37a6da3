// The game tape as the loader will meet it, and what the output tape carries of it. The loader's
// LOAD "" CODE takes the game's first code block, the player's start entry then does the rest
// of what the game's own BASIC loader did (further code blocks, POKEs, colours, the jump to the
// game's start), and RANDOMIZE USR 32000 starts the game, with the music player in 25500 to
// 31999. A tape that breaks this contract fails on a real Spectrum or works by luck, so the
// build checks it before it joins the tapes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/text.hpp"
#include "loader/memory_map.hpp"

namespace loader {

using host::Text;

// The loader's side of the contract: player_first_address, player_last_address and
// game_start_address, from the memory map.

// The most bytes the player carries for the launch (see asm/tunefuse.asm).
inline constexpr std::size_t launch_table_most = 64;

enum class Severity {
    error,    // the tape would not load or not start: no output tape is made
    warning,  // the tape is made, but may not start the game as its own loader does
};

struct GameTapeFinding {
    Severity severity;
    Text text;  // one line for the user: the block or line, what is wrong and what to change
};

// What the output tape carries of the game.
struct GameStart {
    // The TAP bytes that follow the loader's own blocks: the game's first code block, then the
    // data blocks the player's start entry loads, then whatever blocks the game loads itself.
    std::vector<std::uint8_t> game_blocks;
    // What the player's start entry does once, before the game starts: the launch table.
    std::vector<std::uint8_t> launch_table;
    // The picture the game's own loader shows with LOAD "" SCREEN$, 6912 bytes, or none.
    std::vector<std::uint8_t> screen;
};

struct GameTapeCheck {
    std::vector<GameTapeFinding> findings;
    GameStart start;  // complete only when no finding is an error
};

// The launch table of a game that starts at 32000 with the ROM's colours, and nothing more to
// load: what a game tape with no loader of its own gets.
std::vector<std::uint8_t> plain_launch_table();

// Checks a game tape's bytes against what the loader does with them and works out what the
// output tape carries. tape_name is how the texts name the tape; screen_file says that the user
// gave a loading screen of their own, which then wins over the tape's.
//
// When the tape begins with a BASIC program, that program is followed (see game_loader.hpp):
// its code blocks, POKEs, colours and entry. What it cannot follow it names in a warning, and
// the tape is then taken as one with no loader of its own: the first code block loads at its
// header's address and starts there. A good tape gets no finding.
GameTapeCheck check_game_tape(std::span<const std::uint8_t> tape, const Text& tape_name, bool screen_file);

}  // namespace loader
