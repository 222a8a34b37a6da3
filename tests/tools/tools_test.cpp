// The tools as real child processes from the kit's tools folder: what zx7 writes decompresses
// to its input and is as small as the widely used compressor's, bin2tap's tapes read back by
// Debian's tzxlist, and both refuse bad command lines without touching a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_support.hpp"
#include "zx7_decompress.hpp"

namespace {

using test::Bytes;
namespace fs = std::filesystem;

test::ProcessResult run_tool(const std::string& tool, const fs::path& dir,
                             std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), (test::kit_dir() / "tools" / (tool + TUNEFUSE_EXE_SUFFIX)).string());
    test::ProcessOptions options;
    options.working_directory = dir;
    return test::run_process(arguments, options);
}

Bytes random_bytes(std::size_t size, unsigned seed, int values = 256) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random() % values);
    return bytes;
}

std::vector<fs::path> corpus_files(const std::string& extension) {
    std::vector<fs::path> files;
    if (auto corpus = test::corpus_dir())
        for (const auto& entry : fs::recursive_directory_iterator(*corpus))
            if (entry.is_regular_file() && entry.path().extension() == extension)
                files.push_back(entry.path());
    return files;
}

// zx7 on the input, then the packed file decompressed; the packed file is returned.
Bytes round_trip(const fs::path& dir, const Bytes& data, const std::string& label) {
    test::write_bytes(dir / "input", data);
    fs::remove(dir / "input.zx7");
    auto run = run_tool("zx7", dir, {"input"});
    EXPECT_EQ(run.exit_code, 0) << label << ": " << run.err;
    Bytes packed = test::read_bytes(dir / "input.zx7");
    EXPECT_EQ(run.out, "input: " + std::to_string(data.size()) +
                           " bytes -> input.zx7: " + std::to_string(packed.size()) + " bytes\n");
    std::string problem;
    auto unpacked = zx7::decompress(packed, problem);
    EXPECT_TRUE(unpacked && unpacked->data == data) << label << ": " << problem;
    EXPECT_TRUE(unpacked && unpacked->bytes_read == packed.size()) << label << ": bytes after the end marker";
    // Never more than the first byte raw, nine bits a literal and the end marker.
    EXPECT_LE(packed.size(), 1 + ((data.size() - 1) * 9 + 18 + 7) / 8) << label;
    return packed;
}

TEST(Zx7Program, OutputDecompressesToTheInput) {
    test::TempDir dir;
    std::vector<std::pair<std::string, Bytes>> inputs = {
        {"one byte", {0xAA}},
        {"the longest match", Bytes(65537, 0xE5)},
        {"one byte past the longest match", Bytes(65538, 0xE5)},
        {"random bytes", random_bytes(6912, 1)},
        {"four values", random_bytes(3000, 2, 4)},
    };
    // A copy of a block's start at the largest near offset, the first far one, where the far
    // offset's high bits begin, and at the largest far offset and one beyond.
    for (std::size_t distance : {128u, 129u, 1152u, 1153u, 2176u, 2177u}) {
        Bytes data = random_bytes(distance, static_cast<unsigned>(distance));
        data.insert(data.end(), data.begin(), data.begin() + 40);
        inputs.emplace_back("a copy at distance " + std::to_string(distance), data);
    }
    for (const auto& file : corpus_files(".pt3")) inputs.emplace_back(file.string(), test::read_bytes(file));
    for (const auto& [label, data] : inputs) round_trip(dir.path(), data, label);
}

// The compressor's parse is optimal: on the corpus screens it is no larger than the widely
// used compressor's, whose output our decompressor reads too.
TEST(Zx7Program, ScreensPackAsSmallAsTheWidelyUsedCompressor) {
    test::TempDir dir;
    int pairs = 0;
    for (const fs::path& screen : corpus_files(".scr")) {
        fs::path golden = screen.string() + ".zx7";
        if (!fs::exists(golden)) continue;
        ++pairs;
        std::string problem;
        auto theirs = zx7::decompress(test::read_bytes(golden), problem);
        EXPECT_TRUE(theirs && theirs->data == test::read_bytes(screen)) << golden << ": " << problem;
        EXPECT_LE(round_trip(dir.path(), test::read_bytes(screen), screen).size(), fs::file_size(golden))
            << screen;
    }
    if (pairs == 0) GTEST_SKIP() << "no .scr and .scr.zx7 pairs in the shared corpus";
}

TEST(Zx7Program, ForceOverwritesTheOutputEvenWithTheInput) {
    test::TempDir dir;
    const Bytes music = test::bytes_of("PT3 music, PT3 music, PT3 music!");
    for (const char* output : {"out.zx7", "music.pt3"}) {
        test::write_bytes(dir / "music.pt3", music);
        test::write_string(dir / "out.zx7", "older output");
        auto run = run_tool("zx7", dir.path(), {"-f", "music.pt3", output});
        EXPECT_EQ(run.exit_code, 0) << run.err;
        std::string problem;
        auto unpacked = zx7::decompress(test::read_bytes(dir / output), problem);
        EXPECT_TRUE(unpacked && unpacked->data == music) << output << ": " << problem;
    }
}

// bin2tap's blocks as tzxlist reads them: a CODE header with the name (the file's base name
// up to its first dot, ten characters, '?' for what is not ASCII), length, address and 32768,
// then the data; both checksums right.
TEST(Bin2tapProgram, WritesACodeHeaderAndItsDataAsTzxlistReadsThem) {
    if (std::string(TUNEFUSE_EXE_SUFFIX) == ".exe") GTEST_SKIP() << "tzxlist is a Linux program";
    struct Case {
        std::string file;
        std::vector<std::string> arguments;
        std::string tape, name;
        int address, size;
    };
    const Case cases[] = {
        {"tunefuse.bin", {"-o", "out.tap", "tunefuse.bin", "-a", "25500"}, "out.tap", "tunefuse  ", 25500, 5},
        {"player.code.bin", {"player.code.bin"}, "player.code.tap", "player    ", 32768, 6912},
        {"averyveryverylongname.bin",
         {"-a", "0", "averyveryverylongname.bin"},
         "averyveryverylongname.tap",
         "averyveryv",
         0,
         65533},
        {"\xC3\xB1"
         "ame.bin",
         {"-a", "49152", "-o", "out.tap",
          "\xC3\xB1"
          "ame.bin"},
         "out.tap",
         "?ame      ",
         49152,
         16384},
        {".hidden", {"-o", "out.tap", ".hidden", "-a", "65535"}, "out.tap", "          ", 65535, 1},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        Bytes code = random_bytes(static_cast<std::size_t>(c.size), static_cast<unsigned>(c.size));
        test::write_bytes(dir / c.file, code);
        test::write_string(dir / "out.tap", "an older tape, replaced");
        auto run = run_tool("bin2tap", dir.path(), c.arguments);
        ASSERT_EQ(run.exit_code, 0) << c.file << ": " << run.err;
        EXPECT_EQ(run.out + run.err, "");
        test::ProcessOptions in_dir;
        in_dir.working_directory = dir.path();
        std::string listing = test::run_process({"tzxlist", "-d", "-1", c.tape}, in_dir).out;
        std::string size = std::to_string(c.size), address = std::to_string(c.address);
        for (const std::string& line :
             {"Block header, zxlength: " + size + ", parameter1: " + address + ", parameter2: 32768\n",
              "Bytes: \"" + c.name + "\" CODE  " + address + ", " + size + "\n",
              "Datablock length: " + size + "\n"})
            EXPECT_NE(listing.find(line), std::string::npos) << c.file << ": no " << line << listing;
        EXPECT_EQ(listing.find("Block #2"), std::string::npos) << listing;
        EXPECT_EQ(listing.find("FAIL"), std::string::npos) << listing;
        EXPECT_EQ(test::read_bytes(dir / "00000000.dat"), code) << c.file;
    }
}

TEST(Bin2tapProgram, AppendAddsBlocksAfterThoseThere) {
    if (std::string(TUNEFUSE_EXE_SUFFIX) == ".exe") GTEST_SKIP() << "tzxlist is a Linux program";
    test::TempDir dir;
    test::write_bytes(dir / "screen.bin", Bytes(6912, 0x38));
    test::write_bytes(dir / "tunefuse.bin", Bytes(5, 0xC9));
    for (auto [file, address] : {std::pair{"screen.bin", "16384"}, std::pair{"tunefuse.bin", "25500"}})
        EXPECT_EQ(
            run_tool("bin2tap", dir.path(), {"-append", "-o", "KRZCode.tap", file, "-a", address}).exit_code,
            0);
    test::ProcessOptions in_dir;
    in_dir.working_directory = dir.path();
    std::string listing = test::run_process({"tzxlist", "-d", "-1", "KRZCode.tap"}, in_dir).out;
    EXPECT_NE(listing.find("Bytes: \"screen    \" SCREEN$  16384, 6912\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("Bytes: \"tunefuse  \" CODE  25500, 5\n"), std::string::npos) << listing;
    EXPECT_EQ(test::read_bytes(dir / "00000000.dat"), Bytes(6912, 0x38));
    EXPECT_EQ(test::read_bytes(dir / "00000002.dat"), Bytes(5, 0xC9));
    EXPECT_EQ(listing.find("Block #4"), std::string::npos) << listing;
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
        {"zx7", "only the option", {"-f"}},
        {"zx7", "unknown option", {"-x", "code.bin"}},
        {"zx7", "option after the input", {"code.bin", "-f"}},
        {"zx7", "too many names", {"code.bin", "a.zx7", "b.zx7"}},
        {"zx7", "missing input", {"absent.bin"}},
        {"zx7", "empty input", {"empty.bin", "new.zx7"}},
        {"zx7", "input is a folder", {"folder", "new.zx7"}},
        {"zx7", "output exists, no -f", {"code.bin", "out.tap"}},
        {"zx7", "output folder missing", {"code.bin", "no/such/folder/out.zx7"}},
        {"zx7", "output is a folder", {"-f", "code.bin", "folder"}},
        {"bin2tap", "missing input", {"-append", "-o", "out.tap", "absent.bin"}},
        {"bin2tap", "input is a folder", {"-append", "-o", "out.tap", "folder"}},
        {"bin2tap", "empty input", {"-append", "-o", "out.tap", "empty.bin"}},
        {"bin2tap", "no input", {"-append", "-o", "out.tap"}},
        {"bin2tap", "two inputs", {"-o", "out.tap", "code.bin", "code.bin"}},
        {"bin2tap", "unknown option", {"-o", "out.tap", "-x", "code.bin"}},
        {"bin2tap", "-a without a value", {"-append", "-o", "out.tap", "code.bin", "-a"}},
        {"bin2tap", "-o without a value", {"code.bin", "-a", "25500", "-o"}},
        {"bin2tap", "address too big", {"-append", "-o", "out.tap", "code.bin", "-a", "65536"}},
        {"bin2tap", "negative address", {"-append", "-o", "out.tap", "code.bin", "-a", "-1"}},
        {"bin2tap", "address not a number", {"-o", "out.tap", "code.bin", "-a", "0x6000"}},
        {"bin2tap", "empty address", {"-o", "out.tap", "code.bin", "-a", ""}},
        {"bin2tap", "code one byte past the top", {"-append", "-o", "out.tap", "code.bin", "-a", "64537"}},
        {"bin2tap", "code too long for a block", {"-append", "-o", "out.tap", "huge.bin", "-a", "0"}},
        {"bin2tap", "output is a folder", {"-o", "folder", "code.bin"}},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        test::write_bytes(dir / "code.bin", Bytes(1000, 0x76));
        test::write_bytes(dir / "huge.bin", Bytes(65534, 0));
        test::write_bytes(dir / "empty.bin", {});
        test::write_string(dir / "out.tap", "an older tape");
        fs::create_directory(dir / "folder");
        auto run = run_tool(c.tool, dir.path(), c.arguments);
        EXPECT_EQ(run.exit_code, 1) << c.tool << ", " << c.name;
        EXPECT_EQ(run.err.rfind(std::string(c.tool) + ": ", 0), 0u)
            << c.tool << ", " << c.name << ": " << run.err;
        EXPECT_EQ(run.out, "") << c.tool << ", " << c.name;
        EXPECT_EQ(test::read_string(dir / "out.tap"), "an older tape") << c.tool << ", " << c.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 5) << c.tool << ", " << c.name;
        EXPECT_TRUE(fs::is_empty(dir / "folder")) << c.tool << ", " << c.name;
    }
}

}  // namespace
