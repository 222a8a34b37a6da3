// The game tape's check on its own, over the shared table of game tapes the end-to-end suites
// run through the whole program.
#include "loader/game_tape_check.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "build_inputs.hpp"
#include "game_tape_cases.hpp"

namespace {

namespace fs = std::filesystem;

// The findings of one severity, one per line.
std::string findings_of(const std::vector<loader::GameTapeFinding>& findings, loader::Severity severity) {
    std::string lines;
    for (const loader::GameTapeFinding& finding : findings) {
        if (finding.severity != severity) continue;
        if (!lines.empty()) lines += "\n";
        lines += host::to_utf8(finding.text);
    }
    return lines;
}

TEST(GameTapeCheckTest, SaysWhatTheLoaderWouldDoWithEachTape) {
    for (const test::GameTapeCase& c : test::game_tape_cases()) {
        auto findings = loader::check_game_tape(c.tape, u"game.tap");
        EXPECT_EQ(findings_of(findings, loader::Severity::error), c.error) << c.label;
        EXPECT_EQ(findings_of(findings, loader::Severity::warning), c.warning) << c.label;
    }
}

// The block a message names, as an independent reader of tapes lists it: Fuse's tzxlist, which
// counts blocks from 0, where the messages count from 1.
TEST(GameTapeCheckTest, TzxlistListsTheCodeBlockEachMessageNames) {
    const fs::path tzxlist = "/usr/bin/tzxlist";
    if (std::string(TUNEFUSE_EXE_SUFFIX) == ".exe") GTEST_SKIP() << "tzxlist is a Linux program";
    if (!fs::exists(tzxlist)) GTEST_SKIP() << "tzxlist (Debian package fuse-emulator-utils) is not installed";
    const std::regex named_block(R"re(block (\d+) \(code "([^"]*)", (\d+) bytes at (\d+)\))re");
    test::TempDir dir;
    int checked = 0;
    for (const test::GameTapeCase& c : test::game_tape_cases()) {
        std::smatch found;
        const std::string message = c.error + c.warning;
        if (!std::regex_search(message, found, named_block)) continue;
        test::write_bytes(dir / "game.tap", c.tape);
        std::string listing = test::run_process({tzxlist.string(), (dir / "game.tap").string()}).out;
        const std::string title = "--= Block #" + std::to_string(std::stoi(found[1]) - 1) + " =--";
        const auto start = listing.find(title);
        ASSERT_NE(start, std::string::npos) << c.label << "\n" << listing;
        const std::string block = listing.substr(start, listing.find("--= Block #", start + 1) - start);
        EXPECT_NE(block.find("Bytes: \"" + found[2].str()), std::string::npos) << c.label << "\n" << block;
        EXPECT_NE(block.find("  " + found[4].str() + ", " + found[3].str() + "\n"), std::string::npos)
            << c.label << "\n"
            << block;
        ++checked;
    }
    EXPECT_GE(checked, 10);
}

// A block that breaks two rules gets an error for each.
TEST(GameTapeCheckTest, CodeBelow32000RunningPastTheEnd) {
    // "demo", 40000 bytes at 30000.
    test::Bytes tape =
        test::tape_block(0x00, test::hex_bytes("03 64 65 6D 6F 20 20 20 20 20 20 40 9C 30 75 00 80"));
    test::Bytes data = test::tape_block(0xFF, test::Bytes(40000, 0));
    tape.insert(tape.end(), data.begin(), data.end());
    EXPECT_EQ(
        findings_of(loader::check_game_tape(tape, u"game.tap"), loader::Severity::error),
        "game.tap, block 1 (code \"demo\", 40000 bytes at 30000): the first code block on the tape loads "
        "below 32000, over the music player (25500 to 31999). Assemble the game to load at 32000 or above "
        "and to start at 32000\n"
        "game.tap, block 1 (code \"demo\", 40000 bytes at 30000): the first code block on the tape runs "
        "past the end of memory at 65535 (to 69999). Loading at 30000, it may hold at most 35536 bytes");
}

}  // namespace
