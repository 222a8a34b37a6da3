// The built-in Spectrum's Z80 against z80ex, an independent Z80 (libz80ex-dev): every opcode of
// every prefix group from random registers, flags and memory, then the random bytes after it, one
// instruction at a time; registers, interrupt state, T-states, memory writes and OUTs must agree.
// MEMPTR has no getter in z80ex: it shows in BIT n,(HL)'s flags, which every run meets often.
#include "emulator/z80.hpp"

#include <gtest/gtest.h>
#include <z80ex/z80ex.h>

#include <random>

namespace {

using Log = std::vector<std::pair<int, int>>;  // writes (address, value) and OUTs (0x10000 + port)
struct Flat final : spectrum::Bus {
    std::array<std::uint8_t, 65536> memory{};
    Log log;
    static std::uint8_t port_value(int port) { return static_cast<std::uint8_t>(port * 0x9E37u >> 7); }
    Flat() {
        for (int page = 0; page < 4; ++page) read_pages[page] = write_pages[page] = &memory[page * 0x4000];
        watch_size = 0x10000;  // every write is logged
    }
    std::uint8_t in(std::uint16_t port) override { return port_value(port); }
    void out(std::uint16_t port, std::uint8_t value) override { log.push_back({0x10000 + port, value}); }
    void watched_write(std::uint16_t at, std::uint8_t value) override { log.push_back({at, value}); }
};

struct Reference {
    std::array<std::uint8_t, 65536> memory{};
    Log log;
    Z80EX_CONTEXT* cpu = z80ex_create(read, this, write, this, in, this, out, this, vector, this);
    ~Reference() { z80ex_destroy(cpu); }
    static Reference& self(void* data) { return *static_cast<Reference*>(data); }
    static Z80EX_BYTE read(Z80EX_CONTEXT*, Z80EX_WORD at, int, void* data) { return self(data).memory[at]; }
    static void write(Z80EX_CONTEXT*, Z80EX_WORD at, Z80EX_BYTE value, void* data) {
        self(data).memory[at] = value, self(data).log.push_back({at, value});
    }
    static Z80EX_BYTE in(Z80EX_CONTEXT*, Z80EX_WORD port, void*) { return Flat::port_value(port); }
    static void out(Z80EX_CONTEXT*, Z80EX_WORD port, Z80EX_BYTE value, void* data) {
        self(data).log.push_back({0x10000 + port, value});
    }
    static Z80EX_BYTE vector(Z80EX_CONTEXT*, void*) { return 0xFF; }
};

using spectrum::Z80;
// The compared state: z80ex's registers in this order, then the T-states.
constexpr Z80_REG_T names[] = {regAF,  regBC, regDE, regHL, regIX, regIY, regAF_,  regBC_, regDE_,
                               regHL_, regSP, regPC, regI,  regR,  regIM, regIFF1, regIFF2};
constexpr int highs[] = {Z80::A, Z80::B, Z80::D, Z80::H, Z80::IXH, Z80::IYH};  // the first six in the core
using State = std::array<int, 18>;  // AF BC DE HL IX IY AF' BC' DE' HL' SP PC I R IM IFF1 IFF2 T

State state_of(Z80& core, int tstates) {
    State state{};
    for (int n = 0; n < 6; ++n) state[n] = core.pair(highs[n]);
    for (int n = 0; n < 4; ++n) state[6 + n] = core.alternate[(n + 3) % 4];
    state[10] = core.sp, state[11] = core.pc, state[12] = core.i, state[13] = core.r;
    state[14] = core.im, state[15] = core.iff1, state[16] = core.iff2, state[17] = tstates;
    return state;
}
State state_of(Z80EX_CONTEXT* cpu, int tstates) {
    State state{};
    for (int n = 0; n < 17; ++n) state[n] = z80ex_get_reg(cpu, names[n]);
    state[13] = (state[13] & 0x7F) | (z80ex_get_reg(cpu, regR7) & 0x80);  // z80ex keeps R's bit 7 apart
    state[17] = tstates;
    return state;
}
// Random registers and interrupt state into both; memory is shared by construction.
void randomise(std::mt19937& random, Z80& core, Z80EX_CONTEXT* cpu) {
    if (z80ex_doing_halt(cpu)) {  // z80ex leaves a HALT only by an interrupt
        core.iff1 = true, core.interrupt_blocked = false, z80ex_set_reg(cpu, regIFF1, 1);
        EXPECT_EQ(core.interrupt(), z80ex_int(cpu));
    }
    State values;
    for (int& value : values) value = random() & 0xFFFF;
    values[12] &= 0xFF, values[13] &= 0xFF, values[14] %= 3, values[15] &= 1, values[16] &= 1;
    for (int n = 0; n < 17; ++n) z80ex_set_reg(cpu, names[n], values[n]);
    z80ex_set_reg(cpu, regR7, values[13] & 0x80);
    for (int n = 0; n < 6; ++n) core.set_pair(highs[n], values[n]);
    for (int n = 0; n < 4; ++n) core.alternate[(n + 3) % 4] = values[6 + n];
    core.sp = values[10], core.pc = values[11], core.i = values[12], core.r = values[13];
    core.im = values[14], core.iff1 = values[15], core.iff2 = values[16], core.halted = false;
}

// Each prefix group's every opcode, 40 times from random states, each followed by two more
// instructions from the bytes after it (a jump takes those from random memory), and now and then
// an interrupt in the mode the random state chose.
TEST(Z80, AgreesWithZ80exOnEveryOpcode) {
    const std::vector<std::uint8_t> prefixes[] = {{},     {0xCB},       {0xED},      {0xDD},
                                                  {0xFD}, {0xDD, 0xCB}, {0xFD, 0xCB}};
    std::mt19937 random(26);
    Flat flat;
    Reference reference;
    for (auto& byte : flat.memory) byte = static_cast<std::uint8_t>(random());
    reference.memory = flat.memory;
    Z80 core(flat);
    long compared = 0;
    for (const auto& prefix : prefixes)
        for (int op = 0; op < 256; ++op)
            for (int round = 0; round < 40; ++round) {
                randomise(random, core, reference.cpu);
                std::vector<std::uint8_t> code = prefix;
                if (prefix.size() == 2)
                    code.push_back(static_cast<std::uint8_t>(random()));  // the displacement
                code.push_back(static_cast<std::uint8_t>(op));
                for (std::size_t n = 0; n < code.size(); ++n)
                    flat.memory[(core.pc + n) & 0xFFFF] = reference.memory[(core.pc + n) & 0xFFFF] = code[n];
                for (int instruction = 0; instruction < 3; ++instruction) {
                    std::uint8_t first = flat.memory[core.pc], second = flat.memory[(core.pc + 1) & 0xFFFF];
                    bool indexed = first == 0xDD || first == 0xFD;
                    if (indexed && (second == 0xDD || second == 0xFD)) break;  // chains
                    flat.log.clear(), reference.log.clear();
                    int ed = first == 0xED ? second : 0;
                    if (indexed && second == 0xED) ed = flat.memory[(core.pc + 2) & 0xFFFF];
                    int tstates = core.step(), expected = 0;
                    // z80ex takes IN B,(C)'s and IN C,(C)'s MEMPTR from BC after the byte read went
                    // in; the Z80 (and Fuse) from the port's address, BC + 1 before. Follow z80ex here.
                    if (ed == 0x40 || ed == 0x48) core.memptr = core.pair(Z80::B) + 1;
                    do expected += z80ex_step(reference.cpu);
                    while (z80ex_last_op_type(reference.cpu) != 0);
                    if (random() % 6 == 0) tstates += core.interrupt(), expected += z80ex_int(reference.cpu);
                    ++compared;
                    auto actual = state_of(core, tstates), wanted = state_of(reference.cpu, expected);
                    ASSERT_EQ(actual, wanted) << instruction << " after " << testing::PrintToString(code);
                    // In order apart from EX (SP),HL: z80ex writes L first, the Z80 writes H first.
                    if (first == 0xE3 || second == 0xE3)
                        std::sort(flat.log.begin(), flat.log.end()),
                            std::sort(reference.log.begin(), reference.log.end());
                    ASSERT_EQ(flat.log, reference.log)
                        << instruction << " after " << testing::PrintToString(code);
                }
            }
    std::cout << compared << " instructions compared\n";
}

}  // namespace
