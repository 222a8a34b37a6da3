// The game tapes the build checks against what its loader does with them, and what it says about
// each: one table for the checker's own test and the end-to-end suites of every host.
#pragma once

#include <string>
#include <vector>

#include "test_support.hpp"

namespace test {

struct GameTapeCase {
    std::string label;
    Bytes tape;           // the whole game.tap
    std::string error;    // the checker's error, without "tunefuse: error: "; empty when there is none
    std::string warning;  // the checker's warning, without "tunefuse: warning: "; empty when there is none
    std::string output;   // the output tape named after the game: made when there is no error
};

// Small tapes made here, one or more to each rule of the check, and the public tapes of the
// shared corpus when it is there.
std::vector<GameTapeCase> game_tape_cases();

// All the build writes on standard error for the case, with LF line ends: the warning, then the
// error and that no output tape was written.
std::string game_tape_messages(const GameTapeCase& game_tape_case);

}  // namespace test
