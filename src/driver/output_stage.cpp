#include <algorithm>
#include <array>
#include <new>
#include <vector>

#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "host/console.hpp"
#include "host/failure.hpp"
#include "host/file_lock.hpp"
#include "host/file_system.hpp"
#include "host/files.hpp"
#include "host/platform.hpp"
#include "host/process.hpp"

namespace driver {

namespace {

// File numbers of the join.
constexpr int loader_tape_file = 5;
constexpr int game_tape_file = 6;
constexpr int output_tape_file = 7;

// Characters no Windows file name may hold; a tape named with one of them is refused on every
// host, so that a tape makes the same output everywhere.
constexpr char16_t forbidden_in_names[] = u"<>:\"/\\|?*";

// Names Windows keeps for devices, with or without an extension: a tape named so would go to
// the device instead of a file.
bool device_name(const Text& name) {
    Text base = host::trim_spaces(name.substr(0, name.find(u'.')));
    for (char16_t& unit : base)
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
    if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL") return true;
    return base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT")) && base[3] >= u'1' &&
           base[3] <= u'9';
}

// The game name comes from a tape the user may have downloaded: it must name a file in the
// program directory and nothing else.
bool usable_as_file_name(const Text& name) {
    if (name.empty() || name == u"." || name == u".." || device_name(name)) return false;
    for (char16_t unit : name) {
        if (unit < 0x20 || Text(forbidden_in_names).find(unit) != Text::npos) return false;
    }
    return true;
}

// The length of an open tape for the join; a tape that could not be opened counts as empty.
std::int32_t tape_length(RunState& run, int number, const char16_t* name) {
    std::int64_t length = host::file_length(number);
    if (length >= 0 && length <= INT32_MAX) return static_cast<std::int32_t>(length);
    note_problem(run, u"could not read " + Text(name) + because());
    return 0;
}

// The output tape's bytes: the loader tape's, then the music's blocks and the game's. Empty when
// the loader tape could not be read whole.
std::vector<std::uint8_t> join_tapes(RunState& run, std::int32_t loader_length,
                                     const std::vector<std::uint8_t>& music,
                                     const std::vector<std::uint8_t>& game_blocks) {
    std::vector<std::uint8_t> joined;
    const std::size_t total = static_cast<std::size_t>(loader_length) + music.size() + game_blocks.size();
    try {
        joined.resize(total);
    } catch (const std::bad_alloc&) {
        note_problem(run, u"not enough memory to join the tapes");
        return {};
    }
    if (host::read_block(loader_tape_file, joined.data(), loader_length) != loader_length) {
        note_problem(run, u"could not read the tapes whole");
        return {};
    }
    auto at = std::copy(music.begin(), music.end(), joined.begin() + loader_length);
    std::copy(game_blocks.begin(), game_blocks.end(), at);
    return joined;
}

void write_joined_tape(RunState& run, const std::vector<std::uint8_t>& joined) {
    Text output_name = run.game_name + fixed_names().tape_extension;
    // A build that has gone wrong makes no tape that would not load, and leaves a good tape from
    // an earlier run as it was. As with any tape not made, its name is not printed.
    if (!run.problems.empty()) {
        note_problem(run, u"no output tape was written: " + output_name);
        return;
    }
    if (!usable_as_file_name(run.game_name)) {
        note_problem(run, u"could not create the output tape " + output_name + u": not a usable file name");
        return;
    }
    if (host::create_file(output_tape_file, in_program_directory(run, output_name.c_str())) == 0) {
        note_problem(run, u"could not create the output tape " + output_name + because());
        return;
    }
    Text output_path = in_program_directory(run, output_name.c_str());
    host::forget_failure();
    const std::int64_t total = static_cast<std::int64_t>(joined.size());
    std::int64_t written = total == 0 ? 0 : host::write_block(output_tape_file, joined.data(), total);
    // The last bytes reach the disk only when the file is closed: judge the tape by what is there.
    bool closed = host::close_file(output_tape_file) != 0;
    if (written != total || !closed || host::file_size(output_path) != total)
        note_problem(run, u"could not write the output tape " + output_name + because());
    host::print_text(output_name);
}

}  // namespace

void write_output_tape(RunState& run, const std::vector<std::uint8_t>& music,
                       const std::vector<std::uint8_t>& game_blocks) {
    const FixedNames& names = fixed_names();
    if (run.game_name.empty()) run.game_name = names.unnamed_game;
    host::open_file(loader_tape_file, in_program_directory(run, names.loader_tape));
    // Held open while the output tape is made, the user's game cannot be taken for the output
    // tape by a game that names itself after it: the file layer refuses to create an open file.
    host::open_file(game_tape_file, in_program_directory(run, names.game_tape), host::read_only);
    const std::int32_t loader_length = tape_length(run, loader_tape_file, names.loader_tape);
    write_joined_tape(run, join_tapes(run, loader_length, music, game_blocks));
    host::close_file(output_tape_file);
    host::close_file(game_tape_file);
    host::close_file(loader_tape_file);
    host::print_line(u" Done");
}

void clean_up(RunState& run, const std::vector<Tune>& tunes) {
    const FixedNames& names = fixed_names();
    host::print_text(u"Clean up\t\t: ");
    const std::array<const char16_t*, 11> intermediates = {
        names.loader_tape,  names.player_code,     names.screen_copy,      names.credits_file,
        names.launch_table, names.music_work_copy, names.compressed_music, names.tunes_source,
        names.preview_code, names.tune_titles,     names.effects_work_copy};
    // The intermediates are the run's own files, so a write-protected one goes too and cannot
    // stand in the way of the next run.
    for (const char16_t* name : intermediates) {
        if (name == names.music_work_copy && run.music_is_work_copy) continue;
        host::delete_file(in_program_directory(run, name), host::delete_force);
    }
    host::delete_file(in_program_directory(run, names.effects_work_copy) + names.compressed_suffix,
                      host::delete_force);
    for (std::size_t n = 1; n < tunes.size(); ++n) {
        host::delete_file(tunes[n].work_copy, host::delete_force);
        host::delete_file(tunes[n].work_copy + names.compressed_suffix, host::delete_force);
    }
    // The work files are done with: the next build in this folder may start.
    host::release_lock_file();
    host::print_line(u"Done");
}

void launch_tape(RunState& run) {
    const FixedNames& names = fixed_names();
    host::set_colour(11, 0);
    host::print_line(u"");
    host::print_line(u"Trying to launch...");
    Text tape = in_program_directory(run, (run.game_name + names.tape_extension).c_str());
    // A build that went wrong made no tape: opening one left from an earlier run would look like
    // success. Opening the tape is a courtesy, not part of the build: a host without an opener is
    // fine.
    if (!run.problems.empty()) return;
    host::start_program(names.tape_opener, names.tape_opener_options + host::opener_argument(tape),
                        run.program_directory, host::start_wait);
}

void say_goodbye(RunState&) {
    host::set_colour(12, 0);
    host::print_line(u"");
    host::print_line(u"KTHNXBAI!");
    host::set_colour(9, 0);
    host::print_line(u"20/07/17 01:17am zorbel");
    // Time to read the report in a console window that closes when the program ends; a file or a
    // pipe has no reader to wait for.
    if (host::output_is_console()) host::pause(2000);
    host::set_colour(7, 0);
}

}  // namespace driver
