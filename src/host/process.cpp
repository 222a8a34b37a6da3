// The portable half of the tool runner: the command line a child is given, the quoting of paths
// put into it, and the run of one tool from start to exit code.
#include "host/process.hpp"

#include "host/platform.hpp"
#include "host/process_backend.hpp"

namespace host {

namespace {

constexpr char16_t quote = u'"';
constexpr char16_t backslash = u'\\';

// Characters that end or split a word when a Windows C runtime reads its command line.
bool splits_words(char16_t c) {
    return c == u' ' || c == u'\t' || c == quote;
}

// Characters the Windows command interpreter acts on outside double quotes.
bool interpreter_special(char16_t c) {
    return Text(u"&|<>^%()").find(c) != Text::npos;
}

bool needs_quotes(const Text& path) {
    if (path.empty()) return true;
    for (char16_t c : path) {
        if (splits_words(c)) return true;
        if (host_kind == HostKind::windows && interpreter_special(c)) return true;
    }
    return false;
}

// Appends count backslashes.
void append_backslashes(Text& out, std::size_t count) {
    out.append(count, backslash);
}

}  // namespace

Text build_command_line(const Text& program, const Text& arguments) {
    Text line;
    line.reserve(program.size() + arguments.size() + 3);
    if (!program.empty() && program.front() == quote) {
        line = program;
    } else {
        line.push_back(quote);
        line += program;
        line.push_back(quote);
    }
    if (!arguments.empty()) {
        line.push_back(u' ');
        line += arguments;
    }
    return line;
}

// Quotes so that a Windows C runtime gives the path back as one word: backslashes are doubled
// where they stand before a double quote (one inside the path, or the closing one), and a double
// quote inside the path is escaped with a backslash.
Text quoted_path(const Text& path) {
    if (!needs_quotes(path)) return path;
    Text out(1, quote);
    std::size_t pending = 0;  // backslashes seen and not yet written
    for (char16_t c : path) {
        if (c == backslash) {
            ++pending;
            continue;
        }
        if (c == quote) {
            append_backslashes(out, pending * 2 + 1);
        } else {
            append_backslashes(out, pending);
        }
        pending = 0;
        out.push_back(c);
    }
    append_backslashes(out, pending * 2);
    out.push_back(quote);
    return out;
}

Text opener_argument(const Text& path) {
    Text quoted = quoted_path(path);
    if (host_kind != HostKind::windows || quoted.empty() || quoted.front() != quote) return quoted;
    return quote + quoted + quote;
}

// The tool's output is of no interest, but it must be read to its end: a tool that fills the
// pipe would otherwise wait for ever. Reading blocks, so no core is spent while the tool works;
// the exit code is taken only once every byte has been read.
std::int32_t run_tool(const Text& tool_path, const Text& arguments) {
    StartResult start =
        start_program(tool_path, arguments, Text(), start_hidden | start_keep_open | start_read_output);
    if (!start.started || start.child == nullptr) return tool_not_started;
    discard_program_output(start.child);
    std::int32_t code = wait_for_program_end(start.child);
    release_program(start.child);
    return code;
}

std::int32_t run_tool_reading(const Text& tool_path, const Text& arguments,
                              const std::function<void(const Text&)>& take_line) {
    StartResult start = start_program(tool_path, arguments, Text(),
                                      start_hidden | start_keep_open | start_read_output | start_read_errors);
    if (!start.started || start.child == nullptr) return tool_not_started;
    while (program_running(start.child)) {
        Text line = read_program_line(start.child);
        if (!line.empty()) take_line(line);
    }
    std::int32_t code = wait_for_program_end(start.child);
    release_program(start.child);
    return code;
}

}  // namespace host
