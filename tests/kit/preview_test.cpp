// The preview game a tape carries when there is no game: assembled by pasmo as the program does,
// run on the built-in 48K under the OpenSE ROM, whose frame routine reads the keys pressed on the
// machine's keyboard into LAST_K, with a RET at the player's switch entry noting each tune asked for.
#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/machine.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;

const fs::path rom_file = "/usr/share/spectrum-roms/opense.rom";
constexpr int switch_entry = 25514, first_row = 2;

// Screen row `row` read back through the ROM font; '?' where a cell shows no character.
std::string row_text(const spectrum::Machine& machine, const Bytes& rom, int row) {
    int font = machine.peek(23606) | machine.peek(23607) << 8;
    std::string text;
    for (int column = 0; column < 32; ++column) {
        int pixels = 16384 + ((row & 0x18) << 8) + ((row & 7) << 5) + column;
        char shown = '?';
        for (int code = 32; code < 128 && shown == '?'; ++code) {
            bool same = true;
            for (int line = 0; line < 8; ++line)
                same = same && machine.peek(static_cast<std::uint16_t>(pixels + line * 256)) ==
                                   rom.at(static_cast<std::size_t>(font + code * 8 + line));
            if (same) shown = static_cast<char>(code);
        }
        text += shown;
    }
    return text;
}

// The tunes whose lines are not in the heading's colour.
std::vector<int> marked(const spectrum::Machine& machine, int tunes) {
    std::vector<int> result;
    for (int tune = 1; tune <= tunes; ++tune)
        if (machine.peek(static_cast<std::uint16_t>(22528 + (first_row + tune - 1) * 32)) !=
            machine.peek(22528))
            result.push_back(tune);
    return result;
}

TEST(Preview, ListsTheTitlesAndSwitchesToTheTunePressed) {
    if (!fs::exists(test::kit_dir() / "tools/pasmo") || !fs::exists(rom_file))
        GTEST_SKIP() << "needs the kit's tools/pasmo and the OpenSE ROM (opense-basic)";
    const std::vector<std::string> titles = {"Intro", "Level 2: caves", "A title of exactly 32 characters"};
    test::TempDir dir;
    fs::copy(test::kit_dir() / "asm", dir / "asm");
    fs::create_directories(dir / "bin");
    std::string list(1, static_cast<char>(titles.size()));
    for (const auto& title : titles) list += title + std::string(32 - title.size(), ' ');
    test::write_string(dir / "bin/titles.bin", list);
    auto run = test::run_process(
        {(test::kit_dir() / "tools/pasmo").string(), "--err", "asm/preview.asm", "preview.bin"},
        {.working_directory = dir.path()});
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;

    const Bytes rom = test::read_bytes(rom_file);
    spectrum::Machine machine(spectrum::Model::zx48, rom);
    machine.run_frames(150);  // the ROM's start-up, to its editor waiting for a key
    ASSERT_EQ(machine.peek(23606) | machine.peek(23607) << 8, 0x3C00) << "the ROM has not set CHARS yet";
    machine.load(32000, test::read_bytes(dir / "preview.bin"));
    machine.load(switch_entry, Bytes{0xC9});
    std::vector<int> switched;
    machine.mark(switch_entry);
    machine.on_instruction = [&](std::uint16_t) { switched.push_back(machine.cpu.reg[spectrum::Z80::A]); };
    machine.cpu.pc = 32000, machine.cpu.halted = false;
    machine.run_frames(10);
    EXPECT_NE(row_text(machine, rom, 0).find("press 1 to 3"), std::string::npos) << row_text(machine, rom, 0);
    for (std::size_t n = 0; n < titles.size(); ++n)
        EXPECT_EQ(row_text(machine, rom, first_row + static_cast<int>(n)),
                  std::to_string(n + 1) + " " + (titles[n] + std::string(32, ' ')).substr(0, 30));
    EXPECT_EQ(marked(machine, 3), std::vector<int>{1});

    struct Case {
        const char* keys;
        std::vector<std::pair<int, int>> held;  // half-row, bits
        int frames;                             // held this long
        std::vector<int> switched;
        int marked;
    };
    const Case cases[] = {{"3", {{3, 0x04}}, 5, {3}, 3},
                          {"4: above the tune count", {{3, 0x08}}, 5, {}, 3},
                          {"0", {{4, 0x01}}, 5, {}, 3},
                          {"A", {{1, 0x01}}, 5, {}, 3},
                          {"CAPS SHIFT and 2", {{0, 0x01}, {3, 0x02}}, 5, {}, 3},
                          {"1", {{3, 0x01}}, 5, {1}, 1},
                          {"2 held past the ROM's repeat", {{3, 0x02}}, 100, {2}, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        switched.clear();
        for (auto [row, bits] : c.held) machine.keys[row] = static_cast<std::uint8_t>(bits);
        machine.run_frames(c.frames);
        std::fill(std::begin(machine.keys), std::end(machine.keys), 0);
        machine.run_frames(5);
        EXPECT_EQ(switched, c.switched);
        EXPECT_EQ(marked(machine, 3), std::vector<int>{c.marked});
    }
}

}  // namespace
