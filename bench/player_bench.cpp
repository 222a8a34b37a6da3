// What the music player costs a game: the player block is assembled from the real sources
// with each corpus module, as the build does, and run on the test harness's emulated Z80.
// Prints figures; judges nothing.
//
// usage: player_bench PASMO ZX7 ASM_DIR CORPUS_PT3_DIR [--profile]
//   --profile  also prints, per kind of frame, where the slowest frame of that kind spends
//              its T-states, label by label
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "z80_machine.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Symbols = std::map<std::string, std::uint16_t>;

constexpr int kFrames = 15000;  // five minutes: the corpus songs play through and loop
constexpr long kCallLimit = 2000000;
constexpr std::uint16_t kLoadAddress = 25500;
constexpr std::uint16_t kRomFrameInterrupt = 0x0038;
constexpr std::uint16_t kMusicBankByte = 25519;
constexpr std::uint16_t kBankAddress = 0xC000;
constexpr int kImAcknowledge = 19;  // T-states the Z80 takes to enter an IM 2 handler

struct Tools {
    std::string pasmo, zx7;
    fs::path asm_dir;
};

Bytes read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

bool run(const std::string& command) {
    return std::system((command + " > /dev/null 2>&1").c_str()) == 0;
}

std::string shell_word(const fs::path& path) {
    return "'" + path.string() + "'";
}

struct Block {
    Bytes code;
    Symbols symbols;
};

// The player block as the build makes it from `module`; empty when the music does not fit.
Block assemble_block(const Tools& tools, const fs::path& module, const fs::path& work) {
    fs::remove_all(work);
    fs::create_directories(work / "bin");
    fs::copy(tools.asm_dir, work / "asm");
    fs::copy_file(module, work / "bin" / "music.pt3");
    write_file(work / "bin" / "author.bin", "player bench\r");
    Block block;
    if (!run("cd " + shell_word(work) + " && " + shell_word(tools.zx7) + " bin/music.pt3")) return block;
    if (!run("cd " + shell_word(work) + " && " + shell_word(tools.pasmo) +
             " --err asm/tunefuse.asm block.bin block.sym"))
        return block;
    block.code = read_file(work / "block.bin");
    block.symbols = player_test::read_pasmo_symbols(work / "block.sym");
    return block;
}

// The PT3 player alone, for its code and work sizes.
Block assemble_player(const Tools& tools, const fs::path& work) {
    fs::remove_all(work);
    fs::create_directories(work);
    write_file(work / "player.asm", "pt3_work equ 0xE000\n org 0x8000\n include \"" +
                                        (tools.asm_dir / "pt3_player.asm").string() +
                                        "\"\npt3_player_end:\n");
    Block block;
    if (run("cd " + shell_word(work) + " && " + shell_word(tools.pasmo) +
            " player.asm player.bin player.sym"))
        block.symbols = player_test::read_pasmo_symbols(work / "player.sym");
    return block;
}

// The time the ROM takes to load a header and a data block of `data` bytes: pilot tones,
// sync pulses, then two pulses per bit (855 T-states each for a 0, 1710 for a 1).
double load_seconds(const Bytes& data) {
    auto byte_tstates = [](std::uint8_t byte) {
        long tstates = 0;
        for (int bit = 0; bit < 8; ++bit) tstates += (byte >> bit & 1) ? 2 * 1710 : 2 * 855;
        return tstates;
    };
    constexpr long pilot_and_sync = 667 + 735;
    long header = 8063 * 2168 + pilot_and_sync + 19 * byte_tstates(0x20);  // mostly spaces
    std::uint8_t checksum = 0xFF;                                          // the flag byte
    long block = 3223 * 2168 + pilot_and_sync + byte_tstates(0xFF);
    for (std::uint8_t byte : data) {
        block += byte_tstates(byte);
        checksum ^= byte;
    }
    block += byte_tstates(checksum);
    return static_cast<double>(header + block) / 3500000.0;
}

struct FrameCost {
    long handler = 0;  // the whole interrupt, from the acknowledge to the jump into the ROM
    long player = 0;   // inside the PT3 player's code
    int rows = 0;      // pattern rows read
};

// Labels of the player's code, by address, for the profile; what follows the code is the
// handler's.
std::map<std::uint16_t, std::string> player_labels(const Symbols& symbols, std::uint16_t first,
                                                   std::uint16_t end) {
    std::map<std::uint16_t, std::string> labels = {{end, "(handler)"}};
    for (const auto& [name, address] : symbols)
        if (address >= first && address < end && name.rfind("pt3_", 0) == 0 && name != "pt3_work") {
            auto found = labels.find(address);
            if (found == labels.end() || name.size() > found->second.size()) labels[address] = name;
        }
    return labels;
}

void print_profile(const std::vector<long>& tstates, const std::map<std::uint16_t, std::string>& labels) {
    std::map<std::string, long> by_label;
    for (std::size_t address = 0; address < tstates.size(); ++address) {
        if (!tstates[address]) continue;
        auto label = labels.upper_bound(static_cast<std::uint16_t>(address));
        std::string name = label == labels.begin() ? "(handler)" : std::prev(label)->second;
        by_label[name] += tstates[address];
    }
    std::vector<std::pair<long, std::string>> sorted;
    for (const auto& [name, spent] : by_label) sorted.emplace_back(spent, name);
    std::sort(sorted.rbegin(), sorted.rend());
    for (const auto& [spent, name] : sorted) std::printf("        %-32s %6ld\n", name.c_str(), spent);
}

void bench_module(const Tools& tools, const fs::path& module, const fs::path& work, bool profile) {
    Block block = assemble_block(tools, module, work);
    std::string name = module.stem().string();
    if (block.code.empty()) {
        std::printf("%-26s %6zu  does not fit\n", name.c_str(), fs::file_size(module));
        return;
    }
    bool banked = block.symbols.count("play_from_bank") != 0;
    player_test::Z80Machine machine;
    machine.load(kLoadAddress, block.code);
    machine.load(kRomFrameInterrupt, Bytes(1, 0xC9));  // RET: the ROM's routine is not ours to count
    machine.allow_writes(0, 65536);
    machine.call(kLoadAddress, 0, kCallLimit * 50);
    if (banked) {
        // The harness cannot page: put the module where the bank would be and play from there.
        machine.load(kBankAddress, read_file(module));
        machine.load(kMusicBankByte, Bytes(1, 6));
        machine.call(block.symbols.at("pt3_init"), kBankAddress, kCallLimit);
    }
    // The player's code: its main part, and the small routines it may have put lower down.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> ranges = {
        {block.symbols.at("pt3_init"), block.symbols.at("pt3_tone_tables")}};
    if (block.symbols.count("pt3_low_end"))
        ranges.emplace_back(block.symbols.at("pt3_low_area"), block.symbols.at("pt3_low_end"));
    std::map<std::uint16_t, std::string> labels;
    for (auto [first, end] : ranges) labels.merge(player_labels(block.symbols, first, end));
    std::uint16_t read_row = block.symbols.at("pt3_read_row");
    std::map<int, std::pair<FrameCost, std::vector<long>>> slowest_of_kind;
    std::map<int, int> frames_of_kind;
    FrameCost slowest;
    long player_total = 0, handler_most = 0;
    for (int frame = 0; frame < kFrames; ++frame) {
        machine.count_by_address(true);
        machine.call(block.symbols.at("frame_interrupt"), 0, kCallLimit);
        const auto& spent = machine.tstates_by_address();
        FrameCost cost;
        cost.handler = machine.tstates() + kImAcknowledge;
        for (auto [first, end] : ranges)
            for (std::uint16_t address = first; address < end; ++address) cost.player += spent[address];
        cost.rows = static_cast<int>(machine.visits_by_address()[read_row]);
        player_total += cost.player;
        handler_most = std::max(handler_most, cost.handler - cost.player);
        if (cost.player > slowest.player) slowest = cost;
        ++frames_of_kind[cost.rows];
        auto& kind = slowest_of_kind[cost.rows];
        if (cost.player > kind.first.player) kind = {cost, spent};
    }
    std::printf("%-26s %6zu  %-6s %8ld %8ld %8ld\n", name.c_str(), fs::file_size(module),
                banked ? "128K" : "48K", slowest.player, player_total / kFrames, handler_most);
    if (!profile) return;
    for (const auto& [rows, kind] : slowest_of_kind) {
        std::printf("    rows read %d: %d frames, slowest %ld T-states in the player\n", rows,
                    frames_of_kind[rows], kind.first.player);
        print_profile(kind.second, labels);
    }
}

void print_sizes(const Tools& tools, const std::vector<fs::path>& modules, const fs::path& work) {
    Block player = assemble_player(tools, work / "player");
    if (player.symbols.empty()) return;
    std::printf("\nPT3 player: %d bytes of code, %d bytes of work area\n",
                player.symbols.at("pt3_player_end") - 0x8000, player.symbols.at("PT3_WORK_SIZE"));
    for (const auto& module : modules) {
        Block block = assemble_block(tools, module, work / "block");
        if (block.code.empty()) continue;
        std::printf("player block with %-26s %6zu bytes on tape, %5.1f s to load\n",
                    module.stem().string().c_str(), block.code.size(), load_seconds(block.code));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: player_bench PASMO ZX7 ASM_DIR CORPUS_PT3_DIR [--profile]\n";
        return 2;
    }
    Tools tools{fs::absolute(argv[1]).string(), fs::absolute(argv[2]).string(), fs::absolute(argv[3])};
    fs::path corpus = fs::absolute(argv[4]);
    bool profile = argc > 5 && std::string(argv[5]) == "--profile";
    fs::path work = fs::temp_directory_path() / ("player-bench-" + std::to_string(::getpid()));
    std::vector<fs::path> modules;
    for (const auto& entry : fs::directory_iterator(corpus))
        if (entry.path().extension() == ".pt3") modules.push_back(entry.path());
    std::sort(modules.begin(), modules.end());
    std::printf(
        "T-states per frame over %d frames; the handler column is the interrupt handler's own\n"
        "cost around the player (IM 2 acknowledge included, the ROM's routine after it not)\n\n",
        kFrames);
    std::printf("%-26s %6s  %-6s %8s %8s %8s\n", "module", "bytes", "layout", "slowest", "mean", "handler");
    for (const auto& module : modules) bench_module(tools, module, work / "block", profile);
    print_sizes(tools, modules, work);
    fs::remove_all(work);
}
