// Every fixed file name, tool and command line of the run, in the host's own form.
#pragma once

#include "host/text.hpp"

namespace driver {

using host::Text;

struct FixedNames {
    const char16_t* default_music;     // music module used when no parameter is given
    const char16_t* music_work_copy;   // the chosen module, copied into the work folder
    const char16_t* compressed_music;  // what the compressor leaves: the work copy + ".zx7"
    const char16_t* credits_file;      // the one-line credits text the player shows
    const char16_t* launch_table;      // what the player does once before the game starts
    const char16_t* player_source;     // the music player's assembly source
    const char16_t* player_code;       // the assembled player
    const char16_t* loading_screen;    // optional loading screen, relative
    const char16_t* screen_copy;       // its copy handed to bin2tap, relative
    const char16_t* game_tape;         // the user's game, relative
    const char16_t* loader_tape;       // loader, screen and player blocks, relative
    const char16_t* tape_extension;    // of the output tape
    const char16_t* unnamed_game;      // output name when the game tape gives none
    const char16_t* compressor;        // the external tools
    const char16_t* assembler;
    const char16_t* tape_maker;
    const char16_t* assembler_options;  // put before the source path
    const char16_t* tape_append;        // bin2tap's options before the input path
    const char16_t* screen_address;     // bin2tap's load-address options after the input path
    const char16_t* player_address;
    const char16_t* tape_opener;          // the program that opens a tape by the host's association
    const char16_t* tape_opener_options;  // put before the tape's path
    const char16_t* work_lock;            // locked while a build uses the work files; it stays
    const char16_t* work_folder;          // where the work copies of the further tunes go
    const char16_t* tune_stem;            // further tunes: tune_stem, their number, tune_extension
    const char16_t* tune_extension;
    const char16_t* compressed_suffix;  // what the compressor adds to its input's name
    const char16_t* tunes_source;       // where each tune lies, for the player source
    const char16_t* music_notes;        // beside the tape: its name, then this
    const char16_t* preview_source;     // the little game of a tape with no game of its own
    const char16_t* preview_code;       // the assembled preview game
    const char16_t* tune_titles;        // the tunes' titles, for the preview game
    const char16_t* effects_bank;       // optional sound effects, in the program directory
    const char16_t* effects_work_copy;  // their checked copy, for the player source
};

// The names for the host the program was built for.
const FixedNames& fixed_names();

}  // namespace driver
