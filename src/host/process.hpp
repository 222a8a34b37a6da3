// Child processes: the external tools run to completion with their output drained, and the
// program that opens the finished tape. A child that cannot be started leaves the cause in
// last_failure() (failure.hpp).
#pragma once

#include <cstdint>
#include <functional>

#include "host/text.hpp"

namespace host {

// Start options, bit flags.
inline constexpr int start_wait = 1;          // return only after the child has ended
inline constexpr int start_hidden = 2;        // no window of its own to be seen
inline constexpr int start_keep_open = 4;     // keep a record of the child and return it
inline constexpr int start_read_output = 8;   // with keep_open: the child's output goes to a pipe
inline constexpr int start_read_errors = 16;  // with read_output: its standard error goes there too

// run_tool's result when the tool could not be started at all.
inline constexpr std::int32_t tool_not_started = -245678;

struct ChildRecord;

// What start_program gives back: whether the child started, and its record when it was started
// with start_keep_open.
struct StartResult {
    bool started = false;
    ChildRecord* child = nullptr;
};

// Creates the empty child list and its lock. Called once at start-up, before any child starts.
void init_process_layer();

// The child's command line: the program in double quotes (unless it already begins with one),
// then, when the arguments are not empty, one space and the arguments verbatim.
Text build_command_line(const Text& program, const Text& arguments);

// Starts a program with an argument text. The command line built as above is the one the child
// sees (on POSIX it is split into an argument vector by the rules of a Windows C runtime). An
// empty working directory means the program's current one. A program without a directory part
// is looked for on the executable search path.
StartResult start_program(const Text& program, const Text& arguments, const Text& working_directory,
                          int options);

// True while the child runs, and after it has ended for as long as unread output is waiting.
bool program_running(ChildRecord* child);

// The number of bytes waiting unread in the child's output pipe; 0 when there is none. Never
// blocks.
std::int64_t program_output_available(ChildRecord* child);

// Reads one line of the child's output (without CR or LF), blocking until a line feed or the end
// of the output; the end of the output gives the empty text.
Text read_program_line(ChildRecord* child);

// The child's exit code once it has ended (0 when it cannot be had).
std::int32_t program_exit_code(ChildRecord* child);

// Runs a tool to its end, hidden, its standard output read and thrown away, its standard error
// and input the program's own. Returns its exit code, or tool_not_started. Waits without
// spinning.
std::int32_t run_tool(const Text& tool_path, const Text& arguments);

// Runs a tool to its end as run_tool does, but with its standard output and standard error both
// read, as lines in the order the tool wrote them, and handed to take_line; empty lines are left
// out. Returns its exit code, or tool_not_started.
std::int32_t run_tool_reading(const Text& tool_path, const Text& arguments,
                              const std::function<void(const Text&)>& take_line);

// The text to put into a command line for a path: unchanged when it holds nothing that the
// command line would split or interpret, otherwise enclosed in double quotes.
Text quoted_path(const Text& path);

// The text that hands one path to the host's tape opener: the path quoted as above, and on
// Windows, whose command interpreter takes the outer pair of quotes off a line that holds
// special characters, wrapped in one more pair when it was quoted.
Text opener_argument(const Text& path);

}  // namespace host
