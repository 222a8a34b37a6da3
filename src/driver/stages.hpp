// The stages of the build, in the order the master list runs them.
#pragma once

#include "driver/run_state.hpp"
#include "loader/game_tape_check.hpp"

namespace driver {

// Start-up and music intake (intake.cpp).
void start_up(RunState& run);
bool wait_for_our_turn(RunState& run);
void show_banner(RunState& run);
void choose_music(RunState& run);
void copy_music_to_work_folder(RunState& run);
void detect_loading_screen(RunState& run);
int end_process(RunState& run);

// Music metadata, the game tape and the loader (loader_stage.cpp).
void read_music_credits(RunState& run);
// The game tape's check: what the output tape carries of the game (empty when there is none).
loader::GameStart check_game_tape(RunState& run);
// Writes the launch table the player carries, and the game's own loading screen when it is used.
void prepare_game_start(RunState& run, const loader::GameStart& game);
void create_loader(RunState& run);
void report_music(RunState& run);

// The external tools (tool_stages.cpp).
void compress_music(RunState& run);
void assemble_player(RunState& run);
void build_tapes(RunState& run);

// The finished tape played in the built-in Spectrum: warnings for what stops the music, and the
// game's blocks to write, with an IM 1 mended when that keeps it on (check_stage.cpp).
std::vector<std::uint8_t> check_music_under_game(RunState& run, const loader::GameStart& game);

// Output tape, clean-up and launch (output_stage.cpp).
void write_output_tape(RunState& run, const std::vector<std::uint8_t>& game_blocks);
void clean_up(RunState& run);
void launch_tape(RunState& run);
void say_goodbye(RunState& run);

// A size line of the report: the label, then N, " bytes (~ ", N / 1024 and "kb)".
Text size_line(const Text& label, std::int64_t size);

// The program directory followed by a fixed relative name.
Text in_program_directory(const RunState& run, const char16_t* relative_name);

// Notes a problem that keeps the build from producing a complete tape. A problem already noted
// is not noted twice.
void note_problem(RunState& run, const Text& what);

// Why the host's last operation failed, as ": " and the cause in the user's words; empty when
// the host noted no cause. The cause is forgotten then, so that it cannot be given twice.
Text because();

// Notes something that may keep the tape from working, although it is made.
void note_warning(RunState& run, const Text& what);

}  // namespace driver
