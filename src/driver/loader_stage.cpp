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
constexpr int game_name_characters = 10;

Text read_game_name() {
    int game = host::open_file(host::new_number, fixed_names().game_tape, host::share_read);
    if (game == 0) return {};
    host::seek_file(game, game_name_offset);
    Text name = host::trim_spaces(host::read_text(game, host::encoding_utf8, game_name_characters));
    host::close_file(game);
    return name;
}

}  // namespace

void read_music_credits(RunState& run) {
    const FixedNames& names = fixed_names();
    host::open_file(music_file, in_program_directory(run, names.music_work_copy), host::share_read);
    Text identification = host::read_text(music_file, host::encoding_single_byte, identification_characters);
    if (identification != u"ProTracker 3." && identification != u"Vortex Tracke")
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
