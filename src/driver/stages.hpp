// The stages of the build, in the order the master list runs them.
#pragma once

#include <span>

#include "driver/run_state.hpp"
#include "loader/game_tape_check.hpp"
#include "loader/music_layout.hpp"

namespace driver {

// The banner's first line, also the start of the credits the player shows.
extern const char16_t banner[];

// One tune of the tape. Tune 1 is the chosen module; tunes 2 to 9 are music2.pt3 to music9.pt3
// in the program directory.
struct Tune {
    Text file_name;  // as the texts name it
    Text work_copy;  // the module (its first one, of a TurboSound file) in the work folder
    Text title;      // from the module's header, trimmed
    loader::TuneSize size;
    loader::TunePlace place;
};

// Start-up and music intake (intake.cpp).
void start_up(RunState& run);
bool wait_for_our_turn(RunState& run);
void show_banner(RunState& run);
void choose_music(RunState& run);
void copy_music_to_work_folder(RunState& run);
// Leaves only the first module of a TurboSound work copy, with a warning that names the file.
void keep_first_module(RunState& run, const Text& work_copy, const Text& file_name);
void detect_loading_screen(RunState& run);
int end_process(RunState& run);

// Music metadata, the game tape and the loader (loader_stage.cpp).
void read_music_credits(RunState& run);
// The game tape's check: what the output tape carries of the game (empty when there is none).
loader::GameStart check_game_tape(RunState& run);
// Writes the launch table the player carries, and the game's own loading screen when it is used.
void prepare_game_start(RunState& run, const loader::GameStart& game);
// Writes the loader tape and returns the loader program's length.
int create_loader(RunState& run);
void report_music(RunState& run);

// The tunes (tunes_stage.cpp): tune 1, then the further ones found, copied and compressed.
std::vector<Tune> gather_tunes(RunState& run);
// The sound effects beside the program (sfx.afb), checked, copied and compressed for the player
// source; they travel as a tune does. Size 0 when there are none or they cannot be used.
Tune take_effects(RunState& run);
// Decides where each tune and the effects lie and tells the player source (bin/tunes.asm).
void place_tunes(RunState& run, std::vector<Tune>& tunes, Tune& effects);
// The compressed blocks of the banked tunes, then of banked effects, as TAP bytes, in the order
// init loads them.
std::vector<std::uint8_t> music_blocks(RunState& run, const std::vector<Tune>& tunes, const Tune& effects);
// With no game tape: our own little game that shows the tunes and plays each on its number key.
loader::GameStart preview_game(RunState& run, const std::vector<Tune>& tunes);
// The text beside the output tape that says which tune lies where.
void write_music_notes(RunState& run, const std::vector<Tune>& tunes);

// The external tools (tool_stages.cpp).
void compress_music(RunState& run);
// Compresses one further tune, or the sound effects; true when the compressed file was made, else
// the problem is noted.
bool compress_tune(RunState& run, const Tune& tune);
void assemble_player(RunState& run);
// Assembles the preview game; true when it was made.
bool assemble_preview(RunState& run);
void build_tapes(RunState& run);

// The finished tape played in the built-in Spectrum: warnings for what stops the music, and the
// game's blocks to write, with an IM 1 mended when that keeps it on (check_stage.cpp).
std::vector<std::uint8_t> check_music_under_game(RunState& run, const loader::GameStart& game,
                                                 const std::vector<std::uint8_t>& music,
                                                 const std::vector<Tune>& tunes, const Tune& effects);

// Output tape, clean-up and launch (output_stage.cpp).
void write_output_tape(RunState& run, const std::vector<std::uint8_t>& music,
                       const std::vector<std::uint8_t>& game_blocks);
void clean_up(RunState& run, const std::vector<Tune>& tunes);
void launch_tape(RunState& run);
void say_goodbye(RunState& run);

// A size line of the report: the label, then N, " bytes (~ ", N / 1024 and "kb)".
Text size_line(const Text& label, std::int64_t size);

// The program directory followed by a fixed relative name.
Text in_program_directory(const RunState& run, const char16_t* relative_name);
Text in_program_directory(const RunState& run, const Text& relative_name);

// Replaces a work file with the given bytes. False when it could not be written whole.
bool write_work_file(const Text& path, std::span<const std::uint8_t> bytes);

// The whole of a file, or nothing when it cannot be read whole or is longer than `most` bytes.
std::vector<std::uint8_t> read_whole_file(const Text& path, std::int64_t most);

// Notes a problem that keeps the build from producing a complete tape. A problem already noted
// is not noted twice.
void note_problem(RunState& run, const Text& what);

// Why the host's last operation failed, as ": " and the cause in the user's words; empty when
// the host noted no cause. The cause is forgotten then, so that it cannot be given twice.
Text because();

// Notes something that may keep the tape from working, although it is made.
void note_warning(RunState& run, const Text& what);

}  // namespace driver
