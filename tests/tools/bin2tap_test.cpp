// bin2tap: the tape name rule in-process, then the program as a real child process, with the
// blocks it writes read back by our own walker and by Debian's tzxlist.
#include <gtest/gtest.h>

#include <algorithm>

#include "tap_code_blocks.hpp"
#include "test_support.hpp"

namespace {

using test::Bytes;
namespace fs = std::filesystem;

TEST(Bin2tapName, BaseNameUpToTheFirstDotInTenCharacters) {
    const std::pair<const char*, const char*> cases[] = {
        {"tunefuse.bin", "tunefuse  "},
        {"screen.bin", "screen    "},
        {"noextension", "noextensio"},
        {"averyveryverylongname.bin", "averyveryv"},
        {"exactlyten.bin", "exactlyten"},
        {"game.v2.bin", "game      "},
        {".hidden", "          "},
        {"some.dir/sub/player.bin", "player    "},
        {"\xC3\xB1"
         "ame.bin",
         "?ame      "},
        {"\xE2\x82\xAC\xE2\x82\xAC.bin", "??        "},
    };
    for (const auto& [file, name] : cases) {
        EXPECT_EQ(bin2tap::tape_name(fs::path(std::u8string(reinterpret_cast<const char8_t*>(file)))), name)
            << file;
    }
}

fs::path bin2tap_program() {
    return test::kit_dir() / "tools" / (std::string("bin2tap") + TUNEFUSE_EXE_SUFFIX);
}

test::ProcessResult run_bin2tap(const fs::path& dir, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), bin2tap_program().string());
    test::ProcessOptions options;
    options.working_directory = dir;
    return test::run_process(arguments, options);
}

// The blocks of a TAP file, each without its length field; fails the test on a bad layout.
std::vector<Bytes> tape_blocks(const Bytes& tape) {
    std::vector<Bytes> blocks;
    std::size_t at = 0;
    while (at + 2 <= tape.size()) {
        std::size_t length = tape[at] | tape[at + 1] << 8;
        at += 2;
        if (at + length > tape.size()) break;
        blocks.emplace_back(tape.begin() + static_cast<std::ptrdiff_t>(at),
                            tape.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    EXPECT_EQ(at, tape.size()) << "the tape ends inside a block";
    return blocks;
}

std::uint8_t xor_of(const Bytes& block) {
    std::uint8_t value = 0;
    for (std::uint8_t byte : block) value ^= byte;
    return value;
}

const Bytes kCode = test::hex_bytes("01 02 03 04 05");
// A CODE header for "tunefuse" (5 bytes at 25500 = 0x639C) and the data block.
const Bytes kTunefuseBlocks = test::hex_bytes(
    "13 00 00 03 74 75 6E 65 66 75 73 65 20 20 05 00 9C 63 00 80 76 "
    "07 00 FF 01 02 03 04 05 FE");

TEST(Bin2tapProgram, WritesTheExactBlocks) {
    test::TempDir dir;
    test::write_bytes(dir / "tunefuse.bin", kCode);
    auto run = run_bin2tap(dir.path(), {"-o", "out.tap", "tunefuse.bin", "-a", "25500"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(test::read_bytes(dir / "out.tap"), kTunefuseBlocks);
}

TEST(Bin2tapProgram, OptionsInAnyOrder) {
    const std::vector<std::string> orders[] = {
        {"-a", "25500", "tunefuse.bin", "-o", "out.tap"},
        {"tunefuse.bin", "-o", "out.tap", "-a", "25500"},
        {"-o", "out.tap", "-a", "25500", "tunefuse.bin"},
    };
    for (const auto& arguments : orders) {
        test::TempDir dir;
        test::write_bytes(dir / "tunefuse.bin", kCode);
        auto run = run_bin2tap(dir.path(), arguments);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(test::read_bytes(dir / "out.tap"), kTunefuseBlocks) << arguments[0];
    }
}

TEST(Bin2tapProgram, DefaultsToTheInputNameAndAddress32768) {
    test::TempDir dir;
    test::write_bytes(dir / "player.code.bin", kCode);
    auto run = run_bin2tap(dir.path(), {(dir / "player.code.bin").string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    auto blocks = tape_blocks(test::read_bytes(dir / "player.code.tap"));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(std::string(blocks[0].begin() + 2, blocks[0].begin() + 12), "player    ");
    EXPECT_EQ(blocks[0][14] | blocks[0][15] << 8, 32768);
}

TEST(Bin2tapProgram, AppendTwiceGivesFourBlocks) {
    test::TempDir dir;
    test::write_bytes(dir / "screen.bin", Bytes(6912, 0x38));
    test::write_bytes(dir / "tunefuse.bin", kCode);
    for (auto [file, address] : {std::pair{"screen.bin", "16384"}, std::pair{"tunefuse.bin", "25500"}}) {
        auto run = run_bin2tap(dir.path(), {"-append", "-o", "KRZCode.tap", file, "-a", address});
        EXPECT_EQ(run.exit_code, 0) << run.err;
    }
    Bytes tape = test::read_bytes(dir / "KRZCode.tap");
    auto blocks = tape_blocks(tape);
    ASSERT_EQ(blocks.size(), 4u);
    const std::uint8_t flags[] = {0x00, 0xFF, 0x00, 0xFF};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(blocks[i][0], flags[i]) << "block " << i;
        EXPECT_EQ(xor_of(blocks[i]), 0) << "checksum of block " << i;
    }
    EXPECT_EQ(std::string(blocks[0].begin() + 2, blocks[0].begin() + 12), "screen    ");
    EXPECT_EQ(blocks[1].size(), 6912u + 2);
    EXPECT_TRUE(std::equal(kTunefuseBlocks.begin(), kTunefuseBlocks.end(), tape.end() - 30));
}

TEST(Bin2tapProgram, WithoutAppendTheOutputIsReplaced) {
    test::TempDir dir;
    test::write_bytes(dir / "tunefuse.bin", kCode);
    test::write_string(dir / "out.tap", std::string(100, 'x'));
    auto run = run_bin2tap(dir.path(), {"-o", "out.tap", "tunefuse.bin", "-a", "25500"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(test::read_bytes(dir / "out.tap"), kTunefuseBlocks);
}

TEST(Bin2tapProgram, CodeMayReachTheTopOfMemory) {
    test::TempDir dir;
    test::write_bytes(dir / "top.bin", Bytes(16384, 0xC9));
    auto run = run_bin2tap(dir.path(), {"top.bin", "-a", "49152"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(fs::file_size(dir / "top.tap"), 21u + 16384 + 4);
}

TEST(Bin2tapProgram, ErrorsLeaveTheOutputAsItWas) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"missing input", {"-append", "-o", "out.tap", "absent.bin"}},
        {"input is a folder", {"-append", "-o", "out.tap", "folder"}},
        {"empty input", {"-append", "-o", "out.tap", "empty.bin"}},
        {"no input", {"-append", "-o", "out.tap"}},
        {"two inputs", {"-o", "out.tap", "code.bin", "code.bin"}},
        {"unknown option", {"-o", "out.tap", "-x", "code.bin"}},
        {"-a without a value", {"-append", "-o", "out.tap", "code.bin", "-a"}},
        {"-o without a value", {"code.bin", "-a", "25500", "-o"}},
        {"address too big", {"-append", "-o", "out.tap", "code.bin", "-a", "65536"}},
        {"negative address", {"-append", "-o", "out.tap", "code.bin", "-a", "-1"}},
        {"address not a number", {"-o", "out.tap", "code.bin", "-a", "0x6000"}},
        {"empty address", {"-o", "out.tap", "code.bin", "-a", ""}},
        {"code past the top of memory", {"-append", "-o", "out.tap", "code.bin", "-a", "65000"}},
        {"code one byte past the top", {"-append", "-o", "out.tap", "code.bin", "-a", "64537"}},
        {"code too long for a block", {"-append", "-o", "out.tap", "huge.bin", "-a", "0"}},
        {"output is a folder", {"-o", "folder", "code.bin"}},
    };
    const Bytes old_tape = kTunefuseBlocks;
    for (const Case& c : cases) {
        test::TempDir dir;
        test::write_bytes(dir / "code.bin", Bytes(1000, 0x76));
        test::write_bytes(dir / "huge.bin", Bytes(65534, 0));
        test::write_bytes(dir / "empty.bin", {});
        test::write_bytes(dir / "out.tap", old_tape);
        fs::create_directory(dir / "folder");
        auto run = run_bin2tap(dir.path(), c.arguments);
        EXPECT_EQ(run.exit_code, 1) << c.name;
        EXPECT_NE(run.err, "") << c.name;
        EXPECT_EQ(test::read_bytes(dir / "out.tap"), old_tape) << c.name;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 5) << c.name;
        EXPECT_TRUE(fs::is_empty(dir / "folder")) << c.name;
    }
}

TEST(Bin2tapProgram, TzxlistReadsTheBlocksBack) {
    const fs::path tzxlist = "/usr/bin/tzxlist";
    if (std::string(TUNEFUSE_EXE_SUFFIX) == ".exe") GTEST_SKIP() << "tzxlist is a Linux program";
    if (!fs::exists(tzxlist)) GTEST_SKIP() << "tzxlist (Debian package fuse-emulator-utils) is not installed";
    test::TempDir dir;
    test::write_bytes(dir / "tunefuse.bin", kCode);
    for (int i = 0; i < 2; ++i) {
        auto run = run_bin2tap(dir.path(), {"-append", "-o", "KRZCode.tap", "tunefuse.bin", "-a", "25500"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
    }
    auto listing = test::run_process({tzxlist.string(), (dir / "KRZCode.tap").string()});
    ASSERT_EQ(listing.exit_code, 0) << listing.err;
    auto count = [&](const std::string& text) {
        std::size_t found = 0;
        for (auto at = listing.out.find(text); at != std::string::npos; at = listing.out.find(text, at + 1))
            ++found;
        return found;
    };
    EXPECT_EQ(count("--= Block #"), 4u) << listing.out;
    EXPECT_EQ(count("(PASS)"), 4u) << listing.out;
    EXPECT_EQ(count("(FAIL)"), 0u) << listing.out;
    // tzxlist prints the load address after two spaces: CODE  25500, 5
    EXPECT_EQ(count("Bytes: \"tunefuse  \" CODE  25500, 5"), 2u) << listing.out;
}

}  // namespace
