// Child processes on Windows: tools started by CreateProcessW from their command line alone,
// their output drained through the pipe, exit codes, and the command interpreter's launch.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "host/process.hpp"
#include "host/process_backend.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
namespace fs = std::filesystem;

Text text_of(const fs::path& path) {
    return host::from_utf8(path.string());
}

Text helper_text(const std::string& name) {
    return text_of(test::helper(name));
}

// All lines of a kept child's output, then its exit code.
struct Finished {
    std::vector<std::string> lines;
    std::int32_t exit_code = 0;
};

Finished run_to_end(const Text& program, const Text& arguments, const Text& directory = Text()) {
    Finished finished;
    host::StartResult start =
        host::start_program(program, arguments, directory, host::start_keep_open | host::start_read_output);
    EXPECT_TRUE(start.started);
    if (!start.started) return finished;
    while (host::program_running(start.child)) {
        if (host::program_output_available(start.child) == 0) {
            Sleep(1);
            continue;
        }
        finished.lines.push_back(host::to_utf8(host::read_program_line(start.child)));
    }
    finished.exit_code = host::program_exit_code(start.child);
    host::release_program(start.child);
    return finished;
}

TEST(WindowsProcess, RunToolGivesTheExitCode) {
    host::init_process_layer();
    EXPECT_EQ(host::run_tool(helper_text("child_lines"), u"exit:3"), 3);
    EXPECT_EQ(host::run_tool(helper_text("child_lines"), u""), 0);
    // Wine reports exit codes modulo 256; Windows gives the whole 32 bits.
    EXPECT_EQ(host::run_tool(helper_text("child_lines"), u"exit:200") & 0xFF, 200);
}

TEST(WindowsProcess, RunToolDrainsMuchOutputAndWaits) {
    test::TempDir dir;
    const fs::path marker = dir / "done.txt";
    const Text arguments = u"bytes:300000 sleep:200 touch:" + text_of(marker) + u" exit:5";
    EXPECT_EQ(host::run_tool(helper_text("child_lines"), arguments), 5);
    EXPECT_TRUE(fs::exists(marker));
}

TEST(WindowsProcess, MissingToolIsNotStarted) {
    test::TempDir dir;
    EXPECT_EQ(host::run_tool(text_of(dir / "tools" / "zx7.exe"), u"x"), host::tool_not_started);
    EXPECT_FALSE(host::start_program(text_of(dir / "nothing.exe"), u"", Text(),
                                     host::start_keep_open | host::start_read_output)
                     .started);
}

TEST(WindowsProcess, NeitherTheDirectStartNorTheShellFindsAMissingProgram) {
    test::TempDir dir;
    const Text missing = text_of(dir / "opener.exe");
    EXPECT_FALSE(host::start_program(missing, u"x.tap", Text(), host::start_wait).started);
    EXPECT_FALSE(host::start_program(missing, u"", text_of(dir.path()), host::start_keep_open).started);
}

TEST(WindowsProcess, AKeptChildWithoutPipeHasNoOutput) {
    host::StartResult start =
        host::start_program(helper_text("child_lines"), u"sleep:50 exit:4", Text(),
                            host::start_wait | host::start_keep_open | host::start_hidden);
    ASSERT_TRUE(start.started);
    ASSERT_NE(start.child, nullptr);
    EXPECT_FALSE(host::program_running(start.child));
    EXPECT_EQ(host::program_output_available(start.child), 0);
    EXPECT_EQ(host::read_program_line(start.child), u"");
    EXPECT_EQ(host::program_exit_code(start.child), 4);
    host::release_program(start.child);
}

TEST(WindowsProcess, AToolNamedWithoutExeStarts) {
    test::TempDir dir;
    fs::create_directories(dir / "tools");
    fs::copy_file(test::helper("child_lines"), dir / "tools" / "bin2tap.exe");
    const Text without_suffix = host::from_utf8((dir.path() / "tools").string() + "\\bin2tap");
    EXPECT_EQ(host::run_tool(without_suffix, u"exit:7"), 7);
}

TEST(WindowsProcess, LinesComeBackWithoutLineEnds) {
    Finished finished =
        run_to_end(helper_text("child_lines"), u"out:one\\r\\n out:two\\n out:th\\rree\\n out:last");
    EXPECT_EQ(finished.lines, (std::vector<std::string>{"one", "two", "three", "last"}));
    EXPECT_EQ(finished.exit_code, 0);
}

TEST(WindowsProcess, LinesLeftInThePipeAreReadBeforeTheExitCode) {
    host::StartResult start = host::start_program(helper_text("child_lines"), u"lines:5 exit:9", Text(),
                                                  host::start_keep_open | host::start_read_output);
    ASSERT_TRUE(start.started);
    EXPECT_EQ(host::wait_for_program_end(start.child), 9);
    EXPECT_TRUE(host::program_running(start.child));  // ended, but output is waiting
    std::vector<std::string> lines;
    while (host::program_running(start.child))
        lines.push_back(host::to_utf8(host::read_program_line(start.child)));
    EXPECT_EQ(lines, (std::vector<std::string>{"line 1", "line 2", "line 3", "line 4", "line 5"}));
    EXPECT_EQ(host::program_output_available(start.child), 0);
    EXPECT_EQ(host::program_exit_code(start.child), 9);
    host::release_program(start.child);
}

TEST(WindowsProcess, ArgumentsArePassedVerbatim) {
    test::TempDir dir;
    const fs::path record = dir / "args.bin";
    SetEnvironmentVariableW(L"CHILD_ECHO_FILE", record.wstring().c_str());
    host::start_program(helper_text("child_echo_args"), u"-append -o \"a b.tap\" c d", Text(),
                        host::start_wait);
    SetEnvironmentVariableW(L"CHILD_ECHO_FILE", nullptr);
    const std::string seen = test::read_string(record);
    const std::string expected =
        test::helper("child_echo_args").string() + std::string("\0-append\0-o\0a b.tap\0c\0d\0", 24);
    EXPECT_EQ(seen, expected);
}

TEST(WindowsProcess, WorkingDirectoryIsTheChildsCurrentDirectory) {
    test::TempDir dir;
    EXPECT_EQ(run_to_end(helper_text("child_lines"), u"touch:made.txt", text_of(dir.path())).exit_code, 0);
    EXPECT_TRUE(fs::exists(dir / "made.txt"));
}

// The launch: cmd.exe with /c and the tape's path. A path that holds spaces and "&" must reach
// cmd as one name, or cmd runs the part after the "&" as a second command.
bool second_command_runs(const std::function<Text(const Text&)>& launch_arguments) {
    test::TempDir dir;
    const fs::path folder = dir / "my games & second";
    fs::create_directories(folder);
    fs::create_directories(dir / "second");
    // Split at the "&", the second command would be "second\tape one.cmd": a batch file there
    // records being run.
    test::write_string(dir / "second" / "tape.cmd",
                       "@echo second > \"" + (dir / "second.txt").string() + "\"\r\n");
    const fs::path tape = folder / "tape one.cmd";
    test::write_string(tape, "@echo first > \"" + (dir / "first.txt").string() + "\"\r\n");
    const host::StartResult start = host::start_program(u"cmd.exe", launch_arguments(text_of(tape)),
                                                        text_of(dir.path()), host::start_wait);
    EXPECT_TRUE(start.started);
    EXPECT_EQ(fs::exists(dir / "first.txt"), !fs::exists(dir / "second.txt"));
    return fs::exists(dir / "second.txt");
}

TEST(WindowsProcess, CommandInterpreterRunsNoSecondCommandWhenThePathIsWrappedOnceMore) {
    EXPECT_FALSE(second_command_runs([](const Text& tape) { return u"/c " + host::opener_argument(tape); }));
}

// cmd removes the first and the last double quote of a line that holds a special character, so
// one pair of quotes around the path is not enough.
TEST(WindowsProcess, CommandInterpreterSplitsAPathQuotedOnlyOnce) {
    EXPECT_TRUE(second_command_runs([](const Text& tape) { return u"/c " + host::quoted_path(tape); }));
}

}  // namespace
