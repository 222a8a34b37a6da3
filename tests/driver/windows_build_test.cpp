// The whole build on Windows, end to end: tunefuse.exe in a temporary program directory with
// stand-in tools built as Windows programs, its report read back from UTF-16LE.
#include <gtest/gtest.h>

#include <fstream>

#include "build_inputs.hpp"
#include "test_support.hpp"

namespace {

using test::Bytes;
namespace fs = std::filesystem;

class WindowsBuildTest : public ::testing::Test {
protected:
    void lay_out(const std::string& folder) {
        dir = temp.path() / folder;
        test::lay_out_program_directory(dir);
        for (const char* tool : {"zx7.exe", "pasmo.exe", "bin2tap.exe"})
            fs::copy_file(test::helper("fake_tool"), dir / "tools" / tool);
        // The program's own folder comes first in the search for "cmd.exe".
        fs::copy_file(test::helper("fake_tool"), dir / "cmd.exe");
        fs::create_directories(temp / "log");
        test::write_string(dir / "asm" / "tunefuse.asm", " org 25500\n ret\n");
        test::write_bytes(dir / "music.pt3", test::make_module());
        game = test::make_game_tape("demo      ");
        test::write_bytes(dir / "game.tap", game);
    }

    test::ProcessResult run() {
        test::ProcessOptions options;
        options.working_directory = temp.path();
        options.env = {{"FAKE_TOOL_LOG", (temp / "log").string()}};
        for (const auto& [name, value] : env) options.env[name] = value;
        return test::run_process({(dir / "tunefuse.exe").string()}, options);
    }

    std::vector<std::vector<std::string>> calls(const std::string& tool) {
        return test::recorded_calls(temp / "log" / (tool + ".args"));
    }

    std::string p() const { return dir.string() + "\\"; }

    test::TempDir temp;
    fs::path dir;
    Bytes game;
    std::map<std::string, std::string> env;
};

TEST_F(WindowsBuildTest, CompleteBuild) {
    lay_out("kit");
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << test::from_utf16le(result.err);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::from_utf16le(result.out), test::build_report("demo.tap"));

    EXPECT_EQ(calls("zx7"), (std::vector<std::vector<std::string>>{{p() + "bin\\music.pt3"}}));
    EXPECT_EQ(
        calls("pasmo"),
        (std::vector<std::vector<std::string>>{{"--err", p() + "asm\\tunefuse.asm", p() + "tunefuse.bin"}}));
    EXPECT_EQ(calls("bin2tap"), (std::vector<std::vector<std::string>>{
                                    {"-append", "-o", "KRZCode.tap", p() + "tunefuse.bin", "-a", "25500"}}));
    EXPECT_EQ(calls("cmd"), (std::vector<std::vector<std::string>>{{"/c", p() + "demo.tap"}}));

    Bytes output = test::read_bytes(dir / "demo.tap");
    Bytes player = test::bytes_of("BIN2TAP tunefuse.bin 25500\n");
    ASSERT_GT(output.size(), player.size() + game.size());
    std::size_t loader_size = output.size() - player.size() - game.size();
    EXPECT_EQ(Bytes(output.begin() + 4, output.begin() + 14), test::bytes_of("demo      "));
    EXPECT_EQ(Bytes(output.begin() + loader_size, output.end() - game.size()), player);
    EXPECT_EQ(Bytes(output.end() - game.size(), output.end()), game);

    for (const char* name : {"KRZCode.tap", "tunefuse.bin", "screen.bin", "bin\\author.bin", "bin\\music.pt3",
                             "bin\\music.pt3.zx7"})
        EXPECT_FALSE(fs::exists(dir / name)) << name;
    EXPECT_EQ(test::read_bytes(dir / "game.tap"), game);
}

TEST_F(WindowsBuildTest, ProgramDirectoryWithSpacesAndAmpersand) {
    lay_out("my kit & more");
    auto result = run();
    EXPECT_EQ(result.exit_code, 0) << test::from_utf16le(result.err);
    EXPECT_EQ(test::from_utf16le(result.out), test::build_report("demo.tap"));
    EXPECT_EQ(calls("zx7"), (std::vector<std::vector<std::string>>{{p() + "bin\\music.pt3"}}));
    EXPECT_EQ(
        calls("pasmo"),
        (std::vector<std::vector<std::string>>{{"--err", p() + "asm\\tunefuse.asm", p() + "tunefuse.bin"}}));
    EXPECT_TRUE(fs::exists(dir / "demo.tap"));
}

TEST_F(WindowsBuildTest, FailingAndMissingToolsAreReportedInUtf16) {
    lay_out("kit");
    env["FAKE_ZX7_MODE"] = "fail";
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(test::from_utf16le(result.err).find("tunefuse: error: the compressor exited with code 3\n"),
              std::string::npos)
        << test::from_utf16le(result.err);

    env.clear();
    fs::remove(dir / "tools" / "pasmo.exe");
    result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(test::from_utf16le(result.err)
                  .find("tunefuse: error: could not start the assembler: " + p() + "tools\\pasmo.exe\n"),
              std::string::npos)
        << test::from_utf16le(result.err);
}

}  // namespace
