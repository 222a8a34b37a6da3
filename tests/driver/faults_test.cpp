// The build under faults on POSIX, end to end: the shared table of tests/support/fault_cases.hpp,
// each case in a temporary folder of its own, then what only this host's suite runs: music chosen
// on the command line, write protection, a tool's flood of messages and runs cut off by a signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>

#include "fault_cases.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FaultCase;

class SharedFaultsTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SharedFaultsTest, AreReportedAndLeaveTheUsersFilesAlone) {
    test::TempDir temp;
    test::CaseRun run = test::lay_out_case(GetParam(), temp.path());
    run.result = test::run_process(run.argv, run.options);
    test::check_case(GetParam(), run);
}

INSTANTIATE_TEST_SUITE_P(Table, SharedFaultsTest, ::testing::ValuesIn(test::fault_cases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (char c : info.param.label)
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

// Music chosen by an absolute path, or by one relative to the folder the program starts in, is
// used where it is and kept; double quotes are taken out, as on the program's other hosts, where no
// file name holds one. Music chosen from the work folder is the work copy itself, and stays.
TEST(MusicChoice, IsTheFileTheParameterNames) {
    test::TempDir temp;
    const test::CaseRun run = test::lay_out_case({}, temp.path());
    const fs::path songs = temp / "my songs";
    const Bytes module = test::make_module("Other", "Someone", 1500);
    fs::create_directories(songs);
    for (const char* name : {"my s\xC3\xB4ng.pt3", "a & b; c%.pt3", "it's (new).pt3", "say \"hi\".pt3"})
        test::write_bytes(songs / name, module);
    struct Choice {
        std::string parameter, working_directory, selected, problem = "";
    };
    const Choice choices[] = {
        {"", "", "music.pt3"},
        {(songs / "my s\xC3\xB4ng.pt3").string(), "", "my s\xC3\xB4ng.pt3"},
        {"my songs/a & b; c%.pt3", "", "a & b; c%.pt3"},
        {"\"my songs/it's (new).pt3\"", "", "it's (new).pt3"},
        {"it's (new).pt3", songs.string(), "it's (new).pt3"},
        {(songs / "say \"hi\".pt3").string(), "", "say hi.pt3",
         "music file not found: " + (songs / "say hi.pt3").string()},
        {"bin/music.pt3", run.dir.string(), "music.pt3"},
    };
    for (const Choice& c : choices) {
        SCOPED_TRACE(c.parameter);
        test::write_bytes(run.dir / "bin" / "music.pt3", module);
        test::ProcessOptions options = run.options;
        if (!c.working_directory.empty()) options.working_directory = c.working_directory;
        std::vector<std::string> argv = run.argv;
        argv.push_back(c.parameter);
        const auto result = test::run_process(argv, options);
        EXPECT_EQ(result.exit_code, c.problem.empty() ? 0 : 1) << result.err;
        EXPECT_NE(result.out.find("Music file selected \t: " + c.selected + "\n"), std::string::npos)
            << result.out;
        EXPECT_TRUE(c.problem.empty() ? result.err.empty()
                                      : result.err.starts_with("tunefuse: error: " + c.problem + "\n"))
            << result.err;
    }
    EXPECT_EQ(test::read_bytes(run.dir / "bin" / "music.pt3"), module);
    for (const auto& song : fs::directory_iterator(songs)) EXPECT_EQ(test::read_bytes(song.path()), module);
}

// Intermediates an earlier run left write-protected are the program's own, and are replaced. A
// write-protected tape of an earlier run, or a program directory that cannot be written, fails the
// build and keeps what is there. The superuser writes through any protection, so then the program
// runs as a user without rights, who owns the folder.
TEST(WriteProtection, BindsTheUsersFilesOnly) {
    for (const char* name : {"KRZCode.tap", "tunefuse.bin", "bin/music.pt3", "demo.tap", "."}) {
        SCOPED_TRACE(name);
        test::TempDir temp;
        test::CaseRun run = test::lay_out_case({}, temp.path());
        const fs::path file = run.dir / name;
        if (name != std::string(".")) test::write_bytes(file, Bytes(5000, 0x55));
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_exec);
        if (geteuid() == 0) {
            for (const auto& entry : fs::recursive_directory_iterator(temp.path()))
                ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
            ASSERT_EQ(chown(temp.path().c_str(), 65534, 65534), 0);
            run.argv.insert(run.argv.begin(),
                            {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        const auto result = test::run_process(run.argv, run.options);
        std::error_code gone;
        fs::permissions(file, fs::perms::owner_all, gone);
        const bool users = name == std::string("demo.tap") || name == std::string(".");
        EXPECT_EQ(result.exit_code, users ? 1 : 0) << result.err;
        EXPECT_EQ(fs::exists(file), users);
        EXPECT_EQ(result.err.starts_with("tunefuse: error: "), users) << result.err;
        EXPECT_TRUE(name != std::string("demo.tap") || test::read_bytes(file) == Bytes(5000, 0x55));
    }
}

// A tool's standard error is the program's own: every byte arrives, and nothing else.
TEST(ToolMessages, ReachTheUserWhole) {
    test::TempDir temp;
    const test::CaseRun run =
        test::lay_out_case({.label = "flood", .env = {{"FAKE_PASMO_MODE", "flood-err"}}}, temp.path());
    const auto result = test::run_process(run.argv, run.options);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err.size(), 800u * 65536u);
    EXPECT_EQ(result.err.find("tunefuse"), std::string::npos);
}

// A signal from the terminal, while the assembler works, ends the run with the signal's code and
// leaves no tape and no process behind; the report written so far reaches the reader. The next run
// makes the tape.
TEST(Interruption, EndsTheRunAndSpoilsNoLaterOne) {
    for (int signal_number : {SIGHUP, SIGINT}) {
        test::TempDir temp;
        const test::CaseRun run = test::lay_out_case(
            {.label = "hang", .env = {{"FAKE_PASMO_MODE", "hang"}, {"FAKE_TOOL_SECONDS", "30"}}},
            temp.path());
        // The signal goes to the whole run, as a terminal sends it; what the run started may take a
        // moment to go.
        const std::string script =
            "set -m; \"$0\" >out 2>err & run=$!; until grep -qs 'Music Title' out; do sleep 0.1; done; "
            "sleep 0.2; kill -" +
            std::to_string(signal_number) +
            " -$run; wait $run; echo $?; "
            "for i in $(seq 50); do kill -0 -$run 2>/dev/null || exit 0; sleep 0.1; done; echo left behind";
        const auto cut = test::run_process({"/bin/bash", "-c", script, run.argv[0]}, run.options);
        EXPECT_EQ(cut.out, std::to_string(128 + signal_number) + "\n") << cut.err;
        if (signal_number == SIGHUP) {  // the text waiting in the buffer too
            EXPECT_NE(test::read_string(temp / "out").find("Assembling code\t\t: "), std::string::npos);
        }
        EXPECT_FALSE(fs::exists(run.dir / "demo.tap"));
        test::ProcessOptions options = run.options;
        options.env.erase("FAKE_PASMO_MODE");
        EXPECT_EQ(test::run_process(run.argv, options).exit_code, 0);
        EXPECT_TRUE(fs::exists(run.dir / "demo.tap"));
    }
}

}  // namespace
