#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "host/console.hpp"
#include "host/file_system.hpp"
#include "host/process.hpp"

namespace driver {

namespace {

// Runs one tool with the run's tool path and arguments and notes what went wrong.
void run_tool_of_run(RunState& run, const Text& tool_name) {
    std::int32_t code = host::run_tool(run.tool_path, run.tool_arguments);
    if (code == host::tool_not_started)
        note_problem(run, u"could not start " + tool_name + u": " + run.tool_path + because());
    else if (code != 0)
        note_problem(run, tool_name + u" exited with code " + host::decimal_text(code));
}

// The size line of a tool's output, and a note when the tool left nothing.
void report_output(RunState& run, const Text& label, const Text& path, const Text& what) {
    std::int64_t size = host::file_size(path);
    host::print_line(size_line(label, size));
    if (size <= 0) note_problem(run, what + u" was not produced: " + path);
}

void append_to_loader_tape(RunState& run, const char16_t* input, const char16_t* address) {
    const FixedNames& names = fixed_names();
    run.tool_path = in_program_directory(run, names.tape_maker);
    run.tool_arguments = names.tape_append + host::quoted_path(in_program_directory(run, input)) + address;
    run_tool_of_run(run, u"bin2tap");
}

}  // namespace

void compress_music(RunState& run) {
    const FixedNames& names = fixed_names();
    host::print_text(u"Compressing \t\t: " + run.music_file_name);
    Text compressed = in_program_directory(run, names.compressed_music);
    host::delete_file(compressed);
    run.tool_path = in_program_directory(run, names.compressor);
    run.tool_arguments = host::quoted_path(in_program_directory(run, names.music_work_copy));
    run_tool_of_run(run, u"the compressor");
    host::print_line(u" - Done");
    report_output(run, u"Compressed Size     \t: ", compressed, u"the compressed music");
}

void assemble_player(RunState& run) {
    const FixedNames& names = fixed_names();
    host::print_text(u"Assembling code\t\t: ");
    Text player = in_program_directory(run, names.player_code);
    // A player left from an interrupted run must not stand in for one that failed to assemble.
    host::delete_file(player, host::delete_force);
    run.tool_path = in_program_directory(run, names.assembler);
    run.tool_arguments = names.assembler_options +
                         host::quoted_path(in_program_directory(run, names.player_source)) + u" " +
                         host::quoted_path(player);
    run_tool_of_run(run, u"the assembler");
    host::print_line(u"Done");
    report_output(run, u"Tunefuse+VTII+music    \t: ", player, u"the assembled player");
}

void build_tapes(RunState& run) {
    host::print_text(u"Building tapes\t\t: ");
    if (run.screen_flag == 1)
        append_to_loader_tape(run, fixed_names().screen_copy, fixed_names().screen_address);
    append_to_loader_tape(run, fixed_names().player_code, fixed_names().player_address);
}

}  // namespace driver
