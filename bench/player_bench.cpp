// The player block, assembled as the build does with each corpus module, run on the player tests'
// Z80 (see player_bench.sh), then on the built-in Spectrum as a tape's check will run it, then the
// check itself on each corpus game tape. usage: player_bench PASMO ZX7 ASM_DIR CORPUS_DIR WORK_DIR
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "emulator/machine.hpp"
#include "emulator/tape_check.hpp"
#include "loader/game_tape_check.hpp"
#include "loader/music_layout.hpp"
#include "z80_machine.hpp"

namespace fs = std::filesystem;
using player_test::Bytes;

// The loader's calls (init, start, the game) from 0x6000, then a game at 32000 that waits in
// HALT, or one busy every T-state with short instructions, the emulator's costliest case: INC A;
// ADD A,B; LD (0x9000),A; LD C,(HL); INC HL; RES 0,H; DJNZ -11; JR -13.
const Bytes loader_calls = {0xCD, 0x9C, 0x63, 0xCD, 0xA7, 0x63, 0xC3, 0x00, 0x7D};
const Bytes idle_game = {0xFB, 0x76, 0x18, 0xFD};  // EI; HALT; JR -3
constexpr std::uintmax_t main_memory_limit = loader::main_memory_module_limit;
const Bytes busy_game = {0x3C, 0x80, 0x32, 0x00, 0x90, 0x4E, 0x23, 0xCB, 0x84, 0x10, 0xF5, 0x18, 0xF3};

// 500 frames of a tape's check on both machines: emulated T-states a second, the seconds taken
// and the AY writes seen (that the music played). The stand-in ROM returns from 0x0038.
double run_built_in(const std::string& name, const Bytes& block, const Bytes& game) {
    Bytes rom(16384, 0xFF);
    rom[0x38] = 0xFB, rom[0x39] = 0xC9;  // EI, RET
    double total = 0;
    std::printf("%-26s %4s", name.c_str(), game.size() == idle_game.size() ? "idle" : "busy");
    for (auto model : {spectrum::Model::zx48, spectrum::Model::zx128}) {
        spectrum::Machine machine(model, rom);
        machine.load(0x6000, loader_calls), machine.load(25500, block), machine.load(32000, game);
        machine.cpu.pc = 0x6000, machine.cpu.sp = 25499;
        auto start = std::chrono::steady_clock::now();
        machine.run_frames(500);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf(" %9.0f %7.4f %6zu", 500e-6 * machine.frame_length() / seconds, seconds,
                    machine.ay_writes.size());
        total += seconds;
    }
    std::printf("\n");
    return total;
}

// The ROM's loading time for a header and `data`: tones, then two pulses of 855 or 1710 T-states a bit.
double load_seconds(const player_test::Bytes& data) {
    long tstates = (8063 + 3223) * 2168 + 2 * (667 + 735);
    auto add = [&](int byte) {
        for (int bit = 0; bit < 8; ++bit) tstates += (byte >> bit & 1) ? 3420 : 1710;
    };
    int checksum = 0xFF;                               // the flag byte
    for (int i = 0; i < 20; ++i) add(i ? ' ' : 0xFF);  // and the header, mostly spaces
    for (auto byte : data) add(byte), checksum ^= byte;
    add(checksum);
    return tstates / 3500000.0;
}

// The player block for `module` with the launch table of a game tape, as the build assembles it.
player_test::Assembly assemble_block(const std::string& zx7, const std::string& pasmo,
                                     const fs::path& asm_dir, const fs::path& module,
                                     const fs::path& block_dir, const Bytes& launch) {
    fs::remove_all(block_dir);
    fs::create_directories(block_dir / "bin");
    fs::copy(asm_dir, block_dir / "asm");
    fs::copy_file(module, block_dir / "bin/music.pt3");
    std::ofstream(block_dir / "bin/author.bin") << "player bench\r";
    std::ofstream(block_dir / "bin/launch.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(launch.data()), static_cast<std::streamsize>(launch.size()));
    std::string zx7_command = "cd '" + block_dir.string() + "' && '" + zx7 + "' bin/music.pt3 >/dev/null";
    if (std::system(zx7_command.c_str()) != 0) return {};
    // The module as tune 1, the only tune, placed and described as the build does it.
    const loader::TuneSize tune{static_cast<int>(fs::file_size(module)),
                                static_cast<int>(fs::file_size(block_dir / "bin/music.pt3.zx7"))};
    const loader::MusicLayout layout = loader::place_tunes(std::span(&tune, 1));
    if (layout.places.empty()) return {};
    std::ofstream(block_dir / "bin/tunes.asm") << loader::tunes_source(std::span(&tune, 1), layout);
    return player_test::assemble(pasmo, block_dir, "asm/tunefuse.asm");
}

// The build's check of each corpus game tape that it writes, under the first module's block: the
// seconds for both machines, the emulated T-states a second, and the last frame of music on each.
void bench_tape_check(const std::string& zx7, const std::string& pasmo, const fs::path& asm_dir,
                      const fs::path& module, const fs::path& corpus, const fs::path& block_dir) {
    std::vector<fs::path> tapes(fs::directory_iterator(corpus / "tap"), {});
    std::sort(tapes.begin(), tapes.end());
    std::printf(
        "\nThe tape check, both machines, under %s\ntape                          seconds   MT/s  music to "
        "frame (48K, 128K)\n",
        module.stem().c_str());
    double slowest = 0;
    for (const auto& tape : tapes) {
        Bytes bytes = player_test::read_file(tape);
        loader::GameTapeCheck game = loader::check_game_tape(bytes, u"game.tap", false);
        if (game.start.game_blocks.empty()) continue;  // refused: the build writes no tape
        Bytes block = assemble_block(zx7, pasmo, asm_dir, module, block_dir, game.start.launch_table).code;
        auto start = std::chrono::steady_clock::now();
        auto verdict_48 = spectrum::check_tape(spectrum::Model::zx48, {block, game.start.game_blocks});
        auto verdict_128 = spectrum::check_tape(spectrum::Model::zx128, {block, game.start.game_blocks});
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        slowest = std::max(slowest, seconds);
        std::printf("%-28s %8.4f %6.0f %6d %6d\n", tape.stem().c_str(), seconds,
                    (verdict_48.tstates + verdict_128.tstates) / seconds / 1e6, verdict_48.last_music_frame,
                    verdict_128.last_music_frame);
    }
    std::printf("slowest check of a build: %.4f s\n", slowest);
}

// The player with the effect player, or without (`effects` empty), at 0x4000 with its work area,
// a start_effect(L = effect, H = channel) for ayfx_start, the module and the bank; with `in_bank`,
// the bank at 0xC000 as the player reads it from RAM bank 6 (this machine does not page, so the
// paging costs its T-states and changes nothing), learn_count() to run once the bank is loaded,
// and music_bank(L) to note the music's RAM bank for the effect player.
player_test::Assembly assemble_with_effects(const std::string& pasmo, const fs::path& asm_dir,
                                            const fs::path& module, const fs::path& effects,
                                            const fs::path& dir, bool in_bank = false) {
    std::ofstream(dir / "effects.asm")
        << (effects.empty() ? "" : "pt3_with_ayfx equ 1\n")
        << (in_bank ? "ayfx_bank_number equ 6\nbankm_sysvar equ 23388\npaging_kept_bits equ 0xD8\n"
                      "paging_port equ 0x7FFD\nayfx_bank equ 0xC000\n"
                    : "")
        << " org 0x4000\n include \"" << asm_dir.string() << "/pt3_player.asm\"\n"
        << (effects.empty() ? "ayfx_start:\n" : " include \"" + asm_dir.string() + "/ayfx_player.asm\"\n")
        << "pt3_work: ds PT3_WORK_SIZE\nstart_effect: ld a,l\n ld b,h\n jp ayfx_start\npt3_module: incbin \""
        << module.string() << "\"\n"
        << (in_bank ? "learn_count: ayfx_learn_count\n ret\nmusic_bank: ld a,l\n ld (ayfx_back_bank),a\n"
                      " cp 1\n sbc a,a\n or paging_kept_bits\n ld (ayfx_back_mask),a\n ret\n"
                    : "ayfx_bank:" +
                          (effects.empty() ? std::string("\n") : " incbin \"" + effects.string() + "\"\n"));
    return player_test::assemble(pasmo, dir, "effects.asm");
}

// Each module with the effects of the largest corpus bank that fits a RAM bank, played in turn,
// the next one on the next channel (A, B, C) as soon as one ends, beside the same module without
// the effect player: the slowest frame with an effect, and the effect's own cost a frame (the
// difference: its hook and its frame routine) at most and on average, with the bank in main
// memory and in a RAM bank (the tune in main memory, then in a bank: what is paged back differs);
// the hook's cost with no effect playing; and music alone's slowest frame plus the effect's most,
// the bound for any alignment of the two.
void bench_effects(const std::string& pasmo, const fs::path& asm_dir, const std::vector<fs::path>& modules,
                   const fs::path& corpus, const fs::path& work) {
    std::vector<fs::path> banks;
    for (const auto& entry : fs::directory_iterator(corpus / "afx"))
        if (fs::file_size(entry.path()) <= 16384) banks.push_back(entry.path());
    if (banks.empty()) return;
    fs::path bank = *std::max_element(banks.begin(), banks.end(), [](const fs::path& a, const fs::path& b) {
        return fs::file_size(a) < fs::file_size(b);
    });
    std::printf(
        "\nSound effects: the effects of %s in turn over each module, 15000 frames; the effect's own\n"
        "T-states a frame (most, mean) with the bank in main memory, in a RAM bank with the tune in main\n"
        "memory, in a RAM bank with the tune in another bank; the bound is music alone + the most\n"
        "module                   alone  with effect   main: most mean   banked: most mean   "
        "tune banked: most mean   hook idle   bound: main banked\n",
        bank.stem().c_str());
    const Bytes bank_bytes = player_test::read_file(bank);
    for (const auto& module : modules) {
        auto plain = assemble_with_effects(pasmo, asm_dir, module, {}, work);
        auto mixed = assemble_with_effects(pasmo, asm_dir, module, bank, work);
        auto banked = assemble_with_effects(pasmo, asm_dir, module, bank, work, true);
        // without, with effects, with the effect player idle, banked (tune in main memory, in a bank)
        player_test::Z80Machine machines[5];
        const player_test::Assembly* images[5] = {&plain, &mixed, &mixed, &banked, &banked};
        for (int i = 0; i < 5; ++i) {
            machines[i].load(0x4000, images[i]->code);
            if (i >= 3) {
                machines[i].load(0xC000, bank_bytes);
                machines[i].call(banked.symbols.at("learn_count"), 0, 1000);
            }
            machines[i].call(images[i]->symbols.at("pt3_init"), images[i]->symbols.at("pt3_module"),
                             10000000);
        }
        machines[4].call(banked.symbols.at("music_bank"), 4, 100000);
        long slowest = 0, with_effects = 0, idle = 0, most[3] = {}, total[3] = {};
        for (int frame = 0, effect = 0; frame < 15000; ++frame) {
            if (!machines[1].memory[mixed.symbols.at("ayfx_busy")] && ++effect)
                for (int i : {1, 3, 4})
                    machines[i].call(images[i]->symbols.at("start_effect"),
                                     (effect - 1) % 256 | (effect - 1) % 3 << 8, 100000);
            for (int i = 0; i < 5; ++i) machines[i].call(images[i]->symbols.at("pt3_play"), 0, 10000000);
            for (int k = 0; k < 3; ++k) {
                long own = machines[k ? k + 2 : 1].tstates - machines[0].tstates;
                total[k] += own, most[k] = std::max(most[k], own);
            }
            slowest = std::max(slowest, machines[0].tstates);
            with_effects =
                std::max({with_effects, machines[1].tstates, machines[3].tstates, machines[4].tstates});
            idle = std::max(idle, machines[2].tstates - machines[0].tstates);
        }
        std::printf("%-24s %6ld %12ld %12ld %5ld %14ld %5ld %19ld %5ld %11ld %13ld %7ld\n",
                    module.stem().c_str(), slowest, with_effects, most[0], total[0] / 15000, most[1],
                    total[1] / 15000, most[2], total[2] / 15000, idle, slowest + most[0],
                    slowest + std::max(most[1], most[2]));
    }
    auto symbols = assemble_with_effects(pasmo, asm_dir, modules.front(), bank, work).symbols;
    auto in_bank = assemble_with_effects(pasmo, asm_dir, modules.front(), bank, work, true).symbols;
    std::printf("effect player: %d bytes, its state included; %d with the bank in a RAM bank\n",
                symbols.at("ayfx_state_end") - symbols.at("ayfx_start"),
                in_bank.at("ayfx_state_end") - in_bank.at("ayfx_start"));
}

int main(int, char** argv) {
    std::string pasmo = argv[1], zx7 = argv[2], asm_dir = argv[3];
    fs::path work = argv[5], block_dir = work / "block", corpus = argv[4];
    std::vector<fs::path> modules(fs::directory_iterator(corpus / "pt3"), {});
    std::sort(modules.begin(), modules.end());
    std::vector<std::pair<std::string, Bytes>> blocks;
    std::printf(
        "T-states a frame over 15000 frames (handler: its own cost), of init (tune 1 in main memory)\n"
        "and of a switch to the module (tables built anew); the player block on tape (a banked\n"
        "module's own block not counted)\n"
        "module                      bytes  slowest     mean  handler     init   switch   layout   bytes  "
        "loading\n");
    for (const auto& module : modules) {
        std::printf("%-26s %6d ", module.stem().c_str(), static_cast<int>(fs::file_size(module)));
        player_test::Assembly block =
            assemble_block(zx7, pasmo, asm_dir, module, block_dir, loader::plain_launch_table());
        if (block.code.empty() && std::printf("does not fit\n")) continue;
        if (fs::file_size(module) <= main_memory_limit)  // (a banked tune's block is not served there)
            blocks.push_back({module.stem().string(), block.code});
        // Five minutes of the block's interrupt handler: the slowest and mean T-states of a frame in
        // the player, and the most the handler adds (the IM 2 acknowledge's 19 included, the ROM's
        // frame routine after it not: a RET there). The player alone runs in step in a second machine.
        // The switch to the tune with its tables built anew, its costliest case; this machine
        // does not page, so paging is declared and a banked module lies where its bank would be.
        bool banked = fs::file_size(module) > main_memory_limit;
        player_test::Z80Machine machines[2];
        long init = 0, switch_cost = 0;
        for (auto& machine : machines) {
            machine.load(25500, block.code);
            machine.load(0x0038, {0xC9});
            machine.call(25500, 0, 100000000);
            init = machine.tstates;
            if (banked) machine.load(0xC000, player_test::read_file(module)), machine.load(25517, {1});
            machine.load(25518, {0});                           // the builder where init left it
            machine.load(0xFF80, {0x3E, 1, 0xC3, 0xAA, 0x63});  // LD A,1; JP 25514
            machine.call(0xFF80, 0, 10000000);
            switch_cost = machine.tstates;
        }
        long slowest = 0, total = 0, handler = 0;
        for (int frame = 0; frame < 15000; ++frame) {
            machines[0].call(block.symbols.at("frame_interrupt"), 0, 10000000);
            machines[1].call(block.symbols.at("pt3_play"), 0, 10000000);
            total += machines[1].tstates;
            slowest = std::max(slowest, machines[1].tstates);
            handler = std::max(handler, machines[0].tstates + 19 - machines[1].tstates);
        }
        std::string init_text = banked ? "-" : std::to_string(init);  // it loads the block: no figure here
        std::printf("%8ld %8ld %8ld %8s %8ld %8s %7zu %6.1f s\n", slowest, total / 15000, handler,
                    init_text.c_str(), switch_cost, banked ? "128K" : "48K", block.code.size(),
                    load_seconds(block.code));
    }
    std::printf(
        "\nThe built-in Spectrum, 500 frames of each block and a stand-in game: emulated millions of"
        " T-states a second, seconds, AY writes\nmodule                     game  48K MT/s seconds writes  "
        "128K MT/s seconds writes\n");
    double seconds = 0;
    for (const auto& [name, block] : blocks)
        seconds += run_built_in(name, block, idle_game) + run_built_in(name, block, busy_game);
    std::printf("all runs of the built-in Spectrum: %.3f s\n", seconds);
    bench_tape_check(zx7, pasmo, asm_dir, modules.front(), corpus, block_dir);
    bench_effects(pasmo, asm_dir, modules, corpus, work);
    std::printf("\n");
    std::ofstream(work / "player.asm") << "pt3_work equ 0xE000\n org 0x8000\n include \"" << asm_dir
                                       << "/pt3_player.asm\"\npt3_player_end:\n";
    auto player = player_test::assemble(pasmo, work, "player.asm").symbols;
    int resident = player.at("pt3_tables_code") - 0x8000;
    std::printf(
        "PT3 player: %d bytes of code kept while playing, %d more of the table builder, %d bytes "
        "of work area\n",
        resident, player.at("pt3_player_end") - 0x8000 - resident, player.at("PT3_WORK_SIZE"));
}
