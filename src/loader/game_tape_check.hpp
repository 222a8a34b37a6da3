// The game tape as the loader will meet it. The loader's LOAD "" CODE takes the first code
// block on the game tape (a BASIC program and its data before it are skipped) and loads it at the
// address in its header; RANDOMIZE USR 32000 then starts the game, with the music player already
// in 25500 to 31999. A tape that breaks this contract fails on a real Spectrum or works by luck,
// so the build checks it before it joins the tapes.
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

enum class Severity {
    error,    // the tape would not load or not start: no output tape is made
    warning,  // the game starts only by luck: the tape is made
};

struct GameTapeFinding {
    Severity severity;
    Text text;  // one line for the user: the block, what is wrong with it and what to change
};

// Checks a game tape's bytes against what the loader does with them. tape_name is how the texts
// name the tape. Returns nothing for a good tape (first code block at exactly 32000, ending by
// 65535), else the findings in a fixed order: a tape that is not a run of whole blocks gives that
// alone; a first code block that is missing, headerless or damaged gives that alone; one that is
// whole gives an error per broken rule, or a warning when it merely lies above 32000. Blocks after
// the first code block are not judged: the game may load them itself.
std::vector<GameTapeFinding> check_game_tape(std::span<const std::uint8_t> tape, const Text& tape_name);

}  // namespace loader
