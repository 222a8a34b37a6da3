// The build on POSIX, end to end: the real kit on the demo inputs, the shared table of faults, and
// what only this host's suite runs: music chosen on the command line, write protection, a flood.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <regex>

#include "fault_cases.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::FaultCase;

// The lines of tzxlist's listing that say what each block is, the player's length left out, and
// those of checksums that fail.
std::string blocks_of(const fs::path& tape) {
    const std::string listing = test::run_process({"tzxlist", tape.string()}).out;
    static const std::regex block(R"((Program|Bytes): .*|.*FAIL.*)");
    std::string blocks;
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), block); it != std::sregex_iterator();
         ++it)
        blocks += std::regex_replace(it->str(), std::regex("25500, [0-9]+"), "25500, N") + "\n";
    return blocks;
}

// A number in a BASIC line: its digits, which listbasic shows, then the five-byte form the ROM
// reads, 0x0E and the number as a small integer.
std::string with_hidden_form(int value) {
    return std::to_string(value) + std::string({14, 0, 0, char(value & 0xFF), char(value >> 8), 0});
}

// Fuse's own tape readers judge the tape: listbasic lists the loader, tzxlist the blocks and their
// checksums.
TEST(BuildTest, TheKitMakesALoadingTapeFromTheDemo) {
    if (!fs::exists("/usr/bin/listbasic") || !fs::exists("/usr/bin/tzxlist"))
        GTEST_SKIP() << "listbasic and tzxlist (Debian package fuse-emulator-utils) are not installed";
    test::TempDir temp;
    const fs::path dir = temp / "kit";
    fs::copy(test::kit_dir(), dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    // The title with spaces before it, which the credits leave out.
    Bytes module = test::read_bytes(dir / "music.pt3");
    const std::string title = "  Spaced Title" + std::string(18, ' ');
    std::copy(title.begin(), title.end(), module.begin() + 30);
    test::write_bytes(dir / "music.pt3", module);
    fs::rename(dir / "screen.scr", temp / "screen.scr");
    const std::string head =
        "   10 REM Tunefuse 1.6.1 Kestrin 2017\n"
        "   20 REM Music :   Spaced Title" +
        std::string(20, ' ') + "the tunefuse kit" + std::string(17, ' ') +
        "music.pt3\n"
        "   30 BORDER VAL \"0\": PAPER VAL \"0\": INK VAL \"0\": CLEAR VAL \"25499\"\n"
        "   40 POKE 23739,111\n   50 LOAD \"\"CODE \n";
    const std::string without_screen =
        head +
        "   60 RANDOMIZE USR VAL \"25500\"\n   70 LOAD \"\"CODE \n"
        "   80 RANDOMIZE USR VAL \"25511\"\n   90 RANDOMIZE USR VAL \"32000\"\n  100 GO TO 90\n";
    const std::string with_screen =
        head +
        "   60 LOAD \"\"CODE \n   70 RANDOMIZE USR VAL \"25500\"\n   80 LOAD \"\"CODE \n"
        "   90 RANDOMIZE USR VAL \"25511\"\n  100 RANDOMIZE USR VAL \"32000\"\n  110 GO TO 100\n";
    for (bool screen : {false, true}) {
        SCOPED_TRACE(screen ? "with a screen" : "without a screen");
        if (screen) fs::copy_file(temp / "screen.scr", dir / "screen.scr");
        const auto result =
            test::run_process({(dir / "tunefuse").string()},
                              {.working_directory = dir, .env = {{"PATH", (temp / "none").string()}}});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("Music Title\t\t:   Spaced Title   "), std::string::npos) << result.out;
        const fs::path tape = dir / "tunedemo.tap";
        const std::string bytes = test::read_string(tape);
        EXPECT_EQ(test::run_process({"listbasic", tape.string()}).out, screen ? with_screen : without_screen);
        EXPECT_EQ(blocks_of(tape),
                  "Program: \"tunedemo  \" LINE 0\n" +
                      std::string(screen ? "Bytes: \"screen    \" SCREEN$  16384, 6912\n" : "") +
                      "Bytes: \"tunefuse  \" CODE  25500, N\n" + blocks_of(dir / "game.tap"));
        EXPECT_NE(bytes.find("Tunefuse 1.6.1 Kestrin 2017-Spaced Title/the tunefuse kit/music.pt3"),
                  std::string::npos)
            << "the credits in the player";
        for (int number : {23739, 111, screen ? 100 : 90})
            EXPECT_NE(bytes.find(with_hidden_form(number)), std::string::npos) << number;
    }
}

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

// Music named by a path, absolute or from the folder the program starts in, is used where it is and
// kept; double quotes are taken out, as on Windows. The work copy chosen as music stays.
TEST(FaultsTest, MusicIsTheFileTheParameterNames) {
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
        const auto result = test::run_process({run.argv[0], c.parameter}, options);
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

// Write-protected intermediates of an earlier run are replaced; a write-protected tape of an earlier
// run, or a program directory that cannot be written, fails the build and is kept. The superuser
// writes through any protection, so then the program runs as a user without rights.
TEST(FaultsTest, WriteProtectionBindsTheUsersFilesOnly) {
    for (const char* name : {"KRZCode.tap", "bin/music.pt3", "demo.tap", "."}) {
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
        EXPECT_EQ(result.err.starts_with("tunefuse: error: ") &&
                      result.err.find(": permission denied\n") != std::string::npos,
                  users)
            << result.err;
        EXPECT_TRUE(name != std::string("demo.tap") || test::read_bytes(file) == Bytes(5000, 0x55));
    }
}

TEST(FaultsTest, BuildsInOneFolderTakeTurns) {
    test::check_builds_take_turns(6);
}

// A tool's standard error (but the assembler's, whose messages the program reads) is the
// program's own: every byte arrives, and nothing else.
TEST(FaultsTest, ToolMessagesReachTheUserWhole) {
    test::TempDir temp;
    const test::CaseRun run =
        test::lay_out_case({.label = "flood", .env = {{"FAKE_ZX7_MODE", "flood-err"}}}, temp.path());
    const auto result = test::run_process(run.argv, run.options);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err.size(), 800u * 65536u);
    EXPECT_EQ(result.err.find("tunefuse"), std::string::npos);
}

}  // namespace
