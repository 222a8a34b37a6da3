// The build driver: the one record of values the stages hand on to each other, and the
// master list of stages that makes a tape.
#pragma once

#include <cstdint>
#include <vector>

#include "host/text.hpp"

namespace driver {

using host::Text;

struct RunState {
    Text program_directory;           // directory of the program's own executable, ending in a separator
    Text music_path;                  // the chosen music module, as chosen (may be relative)
    Text music_file_name;             // the file part of the music path
    bool music_is_work_copy = false;  // the chosen module is the work copy itself
    int screen_flag = 0;              // 1 when a loading screen was found

    Text title;  // PT3 header fields of the chosen module as read, untrimmed
    Text author;
    Text game_name;                  // name from the game tape's header, trimmed; may be empty
    bool game_tape_missing = false;  // game.tap is missing or empty: the tape is a preview of the music

    // What kept the build from producing a complete tape, one entry per problem. Reported on
    // standard error after the closing lines; any entry makes the exit code 1.
    std::vector<Text> problems;
    // What may keep the tape from working although it is made, one entry each. Reported on
    // standard error before the problems; the exit code stays as the problems make it.
    std::vector<Text> warnings;
};

// Runs the master stage list once, from start-up to the closing lines, and returns the exit
// code the process ends with.
int run_build(RunState& run);

}  // namespace driver
