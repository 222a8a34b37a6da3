// How fast the built-in Spectrum runs (see spectrum_bench.sh): a stand-in game with the PT3 player
// on its IM 2 interrupt, 500 frames on a 48K and on a 128K, once waiting in HALT between frames
// and once busy every T-state. Prints emulated T-states and frames per second; judges nothing.
// usage: spectrum_bench PASMO PLAYER_SOURCE CORPUS_PT3_DIR WORK_DIR
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "spectrum/machine.hpp"
#include "z80_machine.hpp"

namespace fs = std::filesystem;

// The game: the player and its vector table set up, then either HALT or a busy loop of short
// instructions (the costliest case for the emulator: most instructions a frame).
const char* const game_source = R"(
pt3_work equ 0xE000
 org 0x8000
 di
 ld sp, 0x7F00
 ld hl, pt3_module
 call pt3_init
 ld hl, 0xFE00
 ld de, 0xFE01
 ld bc, 256
 ld (hl), 0xFD
 ldir
 ld a, 0xC3
 ld (0xFDFD), a
 ld hl, handler
 ld (0xFDFE), hl
 ld a, 0xFE
 ld i, a
 im 2
 ei
 ld ix, 0x9000
 if game_busy
 jr busy
 endif
idle:
 halt
 jr idle
busy:
 inc a
 add a, b
 ld (ix + 3), a
 ld c, (hl)
 inc hl
 res 0, h
 djnz busy
 jr busy
handler:
 push af
 push bc
 push de
 push hl
 push ix
 call pt3_play
 pop ix
 pop hl
 pop de
 pop bc
 pop af
 ei
 reti
 include "player.asm"
pt3_module:
 incbin "music.pt3"
)";

int main(int, char** argv) {
    std::string pasmo = argv[1];
    fs::path work = argv[4];
    std::vector<fs::path> modules(fs::directory_iterator(argv[3]), {});
    std::sort(modules.begin(), modules.end());
    fs::copy_file(argv[2], work / "player.asm", fs::copy_options::overwrite_existing);
    std::vector<std::uint8_t> rom(16384, 0xFF);  // every ROM call would run into RST 38h
    rom[0x38] = 0xFB, rom[0x39] = 0xC9;          // EI, RET
    std::printf(
        "500 frames each: emulated T-states a second and frames a second\n"
        "module                      game    48K T/s  frames/s   128K T/s  frames/s  AY writes\n");
    double total_seconds = 0;
    for (const auto& module : modules) {
        fs::copy_file(module, work / "music.pt3", fs::copy_options::overwrite_existing);
        for (const char* kind : {"idle", "busy"}) {
            std::ofstream(work / "game.asm") << "game_busy equ " << (kind[0] == 'b') << game_source;
            auto game = player_test::assemble(pasmo, work, "game.asm");
            if (game.code.empty() && std::printf("%s: does not assemble\n", module.stem().c_str())) break;
            std::printf("%-26s %5s", module.stem().c_str(), kind);
            std::size_t ay_writes = 0;
            for (auto model : {spectrum::Model::zx48, spectrum::Model::zx128}) {
                spectrum::Machine machine(model, rom);
                machine.load(0x8000, game.code);
                machine.cpu.pc = 0x8000;
                auto start = std::chrono::steady_clock::now();
                machine.run_frames(500);
                double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                total_seconds += seconds;
                std::printf(" %10.0f %9.0f", 500.0 * machine.frame_length() / seconds, 500 / seconds);
                ay_writes += machine.ay_writes.size();
            }
            std::printf(" %10zu\n", ay_writes);
        }
    }
    std::printf("all runs: %.3f s\n", total_seconds);
}
