// The tool runner against real child processes: the stand-in tools under tests/helpers record
// what they received and misbehave on request.
#include "host/process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/command_line.hpp"
#include "host/platform.hpp"
#include "host/process_backend.hpp"
#include "test_support.hpp"

namespace {

using host::Text;

class ProcessLayer : public ::testing::Environment {
public:
    void SetUp() override { host::init_process_layer(); }
};
const auto* process_layer = ::testing::AddGlobalTestEnvironment(new ProcessLayer);

Text text(const std::string& utf8) {
    return host::from_utf8(utf8);
}
std::string utf8(const Text& text) {
    return host::to_utf8(text);
}
Text helper_text(const std::string& name) {
    return text(test::helper(name).string());
}

std::vector<std::string> words_in(const std::string& zero_separated) {
    std::vector<std::string> words;
    std::string word;
    for (char c : zero_separated) {
        if (c != '\0') {
            word += c;
            continue;
        }
        words.push_back(word);
        word.clear();
    }
    return words;
}

// Sets an environment variable for the life of the object; the children inherit it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Sends the program's own standard output and error to files while it lives.
class CapturedOutput {
public:
    explicit CapturedOutput(const test::TempDir& dir)
        : out_path_(dir / "captured.out"), err_path_(dir / "captured.err") {
        std::fflush(stdout);
        std::fflush(stderr);
        saved_out_ = dup(STDOUT_FILENO);
        saved_err_ = dup(STDERR_FILENO);
        redirect(out_path_, STDOUT_FILENO);
        redirect(err_path_, STDERR_FILENO);
    }
    ~CapturedOutput() { restore(); }
    void restore() {
        if (saved_out_ < 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out_, STDOUT_FILENO);
        dup2(saved_err_, STDERR_FILENO);
        close(saved_out_);
        close(saved_err_);
        saved_out_ = saved_err_ = -1;
    }
    std::string out() { return (restore(), test::read_string(out_path_)); }
    std::string err() { return (restore(), test::read_string(err_path_)); }

private:
    static void redirect(const test::fs::path& path, int fd) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        dup2(fileno(file), fd);
        std::fclose(file);
    }
    test::fs::path out_path_;
    test::fs::path err_path_;
    int saved_out_ = -1;
    int saved_err_ = -1;
};

// Runs child_echo_args with an argument text and gives back the argument vector it received.
std::vector<std::string> received_words(const Text& program, const Text& arguments) {
    test::TempDir dir;
    ScopedEnv target("CHILD_ECHO_FILE", (dir / "argv").string());
    host::StartResult start = host::start_program(program, arguments, Text(), host::start_wait);
    EXPECT_TRUE(start.started);
    EXPECT_EQ(start.child, nullptr);
    if (!test::fs::exists(dir / "argv")) return {"(the child wrote nothing)"};
    return words_in(test::read_string(dir / "argv"));
}

// A child started kept, with its output on a pipe, and waited for: what it wrote is all in the
// pipe before the test looks.
host::ChildRecord* finished_child(const std::string& program, const std::string& arguments) {
    host::StartResult start =
        host::start_program(helper_text(program), text(arguments), Text(),
                            host::start_wait | host::start_keep_open | host::start_read_output);
    EXPECT_TRUE(start.started);
    EXPECT_NE(start.child, nullptr);
    return start.child;
}

std::vector<std::string> all_lines(host::ChildRecord* child) {
    std::vector<std::string> lines;
    while (host::program_running(child)) lines.push_back(utf8(host::read_program_line(child)));
    return lines;
}

TEST(BuildCommandLine, QuotesTheProgramAndAppendsArgumentsVerbatim) {
    struct Case {
        std::string program, arguments, expected;
    };
    const Case cases[] = {
        {"tools/zx7", "", "\"tools/zx7\""},
        {"tools/zx7", "bin/music.pt3", "\"tools/zx7\" bin/music.pt3"},
        {"tools/zx7", " a  b ", "\"tools/zx7\"  a  b "},
        {"\"tools/zx7\"", "a", "\"tools/zx7\" a"},
        {"\"my tools/x\" -q", "", "\"my tools/x\" -q"},
        {"", "", "\"\""},
        {"a\"b", "c", "\"a\"b\" c"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8(host::build_command_line(text(c.program), text(c.arguments))), c.expected)
            << c.program << " / " << c.arguments;
    }
}

TEST(QuotedPath, QuotesOnlyWhatWouldSplitOrBeEmpty) {
    struct Case {
        std::string path, expected;
    };
    const Case cases[] = {
        {"/work/kit/bin/music.pt3", "/work/kit/bin/music.pt3"},
        {"C:\\kit\\bin\\", "C:\\kit\\bin\\"},
        {"", "\"\""},
        {"/my kit/bin", "\"/my kit/bin\""},
        {"a\tb", "\"a\tb\""},
        {"C:\\My Kit\\", "\"C:\\My Kit\\\\\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
    };
    for (const Case& c : cases) EXPECT_EQ(utf8(host::quoted_path(text(c.path))), c.expected) << c.path;
}

TEST(QuotedPath, InterpreterCharactersAreQuotedOnlyOnWindows) {
    for (const std::string path : {"a&b", "a|b", "a<b", "a>b", "a^b", "50%", "(x)"}) {
        Text quoted = host::quoted_path(text(path));
        if (host::host_kind == host::HostKind::windows) {
            EXPECT_EQ(utf8(quoted), "\"" + path + "\"");
        } else {
            EXPECT_EQ(utf8(quoted), path);
        }
    }
}

// Whatever the path holds, a quoted path is one word again for a child.
TEST(QuotedPath, ComesBackAsOneWordInTheChild) {
    const std::string paths[] = {
        "plain",          "",     "with space",     "trailing\\",      "C:\\My Kit\\", "tab\there",
        "say \"hi\" now", "\\\"", "many \\\\\\ \\", "ends in quote\"",
    };
    Text arguments;
    std::vector<std::string> expected{test::helper("child_echo_args").string()};
    for (const std::string& path : paths) {
        arguments += host::quoted_path(text(path)) + u" ";
        expected.push_back(path);
    }
    EXPECT_EQ(received_words(helper_text("child_echo_args"), arguments), expected);
}

TEST(StartProgram, EmptyArgumentsGiveNoTrailingSpaceAndNoWord) {
    Text program = helper_text("child_echo_args");
    Text line = host::build_command_line(program, Text());
    EXPECT_EQ(line, u"\"" + program + u"\"");
    EXPECT_EQ(received_words(program, Text()), std::vector<std::string>{utf8(program)});
}

TEST(StartProgram, ProgramAlreadyInQuotesIsNotQuotedAgain) {
    Text program = helper_text("child_echo_args");
    Text quoted = u"\"" + program + u"\"";
    EXPECT_EQ(host::build_command_line(quoted, u"x"), quoted + u" x");
    EXPECT_EQ(received_words(quoted, u"x"), (std::vector<std::string>{utf8(program), "x"}));
}

// The argument text is split as a Windows C runtime splits a command line.
TEST(StartProgram, ArgumentsAreSplitLikeAWindowsChild) {
    struct Case {
        std::string arguments;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"a b", {"a", "b"}},
        {"/tmp/my kit/bin/music.pt3", {"/tmp/my", "kit/bin/music.pt3"}},
        {"--err  asm/player.asm\tbin/player.bin", {"--err", "asm/player.asm", "bin/player.bin"}},
        {"\"my kit/x\" y", {"my kit/x", "y"}},
        {"a\\\"b", {"a\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\\\\\"b", {"a\\\"b"}},
        {"C:\\dir\\ x", {"C:\\dir\\", "x"}},
        {"\"\" z", {"", "z"}},
        {"   ", {}},
    };
    Text program = helper_text("child_echo_args");
    for (const Case& c : cases) {
        std::vector<std::string> expected{utf8(program)};
        expected.insert(expected.end(), c.words.begin(), c.words.end());
        EXPECT_EQ(received_words(program, text(c.arguments)), expected) << c.arguments;
    }
}

TEST(StartProgram, NonAsciiArgumentsReachTheChildAsUtf8) {
    Text program = helper_text("child_echo_args");
    EXPECT_EQ(received_words(program, u"m\u00fcsic \u041c\u0443\u0437\u044b\u043a\u0430.pt3"),
              (std::vector<std::string>{utf8(program), "m\xc3\xbcsic",
                                        "\xd0\x9c\xd1\x83\xd0\xb7\xd1\x8b\xd0\xba\xd0\xb0.pt3"}));
}

TEST(StartProgram, BareNameIsFoundOnThePath) {
    ScopedEnv path("PATH", test::helpers_dir().string() + ":/usr/bin:/bin");
    EXPECT_EQ(received_words(u"child_echo_args", u"p"), (std::vector<std::string>{"child_echo_args", "p"}));
}

TEST(StartProgram, ProgramInADirectoryWithSpacesStarts) {
    test::TempDir dir;
    test::fs::create_directories(dir / "my kit" / "tools");
    test::fs::path copy = dir / "my kit" / "tools" / "child_lines";
    test::fs::copy_file(test::helper("child_lines"), copy);
    EXPECT_EQ(host::run_tool(text(copy.string()), u"exit:6"), 6);
}

TEST(StartProgram, WaitReturnsOnlyAfterTheChildHasEnded) {
    test::TempDir dir;
    std::string marker = (dir / "ended").string();
    host::StartResult start = host::start_program(
        helper_text("child_lines"), text("sleep:300 touch:" + marker), Text(), host::start_wait);
    EXPECT_TRUE(start.started);
    EXPECT_TRUE(test::fs::exists(marker));
}

TEST(StartProgram, WorkingDirectoryIsTheChildsOnly) {
    test::TempDir dir;
    test::fs::path before = test::fs::current_path();
    host::ChildRecord* child = finished_child("child_probe", "");
    // A fresh start in the given directory; the first child shows the program's own.
    host::StartResult start =
        host::start_program(helper_text("child_probe"), Text(), text(dir.path().string()),
                            host::start_wait | host::start_keep_open | host::start_read_output);
    ASSERT_TRUE(start.started);
    EXPECT_EQ(utf8(host::read_program_line(child)), "cwd=" + before.string());
    EXPECT_EQ(utf8(host::read_program_line(start.child)), "cwd=" + test::fs::canonical(dir.path()).string());
    EXPECT_EQ(test::fs::current_path(), before);
    host::release_program(child);
    host::release_program(start.child);
}

TEST(StartProgram, MissingWorkingDirectoryFailsTheStart) {
    test::TempDir dir;
    host::StartResult start = host::start_program(helper_text("child_probe"), Text(),
                                                  text((dir / "absent").string()), host::start_wait);
    EXPECT_FALSE(start.started);
}

// The console layer blocks SIGHUP in the program's threads; a tool must start without that, and
// without signals the program ignores.
TEST(StartProgram, ChildStartsWithEmptySignalMaskAndDefaultActions) {
    sigset_t hangup, old_mask;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &hangup, &old_mask), 0);
    struct sigaction ignore {
    }, old_action{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_action);

    host::ChildRecord* child = finished_child("child_probe", "");
    std::vector<std::string> lines = all_lines(child);
    host::release_program(child);

    sigaction(SIGINT, &old_action, nullptr);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "blocked=none");
    EXPECT_EQ(lines[2], "ignored=none");
}

TEST(ReadProgramLine, LinesComeBackWithoutCarriageReturnsOrLineFeeds) {
    host::ChildRecord* child =
        finished_child("child_lines", "out:one\\r\\ntwo\\nth\\rree\\n\\r\\n\\r\\rx\\r\\n\\nlast\\r");
    EXPECT_EQ(all_lines(child), (std::vector<std::string>{"one", "two", "three", "", "x", "", "last"}));
    EXPECT_EQ(utf8(host::read_program_line(child)), "");
    host::release_program(child);
}

TEST(ReadProgramLine, DecodesUtf8AndHasNoLengthLimit) {
    std::string long_line(10000, 'y');
    host::ChildRecord* child = finished_child("child_lines", "out:h\xc3\xa9llo\\n" + long_line + "\\n");
    EXPECT_EQ(host::read_program_line(child), u"h\u00e9llo");
    EXPECT_EQ(utf8(host::read_program_line(child)), long_line);
    host::release_program(child);
}

// The reader takes one line and leaves the rest in the pipe, so the count of waiting bytes is
// exact after every line.
TEST(ReadProgramLine, LeavesTheRestOfTheOutputInThePipe) {
    host::ChildRecord* child = finished_child("child_lines", "out:abc\\r\\ndef\\nz");
    EXPECT_EQ(host::program_output_available(child), 10);
    EXPECT_EQ(host::read_program_line(child), u"abc");
    EXPECT_EQ(host::program_output_available(child), 5);
    EXPECT_EQ(host::read_program_line(child), u"def");
    EXPECT_EQ(host::program_output_available(child), 1);
    EXPECT_TRUE(host::program_running(child));  // ended, but one byte still unread
    EXPECT_EQ(host::read_program_line(child), u"z");
    EXPECT_EQ(host::program_output_available(child), 0);
    EXPECT_FALSE(host::program_running(child));
    host::release_program(child);
}

TEST(ProgramRunning, EndedChildWithLinesLeftCountsAsRunningUntilTheyAreRead) {
    host::ChildRecord* child = finished_child("child_lines", "lines:500 exit:7");
    std::vector<std::string> lines = all_lines(child);
    ASSERT_EQ(lines.size(), 500u);
    EXPECT_EQ(lines.front(), "line 1");
    EXPECT_EQ(lines[499], "line 500");
    EXPECT_EQ(host::program_exit_code(child), 7);
    host::release_program(child);
}

TEST(ProgramRunning, ChildWithoutPipeStopsRunningWhenItEnds) {
    host::StartResult start =
        host::start_program(helper_text("child_lines"), u"sleep:200 exit:12", Text(), host::start_keep_open);
    ASSERT_TRUE(start.started);
    EXPECT_TRUE(host::program_running(start.child));
    EXPECT_EQ(host::program_output_available(start.child), 0);
    EXPECT_EQ(host::wait_for_program_end(start.child), 12);
    EXPECT_FALSE(host::program_running(start.child));
    EXPECT_EQ(host::program_exit_code(start.child), 12);
    host::release_program(start.child);
}

TEST(RunTool, ReturnsTheToolsExitCode) {
    struct Case {
        std::string arguments;
        std::int32_t code;
    };
    const Case cases[] = {
        {"", 0},
        {"exit:3", 3},
        {"exit:255", 255},
        {"out:partial exit:4", 4},                  // a last line without its line end
        {"out:x exit:5", 5},                        // exactly one byte left
        {"lines:2000 exit:9", 9},                   // lines still in the pipe when it ends
        {"signal:15", 128 + 15},                    // killed by a signal
        {"out:a\\n sleep:300 out:b\\n exit:2", 2},  // output written while it runs
    };
    for (const Case& c : cases)
        EXPECT_EQ(host::run_tool(helper_text("child_lines"), text(c.arguments)), c.code) << c.arguments;
}

// A runner that waits for the tool before reading its output hangs here for ever; the alarm turns
// that hang into a failure instead of a stuck test run.
TEST(RunTool, TenMegabytesOfOutputDoNotDeadlock) {
    alarm(120);
    EXPECT_EQ(host::run_tool(helper_text("child_lines"), u"bytes:10485760 exit:11"), 11);
    alarm(0);
}

TEST(RunTool, OnlyTheToolsErrorsReachTheConsole) {
    test::TempDir dir;
    CapturedOutput captured(dir);
    std::int32_t code = host::run_tool(helper_text("child_lines"), u"out:hidden\\r\\n err:shown\\n exit:1");
    EXPECT_EQ(captured.out(), "");
    EXPECT_EQ(captured.err(), "shown\n");
    EXPECT_EQ(code, 1);
}

TEST(RunTool, MissingToolIsNotStartedAndPrintsNothing) {
    test::TempDir dir;
    test::write_string(dir / "not-executable", "#!/bin/sh\nexit 0\n");
    const std::string tools[] = {
        (dir / "absent").string(),
        (dir / "not-executable").string(),
        dir.path().string(),
        "tunefuse-no-such-tool-on-the-path",
        "",
    };
    CapturedOutput captured(dir);
    std::vector<std::int32_t> results;
    for (const std::string& tool : tools) results.push_back(host::run_tool(text(tool), u"a b"));
    EXPECT_EQ(captured.out(), "");
    EXPECT_EQ(captured.err(), "");
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], host::tool_not_started) << tools[i];
}

TEST(StartProgram, MissingProgramIsNotStarted) {
    for (int options :
         {0, host::start_wait, host::start_keep_open, host::start_keep_open | host::start_read_output}) {
        host::StartResult start = host::start_program(u"/nonexistent/tool", Text(), Text(), options);
        EXPECT_FALSE(start.started) << options;
        EXPECT_EQ(start.child, nullptr) << options;
    }
}

}  // namespace
