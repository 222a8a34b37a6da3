#include <algorithm>

#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "host/command_line.hpp"
#include "host/console.hpp"
#include "host/failure.hpp"
#include "host/file_lock.hpp"
#include "host/file_system.hpp"
#include "host/process.hpp"

namespace driver {

namespace {

constexpr char16_t download_page[] = u"https://tunefuse.zxkit.org/download";
constexpr char16_t community_page[] = u"https://groups.zxkit.org/tunefuse";

// The Spectrum's display file and attributes.
constexpr std::int64_t screen_bytes = 6912;

// How long a build waits for another one in its folder, and how often it looks again.
constexpr int longest_wait_minutes = 10;
constexpr int look_again_milliseconds = 100;

}  // namespace

const char16_t banner[] = u"Tunefuse 1.6.1 Kestrin 2017";

Text size_line(const Text& label, std::int64_t size) {
    return label + host::decimal_text(size) + u" bytes (~ " + host::decimal_text(host::kilobytes(size)) +
           u"kb)";
}

Text in_program_directory(const RunState& run, const char16_t* relative_name) {
    return run.program_directory + relative_name;
}

Text in_program_directory(const RunState& run, const Text& relative_name) {
    return run.program_directory + relative_name;
}

void note_problem(RunState& run, const Text& what) {
    if (std::find(run.problems.begin(), run.problems.end(), what) == run.problems.end())
        run.problems.push_back(what);
}

Text because() {
    Text words = host::failure_words(host::last_failure());
    host::forget_failure();
    return words.empty() ? words : u": " + words;
}

void note_warning(RunState& run, const Text& what) {
    run.warnings.push_back(what);
}

void start_up(RunState& run) {
    run = RunState{};
    host::init_process_layer();
    host::open_console();
}

// The work files have fixed names, so builds in one program directory take turns with them. A
// lock that cannot be had for any other reason than another build (no bin/ folder, a file system
// without locks) does not stop the build: the work files then say what is wrong, if anything.
bool wait_for_our_turn(RunState& run) {
    const Text lock = host::program_directory() + fixed_names().work_lock;
    host::LockResult result = host::try_lock_file(lock);
    if (result == host::LockResult::held_elsewhere)
        host::print_error_line(u"tunefuse: waiting for another build in this folder to finish");
    for (int waited = 0; result == host::LockResult::held_elsewhere && waited < longest_wait_minutes * 60000;
         waited += look_again_milliseconds) {
        host::pause(look_again_milliseconds);
        result = host::try_lock_file(lock);
    }
    if (result != host::LockResult::held_elsewhere) return true;
    note_problem(run, u"gave up after " + host::decimal_text(longest_wait_minutes) +
                          u" minutes of waiting for another build in this folder (it holds " + lock + u")");
    return false;
}

void show_banner(RunState&) {
    host::set_colour(15, 0);
    host::print_line(banner);
    host::set_colour(14, 0);
    host::print_line(download_page);
    host::print_line(community_page);
    host::print_line(u"");
    host::set_colour(10, 0);
}

void choose_music(RunState& run) {
    const Text first_parameter = host::program_parameter(0);
    run.program_directory = host::program_directory();
    // A relative parameter is taken as it stands: the working directory is still the one the
    // program was started in.
    if (first_parameter.empty())
        run.music_path = in_program_directory(run, fixed_names().default_music);
    else
        run.music_path = first_parameter;
    run.music_file_name = host::file_part(run.music_path);
    host::print_line(u"Music file selected \t: " + run.music_file_name);
    std::int64_t size = host::file_size(run.music_path);
    host::print_line(size_line(u"Music file size     \t: ", size));
    if (size == host::no_such_file) note_problem(run, u"music file not found: " + run.music_path);
    if (size == host::is_directory) note_problem(run, u"music file is a folder: " + run.music_path);
    if (size == 0) note_problem(run, u"music file is empty: " + run.music_path);
}

void copy_music_to_work_folder(RunState& run) {
    Text work_copy = in_program_directory(run, fixed_names().music_work_copy);
    // A module chosen from the work folder itself is the user's file: it is neither copied onto
    // itself nor deleted at clean-up.
    run.music_is_work_copy = host::same_file(run.music_path, work_copy);
    // A work copy left write-protected by an interrupted run must not block the copy.
    if (!run.music_is_work_copy) host::delete_file(work_copy, host::delete_force);
    // A music file that is missing, empty or a folder is reported already; any other failed copy
    // (no bin/ folder, a work copy that cannot be replaced) would leave the build reading a
    // stale or absent module.
    bool music_usable = host::file_size(run.music_path) > 0;
    if (!run.music_is_work_copy && !host::copy_file(run.music_path, work_copy) && music_usable)
        note_problem(run, u"could not copy the music file to " + work_copy + because());
    if (!run.music_is_work_copy) keep_first_module(run, work_copy, run.music_file_name);
    host::set_current_directory(run.program_directory);
}

void detect_loading_screen(RunState& run) {
    const FixedNames& names = fixed_names();
    const Text screen = in_program_directory(run, names.loading_screen);
    std::int64_t size = host::file_size(screen);
    if (size <= 0) return;
    run.screen_flag = 1;
    // Loaded at 16384, a longer file would run past the screen into the system variables.
    if (size > screen_bytes)
        note_problem(run, Text(names.loading_screen) + u" is larger than a screen (" +
                              host::decimal_text(screen_bytes) + u" bytes)");
    host::print_line(Text(u"Found screen\t\t: ") + names.loading_screen);
    if (!host::copy_file(screen, in_program_directory(run, names.screen_copy)))
        note_problem(run, u"could not copy the loading screen to " + Text(names.screen_copy) + because());
}

int end_process(RunState& run) {
    // The problems come last, so that the last line says why there is no tape.
    for (const Text& warning : run.warnings) host::print_error_line(u"tunefuse: warning: " + warning);
    for (const Text& problem : run.problems) host::print_error_line(u"tunefuse: error: " + problem);
    host::end_run();
    return run.problems.empty() ? 0 : 1;
}

}  // namespace driver
