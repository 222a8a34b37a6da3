// What the music player costs a game (see player_bench.sh): the player block is assembled from
// the real sources with each corpus module, as the build does, and run on the player tests' Z80.
// usage: player_bench PASMO ZX7 ASM_DIR CORPUS_PT3_DIR WORK_DIR
#include <algorithm>
#include <cstdio>

#include "z80_machine.hpp"

namespace fs = std::filesystem;

// Seconds the ROM takes to load a header and a data block of `data`: pilot tones, sync pulses,
// then two pulses a bit (855 T-states each for a 0, 1710 for a 1).
double load_seconds(const player_test::Bytes& data) {
    long tstates = (8063 + 3223) * 2168 + 2 * (667 + 735);
    auto add = [&](int byte) {
        for (int bit = 0; bit < 8; ++bit) tstates += (byte >> bit & 1) ? 3420 : 1710;
    };
    for (int i = 0; i < 19; ++i) add(' ');  // the header, mostly spaces
    int checksum = 0xFF;                    // the flag byte
    add(checksum);
    for (auto byte : data) add(byte), checksum ^= byte;
    add(checksum);
    return tstates / 3500000.0;
}

// Plays the block's interrupt handler for five minutes: the slowest and mean T-states a frame
// in the player's code (also the small routines it may put lower down), and the most the
// handler adds around it (the IM 2 acknowledge's 19 included, the ROM's routine after it not).
void bench(const fs::path& module, const player_test::Assembly& block) {
    const int frames = 15000;
    auto symbol = [&](const char* name) { return block.symbols.count(name) ? block.symbols.at(name) : 0; };
    player_test::Z80Machine machine;
    machine.load(25500, block.code);
    machine.load(0x0038, {0xC9});  // RET for the ROM's frame routine
    machine.call(25500, 0, 100000000);
    if (symbol("play_from_bank")) {  // the harness cannot page: the module goes where its bank would be
        machine.load(0xC000, player_test::read_file(module));
        machine.load(25519, {6});
        machine.call(symbol("pt3_init"), 0xC000, 10000000);
    }
    machine.by_address.assign(65536, 0);
    long slowest = 0, total = 0, handler = 0;
    for (int frame = 0; frame < frames; ++frame) {
        machine.call(symbol("frame_interrupt"), 0, 10000000);
        long player = -total;
        for (int at = symbol("pt3_init"); at < symbol("pt3_tone_tables"); ++at)
            player += machine.by_address[at];
        for (int at = symbol("pt3_low_area"); at < symbol("pt3_low_end"); ++at)
            player += machine.by_address[at];
        total += player;
        slowest = std::max(slowest, player);
        handler = std::max(handler, machine.tstates + 19 - player);
    }
    std::printf("%-6s %8ld %8ld %8ld\n", symbol("play_from_bank") ? "128K" : "48K", slowest, total / frames,
                handler);
}

int main(int argc, char** argv) {
    if (argc != 6)
        return std::fprintf(stderr, "usage: player_bench PASMO ZX7 ASM_DIR CORPUS_PT3_DIR WORK\n"), 2;
    std::string pasmo = argv[1], zx7 = argv[2], asm_dir = argv[3];
    fs::path work = argv[5], block_dir = work / "block";
    std::vector<fs::path> modules;
    for (const auto& entry : fs::directory_iterator(argv[4])) modules.push_back(entry.path());
    std::sort(modules.begin(), modules.end());
    std::printf(
        "T-states per frame over 15000 frames; the handler column is the interrupt handler's own cost\n\n"
        "%-26s %6s  %-6s %8s %8s %8s\n",
        "module", "bytes", "layout", "slowest", "mean", "handler");
    std::string sizes;
    for (const auto& module : modules) {
        std::printf("%-26s %6d  ", module.stem().c_str(), static_cast<int>(fs::file_size(module)));
        fs::remove_all(block_dir);
        fs::create_directories(block_dir / "bin");
        fs::copy(asm_dir, block_dir / "asm");
        fs::copy_file(module, block_dir / "bin/music.pt3");
        std::ofstream(block_dir / "bin/author.bin") << "player bench\r";
        std::string zx7_command = "cd '" + block_dir.string() + "' && '" + zx7 + "' bin/music.pt3 >/dev/null";
        player_test::Assembly block;
        if (std::system(zx7_command.c_str()) == 0)
            block = player_test::assemble(pasmo, block_dir, "asm/tunefuse.asm");
        if (block.code.empty()) {
            std::printf("does not fit\n");
            continue;
        }
        bench(module, block);
        char line[120];
        std::snprintf(line, sizeof line, "player block with %-26s %6zu bytes on tape, %5.1f s to load\n",
                      module.stem().c_str(), block.code.size(), load_seconds(block.code));
        sizes += line;
    }
    std::ofstream(work / "player.asm") << "pt3_work equ 0xE000\n org 0x8000\n include \"" << asm_dir
                                       << "/pt3_player.asm\"\npt3_player_end:\n";
    auto player = player_test::assemble(pasmo, work, "player.asm").symbols;
    std::printf("\nPT3 player: %d bytes of code, %d bytes of work area\n%s",
                player.at("pt3_player_end") - 0x8000, player.at("PT3_WORK_SIZE"), sizes.c_str());
}
