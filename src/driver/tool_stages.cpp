#include <vector>

#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "host/console.hpp"
#include "host/file_system.hpp"
#include "host/process.hpp"

namespace driver {

namespace {

// How the player source refuses music or sound effects that do not fit: a warning that states
// the limits, followed by pasmo's " on line N of file ...".
constexpr char16_t music_refused[] = u"WARNING: The music does not fit: ";
constexpr char16_t effects_refused[] = u"WARNING: The sound effects do not fit: ";

// Notes what went wrong with a run of a tool. True when it ran and ended well.
bool judge_tool(RunState& run, const Text& tool_name, const Text& tool_path, std::int32_t code) {
    if (code == host::tool_not_started)
        note_problem(run, u"could not start " + tool_name + u": " + tool_path + because());
    else if (code != 0)
        note_problem(run, tool_name + u" exited with code " + host::decimal_text(code));
    return code == 0;
}

// Runs one tool and notes what went wrong.
bool run_named_tool(RunState& run, const Text& tool_name, const Text& tool_path, const Text& arguments) {
    return judge_tool(run, tool_name, tool_path, host::run_tool(tool_path, arguments));
}

// A tool runs only when its input is there. Whatever left it missing has normally been noted
// already, and the tool's own complaint would only say the same again; should nothing have been
// noted, the missing input is the problem.
bool have_input(RunState& run, const char16_t* name) {
    Text path = in_program_directory(run, name);
    if (host::file_size(path) > 0) return true;
    if (run.problems.empty()) note_problem(run, u"a work file is missing: " + path);
    return false;
}

// The size line of a tool's output, and a note when the tool ended well but left nothing.
void report_output(RunState& run, const Text& label, const Text& path, const Text& what,
                   bool tool_ended_well) {
    std::int64_t size = host::file_size(path);
    host::print_line(size_line(label, size));
    if (size <= 0 && tool_ended_well) note_problem(run, what + u" was not produced: " + path);
}

void append_to_loader_tape(RunState& run, const char16_t* input, const char16_t* address) {
    if (!have_input(run, input)) return;
    const FixedNames& names = fixed_names();
    run_named_tool(run, u"bin2tap", in_program_directory(run, names.tape_maker),
                   names.tape_append + host::quoted_path(in_program_directory(run, input)) + address);
}

// The player source's refusal, as one line with the sizes of what it refused: the limits are the
// source's own words, from its warning.
Text does_not_fit(const RunState& run, const Text& warning) {
    const bool effects = warning.starts_with(effects_refused);
    Text limits = warning.substr(effects ? std::size(effects_refused) - 1 : std::size(music_refused) - 1);
    limits = limits.substr(0, limits.rfind(u" on line "));
    if (!limits.empty() && limits.back() == u'.') limits.pop_back();
    const FixedNames& names = fixed_names();
    if (effects)
        return u"the sound effects do not fit: " + Text(names.effects_bank) + u" has " +
               host::decimal_text(host::file_size(in_program_directory(run, names.effects_work_copy))) +
               u" bytes; " + limits;
    return u"the music does not fit: " + run.music_file_name + u" has " +
           host::decimal_text(host::file_size(in_program_directory(run, names.music_work_copy))) +
           u" bytes, " +
           host::decimal_text(host::file_size(in_program_directory(run, names.compressed_music))) +
           u" once compressed; " + limits;
}

// Runs the assembler, its messages read: a refusal of the music becomes one line of ours, in place
// of the assembler's warning and errors about it; any other message goes on to the user.
bool run_assembler(RunState& run, const Text& source, const Text& output) {
    const FixedNames& names = fixed_names();
    const Text assembler = in_program_directory(run, names.assembler);
    const Text arguments = names.assembler_options + host::quoted_path(in_program_directory(run, source)) +
                           u" " + host::quoted_path(output);
    Text refusal;
    std::vector<Text> messages;
    std::int32_t code = host::run_tool_reading(assembler, arguments, [&](const Text& line) {
        if (line.starts_with(music_refused) || line.starts_with(effects_refused))
            refusal = line;
        else
            messages.push_back(line);
    });
    if (!refusal.empty()) {
        note_problem(run, does_not_fit(run, refusal));
        return false;
    }
    for (const Text& message : messages) host::print_error_line(message);
    return judge_tool(run, u"the assembler", assembler, code);
}

// Runs the compressor on a work copy, after its old output has gone.
bool compress(RunState& run, const Text& work_copy) {
    host::delete_file(work_copy + fixed_names().compressed_suffix);
    return run_named_tool(run, u"the compressor", in_program_directory(run, fixed_names().compressor),
                          host::quoted_path(work_copy));
}

}  // namespace

void compress_music(RunState& run) {
    const FixedNames& names = fixed_names();
    host::print_text(u"Compressing \t\t: " + run.music_file_name);
    Text compressed = in_program_directory(run, names.compressed_music);
    host::delete_file(compressed);
    bool ended_well = have_input(run, names.music_work_copy) &&
                      compress(run, in_program_directory(run, names.music_work_copy));
    host::print_line(u" - Done");
    report_output(run, u"Compressed Size     \t: ", compressed, u"the compressed music", ended_well);
}

void assemble_player(RunState& run) {
    const FixedNames& names = fixed_names();
    host::print_text(u"Assembling code\t\t: ");
    Text player = in_program_directory(run, names.player_code);
    // A player left from an interrupted run must not stand in for one that failed to assemble.
    host::delete_file(player, host::delete_force);
    bool ended_well = have_input(run, names.compressed_music) && have_input(run, names.tunes_source) &&
                      run_assembler(run, names.player_source, player);
    host::print_line(u"Done");
    report_output(run, u"Tunefuse+VTII+music    \t: ", player, u"the assembled player", ended_well);
}

bool compress_tune(RunState& run, const Tune& tune) {
    if (!compress(run, tune.work_copy)) return false;
    const Text compressed = tune.work_copy + fixed_names().compressed_suffix;
    if (host::file_size(compressed) > 0) return true;
    note_problem(run, u"the compressed " + tune.file_name + u" was not produced: " + compressed);
    return false;
}

bool assemble_preview(RunState& run) {
    const FixedNames& names = fixed_names();
    const Text preview = in_program_directory(run, names.preview_code);
    host::delete_file(preview, host::delete_force);
    return have_input(run, names.tune_titles) && run_assembler(run, names.preview_source, preview) &&
           host::file_size(preview) > 0;
}

void build_tapes(RunState& run) {
    host::print_text(u"Building tapes\t\t: ");
    if (run.screen_flag == 1)
        append_to_loader_tape(run, fixed_names().screen_copy, fixed_names().screen_address);
    append_to_loader_tape(run, fixed_names().player_code, fixed_names().player_address);
}

}  // namespace driver
