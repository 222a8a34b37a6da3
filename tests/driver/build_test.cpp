// The whole build, end to end: the real program in a temporary program directory, with
// stand-in tools that record how they were called.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "build_inputs.hpp"
#include "test_support.hpp"

namespace {

using test::build_report;
using test::Bytes;
using test::default_music_lines;
using test::make_game_tape;
using test::make_module;
namespace fs = std::filesystem;

class BuildTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = temp.path() / "kit";
        test::lay_out_program_directory(dir);
        for (const char* tool : {"zx7", "pasmo", "bin2tap"})
            fs::copy_file(test::helper("fake_tool"), dir / "tools" / tool);
        fs::create_directories(temp / "path");
        fs::create_directories(temp / "log");
        fs::copy_file(test::helper("fake_tool"), temp / "path" / "xdg-open");
        test::write_string(dir / "asm" / "tunefuse.asm", " org 25500\n ret\n");
        module = make_module("Tune", "Me");
        test::write_bytes(dir / "music.pt3", module);
        game = make_game_tape("demo      ");
        test::write_bytes(dir / "game.tap", game);
    }

    test::ProcessResult run(std::vector<std::string> args = {}, fs::path working_directory = {}) {
        args.insert(args.begin(), (dir / "tunefuse").string());
        test::ProcessOptions options;
        options.working_directory = working_directory.empty() ? temp.path() : working_directory;
        options.env = {{"PATH", (temp / "path").string() + ":/usr/bin:/bin"},
                       {"FAKE_TOOL_LOG", (temp / "log").string()}};
        for (const auto& [name, value] : env) options.env[name] = value;
        return test::run_process(args, options);
    }

    std::vector<std::vector<std::string>> calls(const std::string& tool) {
        return test::recorded_calls(temp / "log" / (tool + ".args"));
    }

    std::string p() const { return dir.string() + "/"; }

    test::TempDir temp;
    fs::path dir;
    Bytes module, game;
    std::map<std::string, std::string> env;
};

TEST_F(BuildTest, CompleteBuildWithoutScreen) {
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, build_report("demo.tap"));

    EXPECT_EQ(calls("zx7"), (std::vector<std::vector<std::string>>{{p() + "bin/music.pt3"}}));
    EXPECT_EQ(
        calls("pasmo"),
        (std::vector<std::vector<std::string>>{{"--err", p() + "asm/tunefuse.asm", p() + "tunefuse.bin"}}));
    EXPECT_EQ(calls("bin2tap"), (std::vector<std::vector<std::string>>{
                                    {"-append", "-o", "KRZCode.tap", p() + "tunefuse.bin", "-a", "25500"}}));
    EXPECT_EQ(calls("xdg-open"), (std::vector<std::vector<std::string>>{{p() + "demo.tap"}}));

    // The output tape: the loader's two blocks, the player's blocks, then the game tape unchanged.
    Bytes output = test::read_bytes(dir / "demo.tap");
    Bytes player = test::bytes_of("BIN2TAP tunefuse.bin 25500\n");
    std::size_t loader_size = output.size() - player.size() - game.size();
    ASSERT_GT(output.size(), player.size() + game.size());
    EXPECT_EQ(Bytes(output.begin() + 4, output.begin() + 14), test::bytes_of("demo      "));
    EXPECT_EQ(output[14] + 256 * output[15] + 25, static_cast<int>(loader_size));
    EXPECT_EQ(Bytes(output.begin() + loader_size, output.end() - game.size()), player);
    EXPECT_EQ(Bytes(output.end() - game.size(), output.end()), game);
}

TEST_F(BuildTest, CompleteBuildWithScreen) {
    Bytes screen(6912, 0x38);
    test::write_bytes(dir / "screen.scr", screen);
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, build_report("demo.tap", default_music_lines, "Found screen\t\t: screen.scr\n"));
    EXPECT_EQ(calls("bin2tap"), (std::vector<std::vector<std::string>>{
                                    {"-append", "-o", "KRZCode.tap", p() + "screen.bin", "-a", "16384"},
                                    {"-append", "-o", "KRZCode.tap", p() + "tunefuse.bin", "-a", "25500"}}));
    EXPECT_EQ(test::read_bytes(dir / "screen.scr"), screen);
    EXPECT_FALSE(fs::exists(dir / "screen.bin"));
}

TEST_F(BuildTest, IntermediatesAreRemovedAndUserFilesKept) {
    test::write_bytes(dir / "screen.scr", Bytes(6912, 0x07));
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    for (const char* name : {"KRZCode.tap", "tunefuse.bin", "screen.bin", "bin/author.bin", "bin/music.pt3",
                             "bin/music.pt3.zx7"})
        EXPECT_FALSE(fs::exists(dir / name)) << name;
    EXPECT_EQ(test::read_bytes(dir / "music.pt3"), module);
    EXPECT_EQ(test::read_bytes(dir / "game.tap"), game);
    EXPECT_EQ(test::read_bytes(dir / "screen.scr"), Bytes(6912, 0x07));
}

TEST_F(BuildTest, EmptyScreenIsNoScreen) {
    test::write_bytes(dir / "screen.scr", {});
    auto result = run();
    EXPECT_EQ(result.out, build_report("demo.tap"));
    EXPECT_EQ(calls("bin2tap").size(), 1u);
}

TEST_F(BuildTest, UnnamedGameGivesFinished) {
    test::write_bytes(dir / "game.tap", make_game_tape("          "));
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, build_report("Finished.tap"));
    EXPECT_TRUE(fs::exists(dir / "Finished.tap"));
    EXPECT_EQ(calls("xdg-open"), (std::vector<std::vector<std::string>>{{p() + "Finished.tap"}}));
}

TEST_F(BuildTest, MissingGameTapeIsReported) {
    fs::remove(dir / "game.tap");
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    // Nothing is joined into a tape that would not load, and no empty game tape is left behind.
    // With no game there is no name for a tape: the report names the tape that is missing.
    EXPECT_EQ(result.out, build_report("no game.tap"));
    EXPECT_EQ(
        result.err,
        "tunefuse: error: game.tap is missing or empty: copy your game's tape into the program directory "
        "as game.tap\n"
        "tunefuse: error: no output tape was written\n");
    EXPECT_FALSE(fs::exists(dir / "Finished.tap"));
    EXPECT_FALSE(fs::exists(dir / "game.tap"));
}

TEST_F(BuildTest, MusicChosenOnTheCommandLine) {
    fs::create_directories(temp / "songs");
    test::write_bytes(temp / "songs" / "my song.pt3", make_module("Other", "Someone", 1023));
    std::string lines = "Music file selected \t: my song.pt3\nMusic file size     \t: 1023 bytes (~ 0kb)\n";

    struct Case {
        std::vector<std::string> args;
        fs::path working_directory;
    };
    for (const Case& c : std::vector<Case>{{{(temp / "songs" / "my song.pt3").string()}, {}},
                                           {{"songs/my song.pt3"}, temp.path()},
                                           {{"\"songs/my song.pt3\""}, temp.path()},
                                           {{"my song.pt3"}, temp / "songs"}}) {
        fs::remove(temp / "log" / "zx7.args");
        auto result = run(c.args, c.working_directory);
        EXPECT_EQ(result.exit_code, 0) << c.args[0] << ": " << result.err;
        EXPECT_EQ(result.out.substr(test::banner_lines.size(), lines.size()), lines) << c.args[0];
    }
}

// Music chosen from the work folder is the work copy itself: it is used in place and never
// deleted with the intermediate files.
TEST_F(BuildTest, MusicInTheWorkFolderIsKept) {
    test::write_bytes(dir / "bin" / "music.pt3", module);
    auto result = run({"bin/music.pt3"}, dir);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(test::read_bytes(dir / "bin" / "music.pt3"), module);
}

TEST_F(BuildTest, EmptyParameterMeansDefaultMusic) {
    auto result = run({""});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, build_report("demo.tap"));
}

TEST_F(BuildTest, MissingMusicReportsMinusOne) {
    fs::remove(dir / "music.pt3");
    env["FAKE_ZX7_MODE"] = "silent";
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find("Music file size     \t: -1 bytes (~ 0kb)\n"), std::string::npos);
    EXPECT_NE(result.out.find("Compressed Size     \t: -1 bytes (~ 0kb)\n"), std::string::npos);
    EXPECT_NE(result.err.find("tunefuse: error: music file not found: " + p() + "music.pt3\n"),
              std::string::npos);
}

// Failing tools are the shared fault table's (fault_cases.hpp); a tool that ends well but makes
// nothing is reported too, after the closing lines.
TEST_F(BuildTest, AToolThatMakesNothingIsReportedAfterTheClosingLines) {
    env = {{"FAKE_PASMO_MODE", "silent"}};
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("tunefuse: error: the assembled player was not produced"), std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find(test::closing_lines), std::string::npos);
}

TEST_F(BuildTest, MissingToolIsReported) {
    fs::remove(dir / "tools" / "pasmo");
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("tunefuse: error: could not start the assembler: " + p() + "tools/pasmo\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("Tunefuse+VTII+music    \t: -1 bytes (~ 0kb)\n"), std::string::npos);
}

TEST_F(BuildTest, StalePlayerIsNotUsed) {
    test::write_bytes(dir / "tunefuse.bin", Bytes(5000, 0x00));
    env["FAKE_PASMO_MODE"] = "fail";
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find("Tunefuse+VTII+music    \t: -1 bytes (~ 0kb)\n"), std::string::npos);
}

TEST_F(BuildTest, SecondRunReplacesTheOutputTape) {
    run();
    Bytes first = test::read_bytes(dir / "demo.tap");
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(test::read_bytes(dir / "demo.tap"), first);
}

// Folder names that a command line would split or a path reader would cut: the tape comes out
// the same, and nothing is written outside the program directory.
TEST_F(BuildTest, ProgramDirectoryNames) {
    run();
    Bytes plain = test::read_bytes(dir / "demo.tap");
    fs::remove(dir / "demo.tap");
    for (const std::string& folder : std::vector<std::string>{
             "my kit", "pipe|kit", "quote\"kit", std::string(120, 'x') + "/" + std::string(140, 'y')}) {
        fs::path moved = temp / "places" / folder;
        fs::create_directories(moved.parent_path());
        fs::rename(dir, moved);
        dir = moved;
        auto result = run();
        EXPECT_EQ(result.exit_code, 0) << folder << ": " << result.err;
        EXPECT_EQ(calls("zx7").back(), std::vector<std::string>{p() + "bin/music.pt3"}) << folder;
        EXPECT_EQ(calls("xdg-open").back(), std::vector<std::string>{p() + "demo.tap"}) << folder;
        EXPECT_EQ(test::read_bytes(dir / "demo.tap"), plain) << folder;
        fs::remove(dir / "demo.tap");
        for (const char* stray : {"KRZCode.tap", "tunefuse.bin", "game.tap", "demo.tap"})
            EXPECT_FALSE(fs::exists(temp / stray) || fs::exists(temp / "places" / stray))
                << folder << " " << stray;
    }
}

TEST_F(BuildTest, OutputThatCannotBeWrittenWholeIsReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to stand for a full disk";
    fs::create_symlink("/dev/full", dir / "demo.tap");
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("tunefuse: error: could not write the output tape demo.tap\n"),
              std::string::npos)
        << result.err;
}

TEST_F(BuildTest, FailedBuildOpensNoEarlierTape) {
    run();
    ASSERT_TRUE(fs::exists(dir / "demo.tap"));
    fs::remove(temp / "log" / "xdg-open.args");
    env["FAKE_PASMO_MODE"] = "fail";
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find("Trying to launch...\n"), std::string::npos);
    EXPECT_TRUE(calls("xdg-open").empty());
}

TEST_F(BuildTest, ScreenLargerThanTheDisplayIsReported) {
    test::write_bytes(dir / "screen.scr", Bytes(6913, 0x38));
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("tunefuse: error: screen.scr is larger than a screen (6912 bytes)\n"),
              std::string::npos)
        << result.err;
}

TEST_F(BuildTest, LaunchIsWaitedFor) {
    env["FAKE_XDG_OPEN_MODE"] = "slow";
    auto start = std::chrono::steady_clock::now();
    auto result = run();
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.exit_code, 0);
    // One second of opener, then the two-second closing pause.
    EXPECT_GE(seconds, 3.0);
}

TEST_F(BuildTest, LaunchWithoutOpenerIsNoError) {
    fs::remove(temp / "path" / "xdg-open");
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, build_report("demo.tap"));
}

TEST_F(BuildTest, CreditsLineUsesTrimmedTitleAndAuthor) {
    test::write_bytes(dir / "music.pt3", make_module("  Spaced Title", "An Author"));
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    // The title field and the separator's first byte, untrimmed: 33 characters.
    EXPECT_NE(result.out.find("Music Title\t\t:   Spaced Title" + std::string(19, ' ') + "\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(test::read_string(temp / "log" / "author.bin"),
              "Tunefuse 1.6.1 Kestrin 2017-Spaced Title/An Author/music.pt3\r\n");
}

}  // namespace
