#include <cstdint>
#include <string>

#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "host/console.hpp"
#include "host/file_system.hpp"
#include "host/files.hpp"

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

// A tape is a run of blocks, each a two-byte length and that many bytes, that ends exactly at the
// end of the file. Anything else would give an output tape that does not load.
bool is_tape(const Text& path) {
    int tape = host::open_file(host::new_number, path, host::share_read | host::read_only);
    if (tape == 0) return false;
    std::int64_t size = host::file_length(tape);
    std::int64_t position = 0;
    while (position + 2 <= size) {
        std::uint8_t length[2] = {0, 0};
        if (!host::seek_file(tape, position) || host::read_block(tape, length, 2) != 2) break;
        std::int64_t block = length[0] | (length[1] << 8);
        if (block == 0) break;
        position += 2 + block;
    }
    host::close_file(tape);
    return position == size;
}

// The name field of the game's first header: ten bytes of UTF-8 text, so at most ten characters.
// It ends with the field, so that the length bytes after it never become part of the name.
Text read_game_name() {
    int game = host::open_file(host::new_number, fixed_names().game_tape, host::share_read | host::read_only);
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

    Text credits = run.banner_text + u"-" + host::trim_spaces(run.title) + u"/" +
                   host::trim_spaces(run.author) + u"/" + run.music_file_name;
    if (host::create_file(credits_file, in_program_directory(run, names.credits_file),
                          host::encoding_single_byte) == 0)
        note_problem(run,
                     u"could not write the credits file " + in_program_directory(run, names.credits_file));
    host::write_text_line(credits_file, credits);
    host::close_file(credits_file);
}

void create_loader(RunState& run) {
    const FixedNames& names = fixed_names();
    host::print_text(u"Creating Loader\t\t: ");
    run.loader_length = loader::compose_loader(*run.program, run.banner_text, run.title, run.author,
                                               run.music_file_name, run.screen_flag);
    if (host::file_size(names.game_tape) <= 0)
        note_problem(run, Text(names.game_tape) + u" is missing or empty");
    else if (!is_tape(names.game_tape))
        note_problem(run, Text(names.game_tape) + u" is not a tape file");
    run.game_name = read_game_name();
    int end = loader::build_header(*run.tape_image, run.game_name, run.loader_length);
    loader::write_tape(*run.tape_image, *run.program, names.loader_tape, end);
    if (host::file_size(names.loader_tape) != run.loader_length + 25)
        note_problem(run, u"could not write the loader tape " + Text(names.loader_tape));
    host::print_line(u"Done");
}

void report_music(RunState& run) {
    host::print_line(u"Music Author \t\t: " + run.author);
    host::print_line(u"Music Title\t\t: " + run.title);
}

}  // namespace driver
