#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "host/console.hpp"
#include "host/failure.hpp"
#include "host/file_system.hpp"
#include "host/files.hpp"
#include "loader/game_tape_check.hpp"
#include "loader/loader_program.hpp"
#include "loader/tape_blocks.hpp"

namespace driver {

namespace {

// File numbers of the run.
constexpr int music_file = 0;
constexpr int credits_file = 2;

// A PT3 module starts with "ProTracker 3." or "Vortex Tracker II".
constexpr int identification_characters = 13;
constexpr int title_offset = 30;
constexpr int author_offset = 66;
constexpr int header_field_characters = 33;
constexpr int game_name_offset = 4;
constexpr int game_name_bytes = 10;

// The game tape's bytes for the check. They go when the check is done: the output tape needs
// only the blocks it carries, which the check copies out.
struct GameTapeBytes {
    std::unique_ptr<std::uint8_t[]> bytes;  // none when the tape could not be read whole
    std::size_t size = 0;
};

GameTapeBytes read_game_tape(const Text& path) {
    GameTapeBytes tape;
    // The user's game is only read.
    int file = host::open_file(host::new_number, path, host::share_read | host::read_only);
    if (file == 0) return tape;
    std::int64_t size = host::file_length(file);
    if (size > 0 && static_cast<std::uint64_t>(size) <= SIZE_MAX)
        tape.bytes.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size)]);
    if (tape.bytes && host::read_block(file, tape.bytes.get(), size) == size)
        tape.size = static_cast<std::size_t>(size);
    else
        tape.bytes.reset();
    host::close_file(file);
    return tape;
}

// The name field of the game's first header: ten bytes of UTF-8 text, so at most ten characters.
// It ends with the field, so that the length bytes after it never become part of the name.
Text read_game_name(const Text& path) {
    int game = host::open_file(host::new_number, path, host::share_read | host::read_only);
    if (game == 0) return {};
    std::uint8_t field[game_name_bytes] = {};
    host::seek_file(game, game_name_offset);
    std::int64_t got = host::read_block(game, field, game_name_bytes);
    host::close_file(game);
    std::string bytes(reinterpret_cast<const char*>(field), static_cast<std::size_t>(got));
    bytes = bytes.substr(0, bytes.find_first_of(std::string("\0\n\r", 3)));
    return host::trim_spaces(host::from_utf8(bytes));
}

}  // namespace

bool write_work_file(const Text& path, std::span<const std::uint8_t> bytes) {
    host::delete_file(path, host::delete_force);
    int file = host::create_file(host::new_number, path);
    if (file == 0) return false;
    std::int64_t size = static_cast<std::int64_t>(bytes.size());
    bool written = host::write_block(file, bytes.data(), size) == size;
    return host::close_file(file) != 0 && written;
}

std::vector<std::uint8_t> read_whole_file(const Text& path, std::int64_t most) {
    std::vector<std::uint8_t> bytes;
    int file = host::open_file(host::new_number, path, host::share_read | host::read_only);
    if (file == 0) return bytes;
    std::int64_t size = host::file_length(file);
    if (size > 0 && size <= most) bytes.resize(static_cast<std::size_t>(size));
    if (host::read_block(file, bytes.data(), static_cast<std::int64_t>(bytes.size())) !=
        static_cast<std::int64_t>(bytes.size()))
        bytes.clear();
    host::close_file(file);
    return bytes;
}

void read_music_credits(RunState& run) {
    const FixedNames& names = fixed_names();
    Text work_copy = in_program_directory(run, names.music_work_copy);
    // An absent or empty work copy has been reported as such; it says nothing about the module.
    bool have_module = host::file_size(work_copy) > 0;
    host::open_file(music_file, work_copy, host::share_read | host::read_only);
    Text identification = host::read_text(music_file, host::encoding_single_byte, identification_characters);
    if (have_module && identification != u"ProTracker 3." && identification != u"Vortex Tracke")
        note_problem(run, u"the music file is not a PT3 module: " + run.music_file_name);
    host::seek_file(music_file, title_offset);
    run.title = host::read_text(music_file, host::encoding_single_byte, header_field_characters);
    host::seek_file(music_file, author_offset);
    run.author = host::read_text(music_file, host::encoding_single_byte, header_field_characters);
    host::close_file(music_file);

    // (Appended piece by piece: GCC 12 sees an overlap that is not there in one long sum of texts.)
    Text credits = banner;
    for (const Text& piece : {Text(u"-"), host::trim_spaces(run.title), Text(u"/"),
                              host::trim_spaces(run.author), Text(u"/"), run.music_file_name})
        credits += piece;
    bool written = host::create_file(credits_file, in_program_directory(run, names.credits_file),
                                     host::encoding_single_byte) != 0;
    if (written) host::write_text_line(credits_file, credits);
    if (!written || host::close_file(credits_file) == 0)
        note_problem(run, u"could not write the credits file " +
                              in_program_directory(run, names.credits_file) + because());
}

loader::GameStart check_game_tape(RunState& run) {
    const FixedNames& names = fixed_names();
    const Text path = in_program_directory(run, names.game_tape);
    // No game: the tape becomes a preview of the music (see preview_game).
    if (host::file_size(path) <= 0) {
        run.game_tape_missing = true;
        return {};
    }
    host::forget_failure();
    GameTapeBytes tape = read_game_tape(path);
    if (!tape.bytes) {
        note_problem(run, u"could not read " + Text(names.game_tape) + because());
        return {};
    }
    std::span<const std::uint8_t> bytes(tape.bytes.get(), tape.size);
    loader::GameTapeCheck check = loader::check_game_tape(bytes, names.game_tape, run.screen_flag == 1);
    for (const loader::GameTapeFinding& finding : check.findings) {
        if (finding.severity == loader::Severity::error)
            note_problem(run, finding.text);
        else
            note_warning(run, finding.text);
    }
    return std::move(check.start);
}

void prepare_game_start(RunState& run, const loader::GameStart& game) {
    const FixedNames& names = fixed_names();
    // The game's own loading screen, when the user gave none: the loader shows it as it would.
    if (!game.screen.empty()) {
        run.screen_flag = 1;
        host::print_line(Text(u"Found screen\t\t: ") + names.game_tape);
        if (!write_work_file(in_program_directory(run, names.screen_copy), game.screen))
            note_problem(run,
                         u"could not write the loading screen to " + Text(names.screen_copy) + because());
    }
    // A tape that gave no table (missing, broken) still gets a player that assembles.
    const std::vector<std::uint8_t> table =
        game.launch_table.empty() ? loader::plain_launch_table() : game.launch_table;
    Text path = in_program_directory(run, names.launch_table);
    if (!write_work_file(path, table)) note_problem(run, u"could not write " + path + because());
}

int create_loader(RunState& run) {
    const FixedNames& names = fixed_names();
    host::print_text(u"Creating Loader\t\t: ");
    loader::LoaderProgram program;
    loader::build_token_texts(program);
    const int length =
        loader::compose_loader(program, banner, run.title, run.author, run.music_file_name, run.screen_flag);
    run.game_name = read_game_name(in_program_directory(run, names.game_tape));
    loader::TapeImage image;
    int end = loader::build_header(image, run.game_name, length);
    host::forget_failure();
    const Text tape = in_program_directory(run, names.loader_tape);
    bool written = loader::write_tape(image, program, tape, end);
    if (!written || host::file_size(tape) != length + 25)
        note_problem(run, u"could not write the loader tape " + Text(names.loader_tape) + because());
    host::print_line(u"Done");
    return length;
}

void report_music(RunState& run) {
    host::print_line(u"Music Author \t\t: " + run.author);
    host::print_line(u"Music Title\t\t: " + run.title);
}

}  // namespace driver
