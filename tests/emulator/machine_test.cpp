// The built-in Spectrum as the checker will use it: a program assembled by the real pasmo pages,
// writes the AY, reads the keyboard, changes the interrupt set-up and then waits in HALT; the
// machine must report each of these where pasmo says the instruction lies.
#include "emulator/machine.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.hpp"
#include "z80_machine.hpp"

namespace {

// Instructions written a line's worth at a time, '|' between them.
std::string program() {
    std::string source = R"( org 0x8000 | di | ld sp, 0x8000 | ld a, 0x3F | load_i: ld i, a | set_im1: im 1
        ld bc, 0xFFFD | ld a, 7 | out (c), a | ld b, 0xBF | ld a, 0x38 | write_ay: out (c), a
        in a, (0xFE) | ld (0x9000), a | ld bc, 0x7FFD | ld a, 0x16 | out (c), a
        ld a, 0x55 | write_bank6: ld (0xC000), a | ld a, 0x27 | out (c), a
        ld a, 0x11 | write_bank7: ld (0xC000), a | ld a, 0x10 | out (c), a | ld (0x0000), a
        enable: ei | wait: halt | jr wait
)";
    std::replace(source.begin(), source.end(), '|', '\n');
    return source;
}

TEST(Machine, ReportsWhatTheProgramDoesOn48KAnd128K) {
    test::TempDir dir("spectrum");
    test::write_string(dir / "program.asm", program());
    auto assembly = player_test::assemble(PASMO_PROGRAM, dir.path(), "program.asm");
    ASSERT_FALSE(assembly.code.empty());
    auto at = [&](const char* label) { return int(assembly.symbols.at(label)); };
    std::vector<std::uint8_t> rom(32768, 0xFF);  // ROM 0 and ROM 1 told apart by their first byte
    rom[0] = 0, rom[16384] = 1;
    // PUSH AF, POP AF, EI, RET: longer than the 32 or 36 T-states the interrupt is requested for,
    // or the interrupt would be taken again.
    for (int base : {0, 16384}) std::copy_n("\xF5\xF1\xFB\xC9", 4, &rom[base + 0x38]);
    for (auto model : {spectrum::Model::zx48, spectrum::Model::zx128}) {
        bool is128 = model == spectrum::Model::zx128;
        SCOPED_TRACE(is128 ? "128K" : "48K");
        spectrum::Machine machine(model, rom);
        machine.load(0x8000, assembly.code);
        machine.cpu.pc = 0x8000;
        struct {
            std::vector<std::pair<int, int>> writes, interrupts;  // (pc, value), (frame, taken on time)
            std::vector<int> mode_changes;                        // pc
        } seen;
        machine.watch(0xC000, 0x4000);
        machine.on_write = [&](const spectrum::MemoryWrite& write) {
            seen.writes.push_back({write.pc, write.value});
        };
        machine.on_mode_change = [&] { seen.mode_changes.push_back(machine.cpu.instruction_pc); };
        machine.mark(0x38);
        machine.on_instruction = [&](std::uint16_t) {
            seen.interrupts.push_back({machine.frame(), machine.tstate() - 13 < 4});
        };
        machine.run_frames(5);

        EXPECT_EQ(machine.frame(), 5);
        EXPECT_EQ(seen.mode_changes, (std::vector<int>{0x8000, at("load_i"), at("set_im1"), at("enable"),
                                                       0x3A, 0x3A, 0x3A, 0x3A}));
        // The interrupt at each frame's start after the first (the program ran its EI late in
        // frame 0): IM 1's acknowledge takes 13 T-states, after the HALT's last 4 T-state cycle.
        EXPECT_EQ(seen.interrupts,
                  (std::vector<std::pair<int, int>>{{1, true}, {2, true}, {3, true}, {4, true}}));
        ASSERT_EQ(machine.frames.size(), 6u);
        EXPECT_FALSE(machine.frames[0].interrupts_enabled || machine.frames[0].accepted);
        for (int frame = 1; frame < 5; ++frame) {
            const auto& start = machine.frames[frame];
            EXPECT_TRUE(start.interrupts_enabled && start.accepted && start.im == 1 && start.i == 0x3F)
                << frame;
        }
        ASSERT_EQ(machine.ay_writes.size(), 1u);
        const auto& ay = machine.ay_writes[0];
        EXPECT_TRUE(ay.frame == 0 && ay.reg == 7 && ay.value == 0x38 && ay.pc == at("write_ay"));
        EXPECT_EQ(machine.peek(0x9000) & 0x1F, 0x1F);  // no key pressed
        EXPECT_EQ(seen.writes,
                  (std::vector<std::pair<int, int>>{{at("write_bank6"), 0x55}, {at("write_bank7"), 0x11}}));
        // The 128K pages bank 6, then bank 7 with ROM 0 and the lock, which keeps the last OUT
        // from choosing ROM 1; the 48K has one bank there. Neither writes its ROM.
        EXPECT_EQ(machine.paging(), is128 ? 0x27 : 0);
        EXPECT_EQ(machine.bank(6)[0], is128 ? 0x55 : 0);
        EXPECT_EQ(machine.bank(is128 ? 7 : 0)[0], 0x11);
        EXPECT_EQ(machine.peek(0xC000), 0x11);
        EXPECT_EQ(machine.peek(0x0000), 0);
        EXPECT_EQ(machine.frame_length(), is128 ? 70908 : 69888);
    }
}

}  // namespace
