// The tool runner against real child processes of the stand-in tests/helpers/fake_tool, which
// records the arguments it received and misbehaves on request. The same cases run on both hosts.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "host/platform.hpp"
#include "host/process.hpp"
#include "host/process_backend.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
using Words = std::vector<std::string>;
namespace fs = std::filesystem;
constexpr bool windows = host::host_kind == host::HostKind::windows;

struct ProcessLayer : ::testing::Environment {
    void SetUp() override { host::init_process_layer(); }
};
const auto* process_layer = ::testing::AddGlobalTestEnvironment(new ProcessLayer);

Text text(const std::string& utf8) {
    return host::from_utf8(utf8);
}
const Text fake_tool = text(test::helper("fake_tool").string());

void set_env(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv((std::string(name) + "=" + value).c_str());
#else
    value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
#endif
}

// The argument vector (without the program) that fake_tool received for an argument text.
Words words_received(const Text& program, const Text& arguments) {
    test::TempDir log;
    set_env("FAKE_TOOL_LOG", log.path().string());
    const host::StartResult start = host::start_program(program, arguments, Text(), host::start_wait);
    set_env("FAKE_TOOL_LOG", "");
    EXPECT_TRUE(start.started && start.child == nullptr);
    std::string line = fs::exists(log / "fake_tool.args") ? test::read_string(log / "fake_tool.args") : "?";
    Words words;
    for (std::size_t end; !line.empty() && line != "\n"; line.erase(0, end + 1)) {
        end = line.find_first_of("\x1f\n");
        words.push_back(line.substr(0, end));
    }
    return words;
}

// The argument text is split as a Windows C runtime splits a command line: on Windows by the
// child itself, elsewhere by the runner for it.
TEST(Children, ArgumentsAreSplitLikeAWindowsChildSplitsThem) {
    struct Case {
        std::string arguments;
        Words words;
    };
    for (const Case& c :
         {Case{"a b", {"a", "b"}}, Case{"--err  a.asm\tb.bin", {"--err", "a.asm", "b.bin"}},
          Case{"\"my kit/x\" y", {"my kit/x", "y"}}, Case{"a\\\"b", {"a\"b"}},
          Case{"a\\\\\"b c\"", {"a\\b c"}}, Case{"a\\\\\\\"b", {"a\\\"b"}},
          Case{"C:\\dir\\ x", {"C:\\dir\\", "x"}}, Case{"\"\" z", {"", "z"}}, Case{"   ", {}}})
        EXPECT_EQ(words_received(fake_tool, text(c.arguments)), c.words) << c.arguments;
    EXPECT_EQ(words_received(u"\"" + fake_tool + u"\"", u"x"), Words{"x"}) << "a program already quoted";
}

TEST(Children, AQuotedPathComesBackAsOneWordItself) {
    Words paths{"plain",        "",     "with space",  "trailing\\", "C:\\My Kit\\",    "tab\there",
                "say \"hi\" x", "\\\"", "a \\\\\\ \\", "quote\"",    "a&b|c<d>e^f%g(h)"};
    if (!windows) paths.push_back("m\xC3\xBCsic \xD0\x9C.pt3");  // a Windows child reads its code page
    Text arguments;
    for (const std::string& path : paths) arguments += host::quoted_path(text(path)) + u" ";
    EXPECT_EQ(words_received(fake_tool, arguments), paths);
}

// On POSIX the tools run with SIGHUP blocked and SIGINT ignored here, as the console layer may
// leave them: a tool must start with neither.
TEST(Children, RunToolGivesTheToolsExitCodeOnceItsOutputIsRead) {
    test::TempDir dir;
    fs::create_directories(dir / "my kit");
    fs::copy_file(test::helper("fake_tool"), dir / "my kit" / test::helper("fake_tool").filename());
    test::write_string(dir / "text", "#!/bin/sh\nexit 0\n");
    const std::string path = getenv("PATH"), copy = (dir / "my kit" / "fake_tool").string();
    set_env("PATH", (dir / "my kit").string() + (windows ? ";" : ":") + path);
    struct Case {
        std::string program, arguments;
        std::int32_t code;
    };
    std::vector<Case> cases{
        {"", "", host::tool_not_started},
        {(dir / "absent").string(), "", host::tool_not_started},
        {dir.path().string(), "", host::tool_not_started},
        {"no-such-tool", "", host::tool_not_started},
        {"fake_tool", "exit:5", 5},
        {copy, "", 0},
        {copy, "exit:255", 255},
        {copy, "out:partial exit:4", 4},
        {copy, "out:a\\n sleep:300 out:b\\n exit:2", 2},
        {copy, "bytes:10485760 exit:11", 11}};  // fills any pipe: the runner must read as it waits
#ifndef _WIN32
    cases.insert(cases.end(), {{(dir / "text").string(), "", host::tool_not_started},
                               {copy, "signal:15", 128 + 15},
                               {copy, "signal:1", 128 + SIGHUP},
                               {copy, "signal:2", 128 + SIGINT}});
    sigset_t hangup, old_mask;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, &old_mask);
    auto old_interrupt = signal(SIGINT, SIG_IGN);
    alarm(120);  // a runner that waits before it reads hangs: fail instead
#endif
    for (const Case& c : cases)
        EXPECT_EQ(host::run_tool(text(c.program), text(c.arguments)), c.code)
            << c.program << " " << c.arguments;
#ifndef _WIN32
    alarm(0);
    signal(SIGINT, old_interrupt);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
#endif
    set_env("PATH", path);
}

TEST(Children, AWaitedChildRunsInItsOwnFolderAndHasEndedOnReturn) {
    test::TempDir dir;
    const fs::path before = fs::current_path();
    const Text folder = text(dir.path().string());
    EXPECT_TRUE(host::start_program(fake_tool, u"sleep:300 touch:made", folder, host::start_wait).started);
    EXPECT_TRUE(fs::exists(dir / "made"));
    EXPECT_EQ(fs::current_path(), before);
    // (Where the system cannot start it, Windows hands a program to its shell, which may.)
    EXPECT_TRUE(windows ||
                !host::start_program(fake_tool, u"", folder + u"/absent", host::start_wait).started);
    for (int options : {0, host::start_keep_open, host::start_keep_open | host::start_read_output}) {
        const host::StartResult start = host::start_program(folder + u"/absent", Text(), Text(), options);
        EXPECT_FALSE(start.started || start.child) << options;
    }
}

TEST(Children, AKeptChildGivesItsOutputLineByLineThenItsExitCode) {
    host::StartResult start =
        host::start_program(fake_tool, u"out:abc\\r\\ndef\\nz exit:7", Text(),
                            host::start_wait | host::start_keep_open | host::start_read_output);
    ASSERT_TRUE(start.started);
    std::vector<Text> lines;
    while (host::program_running(start.child)) lines.push_back(host::read_program_line(start.child));
    EXPECT_EQ(lines, (std::vector<Text>{u"abc", u"def", u"z"}));
    EXPECT_EQ(host::program_output_available(start.child), 0);
    EXPECT_EQ(host::program_exit_code(start.child), 7);
    host::release_program(start.child);
    start = host::start_program(fake_tool, u"sleep:200 exit:12", Text(), host::start_keep_open);
    EXPECT_EQ(host::program_output_available(start.child) + host::program_exit_code(start.child), 259)
        << "running";
    EXPECT_EQ(host::wait_for_program_end(start.child), 12);
    EXPECT_FALSE(host::program_running(start.child));
    host::release_program(start.child);
}

#ifndef _WIN32
TEST(Children, OnlyTheToolsErrorsReachTheConsole) {
    test::TempDir dir;
    std::fflush(stdout);
    const int saved_out = dup(1), saved_err = dup(2);
    std::freopen((dir / "out").c_str(), "w", stdout);
    std::freopen((dir / "err").c_str(), "w", stderr);
    const std::int32_t code = host::run_tool(fake_tool, u"out:hidden\\r\\n err:shown\\n exit:1");
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(test::read_string(dir / "out") + test::read_string(dir / "err"), "shown\n");
}

#else
TEST(Children, AToolNamedWithoutExeStarts) {
    test::TempDir dir;
    fs::copy_file(test::helper("fake_tool"), dir / "fake_tool.exe");
    EXPECT_EQ(host::run_tool(text(dir.path().string() + "\\fake_tool"), u"exit:7"), 7);
}

// The tape opener runs cmd.exe /c with the tape's path, which must reach cmd as one name even with
// spaces and "&" (cmd strips one pair of quotes), or cmd runs what follows the "&".
bool second_command_runs(Text (*argument)(const Text&)) {
    test::TempDir dir;
    fs::create_directories(dir / "my games & second");
    fs::create_directories(dir / "second");
    test::write_string(dir / "second" / "tape.cmd",
                       "@echo x > \"" + (dir / "second.txt").string() + "\"\r\n");
    const fs::path tape = dir / "my games & second" / "tape one.cmd";
    test::write_string(tape, "@echo x > \"" + (dir / "first.txt").string() + "\"\r\n");
    EXPECT_TRUE(host::start_program(u"cmd.exe", u"/c " + argument(text(tape.string())),
                                    text(dir.path().string()), host::start_wait)
                    .started);
    EXPECT_NE(fs::exists(dir / "first.txt"), fs::exists(dir / "second.txt"));
    return fs::exists(dir / "second.txt");
}

TEST(Children, TheOpenerArgumentReachesTheCommandInterpreterAsOneName) {
    EXPECT_FALSE(second_command_runs(host::opener_argument));
    EXPECT_TRUE(second_command_runs(host::quoted_path)) << "quoted once, the path is split";
}
#endif

}  // namespace
