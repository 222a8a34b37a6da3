// The tools as real child processes from the kit's tools folder: what zx7 writes decompresses
// to its input and is as small as the widely used compressor's, bin2tap's tapes read back by
// Debian's tzxlist, and both refuse bad command lines without touching a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "test_support.hpp"
#include "zx7_decompress.hpp"

namespace {

using test::Bytes;
namespace fs = std::filesystem;

test::ProcessResult run_tool(const std::string& tool, const fs::path& dir,
                             std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), (test::kit_dir() / "tools" / (tool + TUNEFUSE_EXE_SUFFIX)).string());
    return test::run_process(arguments, {.working_directory = dir});
}

Bytes random_bytes(int size, int seed, int values = 256) {
    std::mt19937 random(static_cast<unsigned>(seed));
    Bytes bytes(static_cast<std::size_t>(size));
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random() % values);
    return bytes;
}

// zx7's output decompresses to its input, in no more than nine bits a literal, a copy within reach
// costing one match, and no larger than the widely used compressor's output beside a corpus file.
TEST(Zx7Program, OutputDecompressesToTheInputAndIsOptimal) {
    std::vector<std::tuple<std::string, Bytes, int>> inputs = {
        {"one byte", {0xAA}, 0},
        {"the longest match", Bytes(65537, 0xE5), 0},
        {"one byte past the longest match", Bytes(65538, 0xE5), 0},
        {"random bytes", random_bytes(6912, 1), 0},
        {"four values", random_bytes(3000, 2, 4), 0}};
    // A random block alone, then with a copy of its first 40 bytes at the largest near offset, the
    // first far one, where the far offset's high bits begin, the largest far offset and one beyond.
    for (int distance : {128, 129, 1152, 1153, 2176, 2177}) {
        Bytes data = random_bytes(distance, distance);
        inputs.emplace_back("a block of " + std::to_string(distance), data, 0);
        data.insert(data.end(), data.begin(), data.begin() + 40);
        inputs.emplace_back("a copy at distance " + std::to_string(distance), data, distance);
    }
    if (auto corpus = test::shared_dir("corpus"))
        for (const auto& entry : fs::recursive_directory_iterator(*corpus))
            if (entry.path().extension() == ".pt3" || entry.path().extension() == ".scr")
                inputs.emplace_back(entry.path().string(), test::read_bytes(entry.path()), 0);
    test::TempDir dir;
    for (std::size_t before = 0; const auto& [label, data, distance] : inputs) {
        test::write_bytes(dir / "input", data);
        auto run = run_tool("zx7", dir.path(), {"-f", "input"});
        EXPECT_EQ(run.exit_code, 0) << label << ": " << run.err;
        Bytes packed = test::read_bytes(dir / "input.zx7");
        std::erase(run.out, '\r');  // a Windows console program ends its line with CR LF
        EXPECT_EQ(run.out, "input: " + std::to_string(data.size()) +
                               " bytes -> input.zx7: " + std::to_string(packed.size()) + " bytes\n");
        std::string problem;
        auto unpacked = zx7::decompress(packed, problem);
        EXPECT_TRUE(unpacked && unpacked->data == data && unpacked->bytes_read == packed.size())
            << label << problem;
        // Beside its block alone (before), a copy in reach adds one match: a flag, 39 in Elias gamma (11
        // bits), the offset byte, past 128 four bits: 24 bits, 3 bytes. Past 2176: 40 random bytes, 320 bits.
        std::size_t literals = 1 + ((data.size() - 1) * 9 + 18 + 7) / 8;
        EXPECT_LE(packed.size(), distance > 0 && distance <= 2176 ? before + 3 : literals) << label;
        EXPECT_GE(packed.size(), distance > 2176 ? before + 40 : 0) << label;
        before = packed.size();
        if (!fs::exists(label + ".zx7")) continue;
        auto theirs = zx7::decompress(test::read_bytes(label + ".zx7"), problem);
        EXPECT_TRUE(theirs && theirs->data == data) << label << ".zx7: " << problem;
        EXPECT_LE(packed.size(), fs::file_size(label + ".zx7")) << label;
    }
}

// bin2tap's blocks as tzxlist reads them, options in any order: a CODE header (the name up to its
// first dot, ten characters, '?' for non-ASCII), the data, both checksums right; -append appends.
TEST(Bin2tapProgram, WritesCodeBlocksThatTzxlistReads) {
    if (std::string(TUNEFUSE_EXE_SUFFIX) == ".exe") GTEST_SKIP() << "tzxlist is a Linux program";
    struct Case {
        std::string file, name;
        int address, size;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"tunefuse.bin", "tunefuse  ", 25500, 5, {"-o", "out.tap", "tunefuse.bin", "-a", "25500"}},
        {"abcdefghijk.b", "abcdefghij", 0, 65533, {"-append", "-a", "0", "-o", "out.tap", "abcdefghijk.b"}},
        {"\u00f1.bin", "?         ", 49152, 16384, {"-o", "out.tap", "\u00f1.bin", "-append", "-a", "49152"}},
        {".hidden", "          ", 65535, 1, {".hidden", "-a", "65535", "-append", "-o", "out.tap"}},
        {"player.code.bin", "player    ", 32768, 6912, {"player.code.bin"}}};
    test::TempDir dir;
    test::write_string(dir / "out.tap", "an older tape, replaced");
    for (const Case& c : cases) {
        test::write_bytes(dir / c.file, random_bytes(c.size, c.size));
        auto run = run_tool("bin2tap", dir.path(), c.arguments);
        EXPECT_EQ(run.exit_code, 0) << c.file << ": " << run.err;
        EXPECT_EQ(run.out + run.err, "");
    }
    const test::ProcessOptions in_dir{.working_directory = dir.path()};
    std::string listing = test::run_process({"tzxlist", "-d", "-1", "out.tap"}, in_dir).out +
                          test::run_process({"tzxlist", "player.code.tap"}, in_dir).out;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string size = std::to_string(cases[i].size), address = std::to_string(cases[i].address);
        for (const std::string& line :
             {"Block header, zxlength: " + size + ", parameter1: " + address + ", parameter2: 32768\n",
              "Bytes: \"" + cases[i].name + "\" CODE  " + address + ", " + size + "\n"})
            EXPECT_NE(listing.find(line), std::string::npos) << "no " << line << listing;
        if (i + 1 == std::size(cases)) break;
        char data[16];
        std::snprintf(data, sizeof data, "%08zu.dat", 2 * i);
        EXPECT_EQ(test::read_bytes(dir / data), random_bytes(cases[i].size, cases[i].size)) << cases[i].file;
    }
    EXPECT_EQ(listing.find("Block #8"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("FAIL"), std::string::npos) << listing;
}

// Every refusal exits with 1, says why on standard error, and leaves every file as it was.
TEST(ToolErrors, RefuseWithoutTouchingAFile) {
    struct Case {
        const char* tool;
        const char* name;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"zx7", "no arguments", {}},
        {"zx7", "unknown option", {"-x", "code.bin"}},
        {"zx7", "option after the input", {"code.bin", "-f"}},
        {"zx7", "too many names", {"code.bin", "a.zx7", "b.zx7"}},
        {"zx7", "missing input", {"absent.bin"}},
        {"zx7", "empty input", {"empty.bin", "new.zx7"}},
        {"zx7", "input is a folder", {"folder", "new.zx7"}},
        {"zx7", "output exists, no -f", {"code.bin", "out.tap"}},
        {"zx7", "output folder missing", {"code.bin", "no/such/folder/out.zx7"}},
        {"zx7", "output is a folder", {"-f", "code.bin", "folder"}},
        {"bin2tap", "empty input", {"-append", "-o", "out.tap", "empty.bin"}},
        {"bin2tap", "no input", {"-append", "-o", "out.tap"}},
        {"bin2tap", "two inputs", {"-o", "out.tap", "code.bin", "code.bin"}},
        {"bin2tap", "unknown option", {"-o", "out.tap", "-x", "code.bin"}},
        {"bin2tap", "-a without a value", {"-append", "-o", "out.tap", "code.bin", "-a"}},
        {"bin2tap", "address too big", {"-append", "-o", "out.tap", "code.bin", "-a", "65536"}},
        {"bin2tap", "address not a number", {"-o", "out.tap", "code.bin", "-a", "0x6000"}},
        {"bin2tap", "empty address", {"-o", "out.tap", "code.bin", "-a", ""}},
        {"bin2tap", "code one byte past the top", {"-append", "-o", "out.tap", "code.bin", "-a", "64537"}},
        {"bin2tap", "code too long for a block", {"-append", "-o", "out.tap", "huge.bin", "-a", "0"}},
        {"bin2tap", "output is a folder", {"-o", "folder", "code.bin"}}};
    for (const Case& c : cases) {
        test::TempDir dir;
        test::write_bytes(dir / "code.bin", Bytes(1000, 0x76));
        test::write_bytes(dir / "huge.bin", Bytes(65534, 0));
        test::write_bytes(dir / "empty.bin", {});
        test::write_string(dir / "out.tap", "an older tape");
        fs::create_directory(dir / "folder");
        SCOPED_TRACE(std::string(c.tool) + ", " + c.name);
        auto run = run_tool(c.tool, dir.path(), c.arguments);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err.rfind(std::string(c.tool) + ": ", 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(test::read_string(dir / "out.tap"), "an older tape");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 5);
        EXPECT_TRUE(fs::is_empty(dir / "folder"));
    }
}

}  // namespace
