// The zx7 program run as a real child process: its command line, its files and its exit codes.
#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.hpp"
#include "zx7_decompress.hpp"

namespace {

using test::Bytes;
namespace fs = std::filesystem;

fs::path zx7_program() {
    return test::kit_dir() / "tools" / (std::string("zx7") + TUNEFUSE_EXE_SUFFIX);
}

test::ProcessResult run_zx7(const fs::path& dir, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), zx7_program().string());
    test::ProcessOptions options;
    options.working_directory = dir;
    return test::run_process(arguments, options);
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes decompressed(const fs::path& file) {
    std::string problem;
    auto result = zx7::decompress(test::read_bytes(file), problem);
    EXPECT_TRUE(result) << problem;
    return result ? result->data : Bytes{};
}

const Bytes kMusic = test::bytes_of("PT3 music, PT3 music, PT3 music!");

TEST(Zx7Program, CompressesBesideTheInputAndSaysHowMuch) {
    test::TempDir dir;
    test::write_bytes(dir / "music.pt3", kMusic);
    auto run = run_zx7(dir.path(), {"music.pt3"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    std::size_t packed_size = fs::file_size(dir / "music.pt3.zx7");
    EXPECT_NE(run.out.find(std::to_string(kMusic.size())), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(std::to_string(packed_size)), std::string::npos) << run.out;
    EXPECT_EQ(decompressed(dir / "music.pt3.zx7"), kMusic);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"music.pt3", "music.pt3.zx7"}));
}

TEST(Zx7Program, TakesAnAbsoluteInputAndANamedOutput) {
    test::TempDir dir;
    test::write_bytes(dir / "music.pt3", kMusic);
    auto run = run_zx7(dir.path(), {(dir / "music.pt3").string(), "packed.bin"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(decompressed(dir / "packed.bin"), kMusic);
    EXPECT_FALSE(fs::exists(dir / "music.pt3.zx7"));
}

TEST(Zx7Program, OverwritesAnExistingOutputOnlyWithForce) {
    test::TempDir dir;
    test::write_bytes(dir / "music.pt3", kMusic);
    test::write_string(dir / "music.pt3.zx7", "older output");
    auto refused = run_zx7(dir.path(), {"music.pt3"});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("music.pt3.zx7"), std::string::npos) << refused.err;
    EXPECT_EQ(test::read_string(dir / "music.pt3.zx7"), "older output");
    auto forced = run_zx7(dir.path(), {"-f", "music.pt3"});
    EXPECT_EQ(forced.exit_code, 0) << forced.err;
    EXPECT_EQ(decompressed(dir / "music.pt3.zx7"), kMusic);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"music.pt3", "music.pt3.zx7"}));
}

TEST(Zx7Program, ForceMayCompressAFileOntoItself) {
    test::TempDir dir;
    test::write_bytes(dir / "data", kMusic);
    auto run = run_zx7(dir.path(), {"-f", "data", "data"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(decompressed(dir / "data"), kMusic);
}

TEST(Zx7Program, ErrorsExitWithOneAndLeaveNoOutput) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"no arguments", {}},
        {"only the option", {"-f"}},
        {"unknown option", {"-x", "music.pt3"}},
        {"option after the input", {"music.pt3", "-f"}},
        {"too many names", {"music.pt3", "a.zx7", "b.zx7"}},
        {"missing input", {"absent.pt3"}},
        {"empty input", {"empty.pt3"}},
        {"input is a folder", {"folder"}},
        {"output folder missing", {"music.pt3", "no/such/folder/out.zx7"}},
        {"output is a folder", {"-f", "music.pt3", "folder"}},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        test::write_bytes(dir / "music.pt3", kMusic);
        test::write_bytes(dir / "empty.pt3", {});
        fs::create_directory(dir / "folder");
        auto before = names_in(dir.path());
        auto run = run_zx7(dir.path(), c.arguments);
        EXPECT_EQ(run.exit_code, 1) << c.name;
        EXPECT_NE(run.err, "") << c.name;
        EXPECT_EQ(run.out, "") << c.name;
        EXPECT_EQ(names_in(dir.path()), before) << c.name;
        EXPECT_TRUE(fs::is_empty(dir / "folder")) << c.name;
    }
}

}  // namespace
