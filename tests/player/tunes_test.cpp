// The player block with several tunes on the built-in Spectrum: init loads each banked tune's
// block through LD-BYTES, the switch entry (25514) starts any tune from the game, and what the AY
// receives from then on is judged by the corpus's expected frames.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "ayfx_decoder.hpp"
#include "emulator/machine.hpp"
#include "player_limit.hpp"
#include "test_support.hpp"
#include "z80_machine.hpp"
#include "zx7_compress.hpp"

namespace {

namespace fs = std::filesystem;
using player_test::Bytes;
using spectrum::Model;
using spectrum::Z80;

// The loader's calls (init, start, the game); a game with its stack in the top 16K that waits for
// interrupts, starts sound effect n - 1 on channel m with interrupts on when the test leaves n, m
// at 0x9001, and calls the switch with the number the test leaves at 0x9000 (where init may have
// loaded a block: the game clears both first). A `driven` game
// goes back to IM 1, plays each frame itself and calls the switch with interrupts off.
const char* const loader_and_game = R"(
 org 0x6000
 call 25500
 call 25511
 jp 32000
 org 32000
 ld sp, 0xfff0
 ld hl, 0
 ld (0x9000), hl
 if driven
 call 25506
 endif
 ei
wait: halt
 if driven
 call 25503
 endif
 ld hl, 0x9001
 ld a, (hl)
 or a
 jr z, no_effect
 ld (hl), 0
 dec a
 inc hl
 ld b, (hl)
 call 25520
no_effect:
 ld hl, 0x9000
 ld a, (hl)
 or a
 jr z, wait
 ld (hl), 0
 di
 if !driven
 ei
 endif
 call 25514
 ei
 jr wait
)";

struct Tune {
    std::string name;  // of its expected frames
    Bytes module;
    int bank = 0, address = 0;
};

// The player block for `tunes` (placed as the build places them), the compressed blocks of the
// banked ones that follow it on tape, and the loader's calls with the game. With `effects`, a
// bank of sound effects, placed as the build places it: in a RAM bank, its block comes last.
struct Tape {
    Bytes block, game;
    std::map<std::string, std::uint16_t> symbols;
    std::vector<Bytes> banked;
    int effects_bank = 0;
    explicit Tape(std::vector<Tune>& tunes, bool driven = false, const Bytes& effects = {}) {
        test::TempDir dir("tunes");
        fs::copy(test::kit_dir() / "asm", dir / "asm");
        fs::create_directories(dir / "bin");
        test::write_string(dir / "bin/author.bin", "tunes test\r");
        test::write_bytes(dir / "bin/launch.bin", {7, 0x38, 0x38, 0, 0x00, 0x7D, 0});
        std::vector<TunePlace> places;
        for (Tune& tune : tunes) {
            banked.push_back(zx7::compress(tune.module));
            places.push_back({static_cast<int>(tune.module.size()), static_cast<int>(banked.back().size())});
        }
        const Bytes packed_effects = effects.empty() ? Bytes() : zx7::compress(effects);
        const std::string source =
            tunes_asm(places, {static_cast<int>(effects.size()), static_cast<int>(packed_effects.size())},
                      &effects_bank);
        if (places[0].bank == 0) test::write_bytes(dir / "bin/music.pt3.zx7", banked.front());
        if (places[0].bank == 0) banked.erase(banked.begin());
        test::write_string(dir / "bin/tunes.asm", source);
        test::write_bytes(dir / "bin/sfx.afb", effects);
        for (std::size_t k = 0; k < tunes.size(); ++k)
            tunes[k].bank = places[k].bank, tunes[k].address = places[k].address;
        if (effects_bank) banked.push_back(packed_effects);
        auto assembly = player_test::assemble(PASMO_PROGRAM, dir.path(), "asm/tunefuse.asm");
        block = assembly.code, symbols = assembly.symbols;
        if (!tunes.empty() && tunes[0].bank == 0) tunes[0].address = assembly.symbols["module"];
        test::write_string(dir / "game.asm", "driven equ " + std::to_string(driven) + loader_and_game);
        game = player_test::assemble(PASMO_PROGRAM, dir.path(), "game.asm").code;
    }
};

// The tape run as the loader runs it, LD-BYTES (0x0556) served with the tunes' blocks in turn.
struct TapeRun {
    spectrum::Machine machine;
    const Tape& tape;
    std::size_t loaded = 0;
    std::vector<std::string> faults;
    TapeRun(Model model, const Tape& t) : machine(model, stand_in_rom()), tape(t) {
        machine.load(0x6000, tape.game);  // zeros between the loader's calls and the game
        machine.load(25500, tape.block);
        machine.load(23388, Bytes{0x10});  // BANKM, as the 48 BASIC ROM leaves it on a 128K
        machine.cpu.pc = 0x6000, machine.cpu.sp = 25496, machine.cpu.im = 1, machine.cpu.i = 0x3F;
        machine.cpu.iff1 = machine.cpu.iff2 = true;
        machine.cpu.set_pair(Z80::IYH, 23610);
        machine.mark(0x0556), machine.mark(0x0008);
        machine.on_instruction = [this](std::uint16_t pc) { pc == 8 ? error() : load_bytes(); };
        machine.watch(0xFF00, 0x100);  // the game's stack, under 0xFFF0: never written with a bank in
        machine.on_write = [this](const spectrum::MemoryWrite& write) {  // (init unpacks there, on its stack)
            if (machine.paging() & 7 && machine.cpu.sp >= 0xFF00)
                faults.push_back("the game's stack written with a bank in, at " + std::to_string(write.pc));
        };
    }
    static Bytes stand_in_rom() {
        Bytes rom(16384, 0xFF);
        rom[0x38] = 0xFB, rom[0x39] = 0xC9, rom[0x556] = 0xC9;  // EI, RET; RET
        return rom;
    }
    // BASIC's error report: the code after the RST 8, and whether interrupts are on for it.
    void error() {
        const Z80& cpu = machine.cpu;
        int report =
            machine.peek(static_cast<std::uint16_t>(machine.peek(cpu.sp) | machine.peek(cpu.sp + 1) << 8));
        faults.push_back("RST 8, report " + std::to_string(report) + (cpu.iff1 ? ", EI" : ", DI")),
            machine.stop();
    }
    void load_bytes() {
        Z80& cpu = machine.cpu;
        bool ok = loaded < tape.banked.size() && cpu.reg[Z80::A] == 0xFF && (cpu.reg[Z80::F] & 1) &&
                  cpu.pair(Z80::D) == tape.banked[loaded].size();
        if (ok) machine.load(cpu.pair(Z80::IXH), tape.banked[loaded++]);
        if (!ok) faults.push_back("LD-BYTES not as the tape has it");
        cpu.reg[Z80::F] = static_cast<std::uint8_t>((cpu.reg[Z80::F] & ~1) | ok);
        cpu.iff1 = cpu.iff2 = true;
    }
    // R0 to R13 as the frames files give them, from the AY writes of one frame.
    std::string line(int frame) const {
        std::array<int, 14> regs;
        regs.fill(-1);
        for (const auto& write : machine.ay_writes)
            if (write.frame == frame && write.reg < 14) regs[write.reg] = write.value;
        std::string text;
        for (int reg = 0; reg < 14; ++reg) {
            char cell[4] = "--";
            if (regs[reg] >= 0 || reg == 13) std::snprintf(cell, 4, "%02x", regs[reg] & 0xFF);
            text += (reg ? " " : "") + std::string(cell);
        }
        return text;
    }
    // Runs `count` frames; the first frame that plays (writes R0) must be line `first` of the
    // tune's expected frames, and the following ones the lines after it. With a `number`, the game
    // asks for that sound effect on `channel` after line `first`, and the lines after it must have
    // `effect` (started alike) laid over them; the music alone without `effect` (no paging).
    void expect_frames(const Tune& tune, int first, int count, test::EffectDecoder* effect = nullptr,
                       int number = -1, int channel = 0) {
        if (number >= 0) machine.load(0x9001, Bytes{std::uint8_t(number + 1), std::uint8_t(channel)});
        int from = machine.frame(), last = from + 50;  // init unpacks for a few frames
        machine.run_frames(1);
        while (line(from).rfind("--", 0) == 0 && from < last) ++from, machine.run_frames(1);
        machine.run_frames(count - 1);
        std::istringstream expected(
            test::read_string(*test::shared_dir() / "pt3-frames" / (tune.name + ".frames.txt")));
        std::string want;
        for (int n = 1; n < first + count && std::getline(expected, want); ++n) {
            if (n < first) continue;
            if (!effect) {
                ASSERT_EQ(line(from + n - first), want) << tune.name << ", line " << n;
            }
            std::vector<int> reg = test::registers(want);
            if (effect) effect->frame(reg);  // at line `first`, the effect before plays on
            if (effect && n == first) effect->start(number, channel);
            ASSERT_EQ(test::registers(line(from + n - first)), reg) << tune.name << ", line " << n;
        }
    }
    void switch_to(int n) {
        machine.load(0x9000, Bytes{static_cast<std::uint8_t>(n)});
        machine.run_frames(1);  // its interrupt, then the game calls the switch
    }
    int playing_bank() const { return machine.peek(25519); }
    int playing_address() const { return machine.peek(25509) | machine.peek(25510) << 8; }
};

Bytes corpus(const std::string& name) {
    return test::read_bytes(*test::shared_dir() / "corpus/pt3" / (name + ".pt3"));
}

// Tune 1 in main memory and six banked tunes: on the 128K each switch plays its tune from the
// start, main memory or bank, with the game's stack in the top 16K; the 48K loads no block and
// passes over switches to no tune.
TEST(Tunes, SwitchPlaysEachTuneFromItsStart) {
    if (!test::shared_dir() || !fs::exists(*test::shared_dir() / "pt3-frames"))
        GTEST_SKIP() << "the shared corpus and its expected frames are not here";
    std::vector<Tune> tunes;
    for (const char* name : {"shiru_a_little_journey", "shiru_hard", "shiru_oldlove", "shiru_snowball_game",
                             "shiru_vozhidaniitepla", "z88dk_ballquest2_1", "z88dk_vt2_music"})
        tunes.push_back({name, corpus(name)});
    for (bool driven : {false, true}) {
        SCOPED_TRACE(driven ? "the game plays each frame" : "the music plays in the background");
        Tape tape(tunes, driven);
        ASSERT_FALSE(tape.block.empty());
        ASSERT_EQ(tape.banked.size(), 6u);
        TapeRun run128(Model::zx128, tape);
        run128.expect_frames(tunes[0], 1, 100);
        EXPECT_EQ(run128.loaded, 6u);
        for (int n : {4, 3, 7, 1, 3}) {
            SCOPED_TRACE("128K, tune " + std::to_string(n));
            run128.switch_to(n);
            EXPECT_EQ(run128.playing_bank(), tunes[n - 1].bank);
            EXPECT_EQ(run128.playing_address(), tunes[n - 1].address);
            run128.expect_frames(tunes[n - 1], 1, 150);
            EXPECT_EQ(run128.machine.paging() & 7, 0) << "the game's bank is paged back";
        }
        EXPECT_EQ(run128.faults, std::vector<std::string>{});
        for (int at = 25520; at < tape.symbols.at("resident_low_end"); ++at)
            EXPECT_EQ(run128.machine.peek(at), tape.block[at - 25500]) << "the player's stack ran into start";
    }
    Tape tape(tunes);

    TapeRun run48(Model::zx48, tape);  // (that a banked tune is silence there, Fuse shows)
    run48.expect_frames(tunes[0], 1, 100);
    for (int n : {0, 8}) run48.switch_to(n);  // no tune, past the last: nothing changes
    run48.expect_frames(tunes[0], 103, 50);
    EXPECT_EQ(run48.loaded, 0u);
    EXPECT_EQ(run48.faults, std::vector<std::string>{});
}

// A 16,384-byte module (a corpus module, then bytes that do not compress, then a pattern that
// does) fills a bank and its compressed form is longer than the player block could carry; it plays
// frame-exact from its bank as tune 1, switching with a second tune, and not at all on a 48K.
// Without its block on the tape, init stops with BASIC's tape loading error.
TEST(Tunes, ABankFullModulePlaysFromItsBank) {
    if (!test::shared_dir() || !fs::exists(*test::shared_dir() / "pt3-frames"))
        GTEST_SKIP() << "the shared corpus and its expected frames are not here";
    Bytes module = corpus("shiru_oldlove");
    std::mt19937 random(7);
    for (std::size_t at = module.size(); at < 16384; ++at)
        module.push_back(static_cast<std::uint8_t>(at < 8000 ? random() : at));
    std::vector<Tune> tunes{{"shiru_oldlove", module},
                            {"shiru_a_little_journey", corpus("shiru_a_little_journey")}};
    Tape tape(tunes);
    ASSERT_FALSE(tape.block.empty());
    ASSERT_EQ(tape.banked.size(), 2u);
    EXPECT_GT(tape.banked[0].size(), 4419u);
    TapeRun run128(Model::zx128, tape);
    run128.expect_frames(tunes[0], 1, 200);
    EXPECT_EQ(run128.playing_bank(), 6);
    for (int n : {2, 1}) {  // the table builder stays in main memory here
        run128.switch_to(n);
        run128.expect_frames(tunes[n - 1], 1, 100);
        EXPECT_EQ(run128.playing_bank(), tunes[n - 1].bank);
    }
    TapeRun run48(Model::zx48, tape);
    run48.machine.run_frames(50);
    for (const auto& write : run48.machine.ay_writes) EXPECT_GE(write.reg, 8) << "the 48K plays nothing";
    EXPECT_EQ(run128.faults, std::vector<std::string>{});
    tape.banked.clear();  // the block is not on the tape: "R Tape loading error" (report 0x1A)
    TapeRun missing(Model::zx128, tape);
    missing.machine.run_frames(50);
    EXPECT_EQ(missing.faults,
              (std::vector<std::string>{"LD-BYTES not as the tape has it", "RST 8, report 26, EI"}));
}

// Sound effects from a RAM bank, asked for by a game with interrupts on and its stack in the top
// 16K, over tune 1 in main memory or in a bank (the effects' own or another): each frame is the
// tune's expected frame with the effect laid over it. Without paging (48K) the effects' block is
// not loaded and asking for an effect changes nothing.
TEST(Tunes, PlaysSoundEffectsFromARamBank) {
    if (!test::shared_dir() || !fs::exists(*test::shared_dir() / "corpus/afx"))
        GTEST_SKIP() << "the shared corpus is not here";
    struct Case {
        const char *name, *tune;
        bool driven;
        int tune_bank, effects_bank;  // where the build puts them
    } const cases[] = {
        {"tune 1 in main memory", "shiru_oldlove", false, 0, 6},
        {"tune 1 in main memory, the game plays each frame", "shiru_oldlove", true, 0, 6},
        {"tune 1 in the effects' bank", "z88dk_vt2_music", false, 6, 6},
        {"tune 1 in another bank, the game plays each frame", "shiru_snowball_game", true, 6, 4}};
    test::EffectDecoder effect{test::read_bytes(*test::shared_dir() / "corpus/afx/siriokds_zxgames.afb")};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Tune> tunes{{c.tune, corpus(c.tune)}};
        Tape tape(tunes, c.driven, effect.bank);
        ASSERT_FALSE(tape.block.empty());
        ASSERT_EQ(tunes[0].bank, c.tune_bank);
        ASSERT_EQ(tape.effects_bank, c.effects_bank);
        for (Model model : {Model::zx128, Model::zx48}) {
            if (model == Model::zx48 && tunes[0].bank) continue;  // no music there
            const bool paged = model == Model::zx128;
            TapeRun run(model, tape);
            run.expect_frames(tunes[0], 1, 20);
            run.expect_frames(tunes[0], 21, 60, paged ? &effect : nullptr, 64, 0);
            run.expect_frames(tunes[0], 81, 40, paged ? &effect : nullptr, 22, 2);
            EXPECT_FALSE(effect.playing);
            // A number past the bank's last effect changes nothing; the last one plays.
            run.expect_frames(tunes[0], 121, 20, paged ? &effect : nullptr, effect.count(), 1);
            run.expect_frames(tunes[0], 141, 100, paged ? &effect : nullptr, effect.count() - 1, 1);
            EXPECT_FALSE(effect.playing);
            EXPECT_EQ(run.loaded, paged ? tape.banked.size() : 0u);
            EXPECT_EQ(run.faults, std::vector<std::string>{});
        }
    }
}

}  // namespace
