// The kit end to end: the real kit builds a tape, Debian's Fuse runs it headless on a 48K or a
// 128K, its debugger types LOAD "" and notes every player entry called and every write to the
// AY, and the RAM, every bank of it, is read back from the recording's final snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>
#include <utility>

#include "ayfx_decoder.hpp"
#include "fault_cases.hpp"
#include "player_limit.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;

const fs::path fuse = "/usr/bin/fuse-sdl", rom = "/usr/share/spectrum-roms/opense.rom";
const std::string banner = "Tunefuse 1.6.1 Kestrin 2017";
constexpr int init_entry = 25500, stop_entry = 25506, module_word = 25509, start_entry = 25511,
              switch_entry = 25514, effect_entry = 25520, effects_off_entry = 25523;
// The demo game and the checking game below both keep a count at 32003 and 0x5A at 32005.
constexpr int game_count = 32003, game_marker = 32005, stop_after_checks = 200;
constexpr int entry_mark = 9999991, write_mark = 9999992, exit_mark = 9999993, frame_mark = 9999994;

// A game with its stack at 0xFF00, where a paged RAM bank would hide it. It fills 0x8000..0xFDFF
// with a pattern, loads every register with known values and after each interrupt checks them
// (and with `check_top` the top 16 KB), counting checks at 32003; 32005 becomes 0xBD after a
// register changed, 0xC5 after memory did. After `stop_after` checks (0: never) it calls stop.
std::string checking_game(int stop_after, bool check_top) {
    std::string source =
        "stop_after equ " + std::to_string(stop_after) + "\ncheck_top equ " + (check_top ? "1" : "0") + R"(
        org 32000 | jp main | dw 0, 0
main:   ld sp, $ff00 | ld hl, $8000 | ld bc, $7e00  ; (HL) := L xor H from $8000 to $FDFF
fill:   ld a, l | xor h | ld (hl), a | inc hl | dec bc | ld a, b | or c | jr nz, fill
        ld a, $5a | ld (32005), a
load:   ld hl, (wanted + 6) | push hl | pop af      ; the set pushed second, then the other
        ld bc, (wanted + 4) | ld de, (wanted + 2) | ld hl, (wanted) | exx | ex af, af'
        ld iy, (wanted + 8) | ld ix, (wanted + 10) | ld hl, (wanted + 18) | push hl | pop af
        ld bc, (wanted + 16) | ld de, (wanted + 14) | ld hl, (wanted + 12)
        ei | halt | di                              ; pushed below the stack, then read as HL' to AF
        ld (save_sp), sp | push af | push bc | push de | push hl | push ix | push iy
        exx | ex af, af' | push af | push bc | push de | push hl
        ld hl, 0 | add hl, sp | ld sp, (save_sp) | ld de, wanted | ld b, 20
compare: ld a, (de) | cp (hl) | ld a, $bd | jr nz, spoiled | inc hl | inc de | djnz compare
        ei
        if check_top                                ; the top 16 KB as filled, read with interrupts on
        ld hl, $c000 | ld bc, $3e00
verify: ld a, l | xor h | cp (hl) | ld a, $c5 | jr nz, spoiled | inc hl | dec bc | ld a, b | or c
        jr nz, verify
        endif
        ld hl, (32003) | inc hl | ld (32003), hl | ld de, stop_after | or a | sbc hl, de
        jp nz, load | call 25506 | jp load
spoiled: ld (32005), a | ei
stay:   halt | jr stay
; HL', DE', BC', AF', IY (the ROM's frame routine needs 23610), IX, HL, DE, BC, AF
wanted: dw $f00f, $ddee, $bbcc, $aa28, 23610, $8899, $6677, $4455, $2233, $11d7
save_sp: dw 0
        end
)";
    std::replace(source.begin(), source.end(), '|', '\n');  // instructions written a line's worth at a time
    return source;
}

// What the debugger printed: the player entries called (PC, frame, I, FRAMES), the AY data writes
// (frame, register, value) with their ports decoded as the 128 does, and at the end IM and I.
struct Trace {
    std::vector<std::array<int, 4>> entries;
    std::vector<std::array<int, 4>> frames;  // frame, IM, I, IFF1 at the frame's interrupt
    std::vector<std::array<int, 3>> ay;
    std::vector<int> player_frames;  // frames of the AY writes from the player's code, 25500 to 31999
    int im = -1, i = -1;
};

Trace read_trace(const std::string& output) {
    std::vector<int> numbers;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("0x", 0) == 0) numbers.push_back(static_cast<int>(std::stol(line, nullptr, 16)));
    Trace trace;
    std::size_t at = 0;
    auto take = [&](auto& fields) {
        for (auto& field : fields) field = at < numbers.size() ? numbers[at++] : -1;
    };
    std::array<int, 2> end{-1, -1};
    for (int selected = -1; at < numbers.size();) {
        int mark = numbers[at++];
        if (mark == entry_mark) take(trace.entries.emplace_back());
        if (mark == exit_mark) take(end);
        if (mark == frame_mark) take(trace.frames.emplace_back());
        if (mark != write_mark) continue;
        // An OUT, from the frame, the two opcode bytes before PC, A, BC, DE, HL and (HL): OUT (n),A,
        // OUTI and OUTD (B already lowered, HL not yet moved), or OUT (C),r; then PC after it.
        std::array<int, 9> out{};
        take(out);
        auto [frame, before_last, last, a, bc, de, hl, at_hl, pc] = out;
        const int source[8] = {bc >> 8, bc & 0xFF, de >> 8, de & 0xFF, hl >> 8, hl & 0xFF, 0, a};
        int port = before_last == 0xD3 ? a << 8 | last : bc;
        int value = before_last == 0xD3 ? a : last == 0xA3 || last == 0xAB ? at_hl : source[(last >> 3) & 7];
        if ((port & 0xC002) == 0xC000) selected = value & 15;
        if ((port & 0xC002) == 0x8000 && selected >= 0 && selected < 14)
            trace.ay.push_back({frame, selected, value});
        if ((port & 0xC002) == 0x8000 && pc - 2 >= 25500 && pc - 2 < 32000)
            trace.player_frames.push_back(frame);
    }
    trace.im = end[0], trace.i = end[1];
    return trace;
}

// `count` frames of AY writes from the first frame with one at or after `from_frame`, as the
// expected frame files have them: R0 to R13 in hex, "--" for R0..R12 not written, "ff" for R13.
std::vector<std::string> ay_lines(const Trace& trace, int from_frame, int count) {
    std::vector<std::string> lines;
    for (const auto& [frame, reg, value] : trace.ay) {
        if (frame < from_frame) continue;
        if (lines.empty())
            from_frame = frame, lines.assign(count, "-- -- -- -- -- -- -- -- -- -- -- -- -- ff");
        if (frame - from_frame >= count) break;
        lines[frame - from_frame][3 * reg] = "0123456789abcdef"[value >> 4 & 15];
        lines[frame - from_frame][3 * reg + 1] = "0123456789abcdef"[value & 15];
    }
    return lines;
}

// Every 16 KB bank of the RAM of Fuse's recording's final snapshot, as an uncompressed SZX
// made by the Fuse utilities, and which bank lies at 0xC000.
struct Ram {
    std::array<Bytes, 8> banks;
    int paged = 0;
    int peek(int address) const {
        return banks.at(address < 0x8000 ? 5 : address < 0xC000 ? 2 : paged).at(address & 0x3FFF);
    }
    int word(int address) const { return peek(address) | peek(address + 1) << 8; }
};

Ram read_ram(const fs::path& file) {
    Bytes szx = fs::exists(file) ? test::read_bytes(file) : Bytes{};
    Ram ram;
    for (std::size_t at = 8, size = 0; at + 8 <= szx.size(); at += 8 + size) {
        std::string id(szx.begin() + static_cast<long>(at), szx.begin() + static_cast<long>(at) + 4);
        size = szx[at + 4] | szx[at + 5] << 8 | szx[at + 6] << 16 | std::size_t{szx[at + 7]} << 24;
        auto body = szx.begin() + static_cast<long>(at) + 8;
        if (id == "SPCR") ram.paged = body[1] & 7;
        if (id == "RAMP" && size == 16387) ram.banks.at(body[2]).assign(body + 3, body + 16387);
    }
    return ram;
}

// Types LOAD "" through the keyboard system variables, notes what the trace needs, and exits
// (0) `frames` frames after the start entry ran (the game's, when given), or (3) at a frame limit.
std::string debugger_script(int frames, int frame_limit, int game_entry = -1,
                            const std::vector<std::pair<int, char>>& presses = {}) {
    std::ostringstream script;
    int id = 0;
    script << "set $begun 0\nset $entered 0\n";
    // The game's own start, with the colours it finds, and every frame's interrupt set-up.
    if (game_entry >= 0) {
        script << "break " << game_entry << " if $entered == 0\ncommands " << ++id << "\nprint " << entry_mark
               << "\nprint z80:pc\nprint spectrum:frames\nprint [23693]\nprint [23624]\n"
               << "set $entered spectrum:frames\ncontinue\nend\n";
        script << "break time 0 if $begun != 0\ncommands " << ++id << "\nprint " << frame_mark
               << "\nprint spectrum:frames\nprint z80:im\nprint z80:i\nprint z80:iff1\ncontinue\nend\n";
    }
    for (char key : std::string("\rload\"\"\r")) {
        int frame = 100 + 10 * id;
        script << "break time 0 if spectrum:frames == " << frame << "\ncommands " << ++id << "\nset 23560 "
               << int{key} << "\nset 23611 ([23611] | 32)\ncontinue\nend\n";
    }
    // Keys pressed for the game, frames after the start entry, as the ROM's keyboard scan leaves them.
    for (const auto& [after, key] : presses)
        script << "break time 0 if $begun != 0 && spectrum:frames == $begun + " << after << "\ncommands "
               << ++id << "\nset 23560 " << int{key} << "\nset 23611 ([23611] | 32)\ncontinue\nend\n";
    for (int entry : {init_entry, stop_entry, start_entry, switch_entry, effect_entry, effects_off_entry})
        script << "break " << entry << "\ncommands " << ++id << "\nprint " << entry_mark
               << "\nprint z80:pc\nprint spectrum:frames\nprint z80:i\nprint [23672] + 256 * [23673]\n"
               << (entry == start_entry && game_entry < 0 ? "set $begun spectrum:frames\n" : "")
               << "continue\nend\n";
    script << "break port write 0xfd\ncommands " << ++id << "\nprint " << write_mark
           << "\nprint spectrum:frames\nprint [z80:pc - 2]\nprint [z80:pc - 1]\nprint z80:a\nprint z80:bc"
              "\nprint z80:de\nprint z80:hl\nprint [z80:hl]\nprint z80:pc\ncontinue\nend\n";
    // With a game of its own maker's, the frames count from the game's start: the player's start
    // entry may still be loading its further blocks at the tape's own speed.
    const std::string from = game_entry >= 0 ? "$entered" : "$begun";
    script << "break time 0 if " << from << " != 0 && spectrum:frames == " << from << " + " << frames
           << "\ncommands " << ++id << "\nprint " << exit_mark
           << "\nprint z80:im\nprint z80:i\nexit 0\nend\n";
    // No newline after the last "end": Fuse reads one there as an empty, invalid command.
    script << "break time 0 if spectrum:frames == " << frame_limit << "\ncommands " << ++id
           << "\nexit 3\nend";
    return script.str();
}

// A title or author as the program reads it: 33 characters, cut at CR, LF or zero, trimmed.
std::string module_field(const Bytes& module, std::size_t at) {
    std::string field(module.begin() + static_cast<long>(at), module.begin() + static_cast<long>(at) + 33);
    field.resize(std::min(field.size(), field.find_first_of(std::string("\r\n\0", 3))));
    field.erase(field.find_last_not_of(' ') + 1);
    return field.erase(0, field.find_first_not_of(' '));
}

// Text as init prints it from `row` on: the ROM font, bright white on black, blank cells after.
void expect_text(const Ram& ram, const std::string& text, int row) {
    static const Bytes font_rom = test::read_bytes(rom);
    int font = ram.word(23606);
    for (std::size_t cell = 0; cell < (text.size() + 31) / 32 * 32; ++cell) {
        int at_row = row + static_cast<int>(cell / 32), column = static_cast<int>(cell % 32);
        int code = cell < text.size() ? static_cast<unsigned char>(text[cell]) : ' ';
        if (code < 32 || code > 127) code = ' ';
        int pixels = 16384 + ((at_row & 0x18) << 8) + ((at_row & 7) << 5) + column;
        for (int line = 0; line < 8; ++line)
            ASSERT_EQ(ram.peek(pixels + line * 256), font_rom.at(font + code * 8 + line))
                << "cell " << at_row << "," << column;
        ASSERT_EQ(ram.peek(22528 + at_row * 32 + column), 0x47) << "text colour " << at_row << "," << column;
    }
}

// What the player's first start does (bin/launch.bin): for a game at 32000, only the ROM's colours.
const Bytes default_launch{7, 0x38, 0x38, 0, 0x00, 0x7D, 0};

class KitEmulator : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(fuse) || !fs::exists(rom) || !fs::exists(test::kit_dir() / "tools/pasmo"))
            GTEST_SKIP() << "needs Fuse, the OpenSE ROM and pasmo (fuse-emulator-sdl, opense-basic, pasmo)";
    }

    static test::ProcessResult run_in(const fs::path& dir, std::vector<std::string> command,
                                      std::map<std::string, std::string> env = {}) {
        if (fs::exists(dir / command[0])) command[0] = (dir / command[0]).string();
        return test::run_process(command, {.working_directory = dir, .env = env, .timeout_seconds = 90});
    }

    // Builds the tape in a copy of the kit with `music`, `game` (source, or "" for the demo) at the launch
    // table's entry and a headerless `block` last; runs it to `frames` frames after the start entry. The
    // loader's CLEAR, the marker and the credits (unless the screen was cleared) must be there.
    void play(const fs::path& music, bool zx128, const std::string& game, bool screen, int frames,
              const Bytes& launch = default_launch, const Bytes& block = {}) {
        const int origin = launch[4] | launch[5] << 8;
        fs::path kit = temp_ / "kit", work = temp_ / "fuse";
        fs::copy(test::kit_dir(), kit, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        if (!screen) fs::remove(kit / "screen.scr");
        fs::copy_file(music, kit / "music.pt3", fs::copy_options::overwrite_existing);
        if (!effects_.empty()) fs::copy_file(effects_, kit / "sfx.afb");
        for (std::size_t n = 0; n < more_tunes_.size(); ++n)
            fs::copy_file(more_tunes_[n], kit / ("music" + std::to_string(n + 2) + ".pt3"));
        module_ = test::read_bytes(music);
        if (preview_) fs::remove(kit / "game.tap");
        if (!game_tape_.empty()) {
            fs::copy_file(game_tape_, kit / "game.tap", fs::copy_options::overwrite_existing);
        } else if (!game.empty()) {
            test::write_string(kit / "checker.asm", game);
            fs::remove(kit / "game.tap");
            for (std::vector<std::string> command :
                 {std::vector<std::string>{"tools/pasmo", "--err", "checker.asm", "checker.bin"},
                  {"tools/bin2tap", "-o", "game.tap", "checker.bin", "-a", std::to_string(origin)}})
                EXPECT_EQ(run_in(kit, command).exit_code, 0) << command[0];
        }
        // The player takes the test's own table, whatever the program writes to bin/launch.bin.
        if (launch != default_launch) {
            std::string player = test::read_string(kit / "asm/tunefuse.asm");
            test::write_string(kit / "asm/tunefuse.asm",
                               player.replace(player.find("\"bin/launch.bin\""), 16, "\"launch.bin\""));
            test::write_bytes(kit / "launch.bin", launch);
        }
        auto build = run_in(kit, {"tunefuse"}, {{"PATH", (temp_ / "no-opener").string()}});
        build_ = build;
        if (!game_tape_.empty() && build.exit_code != 0) return;
        EXPECT_EQ(build.exit_code, 0) << build.out << build.err;
        // Only banked music has a word to say: a 48K plays none of it.
        const std::string banked =
            "tunefuse: warning: on the 48K, the music does not play: it needs a 128K's "
            "RAM bank, as it is too long for main memory\n";
        EXPECT_TRUE(!warning_.empty() ? build.err.find(warning_) != std::string::npos
                                      : !game_tape_.empty() || build.err.empty() || build.err == banked)
            << build.err;
        fs::path tape = kit / (preview_ ? "Finished.tap" : game.empty() ? "tunedemo.tap" : "checker.tap");
        for (const auto& file : fs::directory_iterator(kit))
            if (!game_tape_.empty() && file.path().extension() == ".tap" &&
                file.path().filename() != "game.tap")
                tape = file.path();
        ASSERT_FALSE(HasFailure());
        Bytes added = block.empty() ? Bytes{} : test::tape_block(0xFF, block);
        std::ofstream(tape, std::ios::app).write(reinterpret_cast<const char*>(added.data()), added.size());
        fs::create_directories(work / "home");
        std::vector<std::string> command = {fuse.string(),        "--machine",
                                            zx128 ? "128" : "48", zx128 ? "--rom-128-0" : "--rom-48",
                                            rom.string(),         zx128 ? "--rom-128-1" : "--melodik"};
        if (zx128) command.push_back(rom.string());
        int frame_limit = 2000 + static_cast<int>(fs::file_size(tape)) * 2 / 5 + frames;
        command.insert(command.end(),
                       {"--no-sound", "--no-auto-load", "--fastload", "--speed", "2000", "--no-rzx-autosaves",
                        "--tape", tape.string(), "--record", "run.rzx", "--debugger-command",
                        debugger_script(frames, frame_limit, game_entry_, presses_)});
        auto run = run_in(
            work, command,
            {{"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}, {"HOME", (work / "home").string()}});
        ASSERT_EQ(run.exit_code, 0) << "the run did not reach its end\n" << run.err;
        trace_ = read_trace(run.out);
        run_in(work, {"rzxtool", "-e", "2,final.szx", "run.rzx"});
        run_in(work, {"snapconv", "-n", "final.szx", "plain.szx"});
        ram_ = read_ram(work / "plain.szx");
        ASSERT_FALSE(ram_.banks[5].empty()) << "no RAM in the recording's final snapshot";
        for (const auto& [pc, frame, i, frames_count] : trace_.entries)
            if (pc == start_entry && start_frame_ < 0 && preview_) start_frame_ = frame;
        if (!game_tape_.empty() || preview_) return;
        EXPECT_EQ(ram_.word(23730), 25499) << "the loader's CLEAR did not run";
        EXPECT_EQ(ram_.peek(game_marker), 0x5A) << "the game did not start, or saw a change";
        std::string credits =
            banner + "-" + module_field(module_, 30) + "/" + module_field(module_, 66) + "/music.pt3";
        credits_row_ = 24 - static_cast<int>(std::min<std::size_t>(credits.size(), 128) + 31) / 32;
        if (!(launch[3] & 1)) expect_text(ram_, credits.substr(0, 128), credits_row_);
        for (const auto& [pc, frame, i, frames_count] : trace_.entries) {
            if (pc == switch_entry || pc == effect_entry || pc == effects_off_entry) continue;
            entries_.push_back(pc);
            if (pc == start_entry && start_frame_ < 0) start_frame_ = frame;
        }
    }

    void expect_module_in_main_memory() {
        EXPECT_EQ(ram_.peek(player_music_bank), 0);
        int at = ram_.word(module_word);
        ASSERT_TRUE(at >= 25500 && at + static_cast<int>(module_.size()) <= 32000) << at;
        EXPECT_TRUE(std::equal(module_.begin(), module_.end(), ram_.banks[5].begin() + (at - 16384)))
            << "the unpacked music differs from the PT3 file";
    }

    void expect_game_memory(int from, int to) {
        for (int address = from; address < to; ++address)
            ASSERT_EQ(ram_.peek(address), ((address & 0xFF) ^ (address >> 8)) & 0xFF)
                << "memory changed at " << address;
    }

    // The AY frames from the start entry on: those of the expected frame file, or where there is
    // none, `count` frames that each write R0..R12.
    void expect_frames(const fs::path& file, int count, int most = 1 << 20) {
        std::vector<std::string> expected;
        std::istringstream in(fs::exists(file) ? test::read_string(file) : "");
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && static_cast<int>(expected.size()) < most) expected.push_back(line);
        auto lines =
            ay_lines(trace_, start_frame_, expected.empty() ? count : static_cast<int>(expected.size()));
        ASSERT_FALSE(lines.empty()) << "no AY writes after the start entry";
        for (std::size_t i = 0; i < lines.size(); ++i)
            ASSERT_TRUE(expected.empty() ? lines[i].find("--") == std::string::npos : lines[i] == expected[i])
                << "frame " << i + 1 << ": " << lines[i]
                << (expected.empty() ? "" : " instead of " + expected[i]);
    }

    test::TempDir temp_{"tunefuse-kit"};
    fs::path game_tape_;                         // a game tape of its own maker's, instead of one made here
    std::vector<fs::path> more_tunes_;           // music2.pt3 and on
    fs::path effects_;                           // sfx.afb
    bool preview_ = false;                       // no game.tap: the program's preview game in its place
    std::vector<std::pair<int, char>> presses_;  // keys for the game, frames after the start entry
    std::string warning_;                        // what the build must say, instead of nothing
    int game_entry_ = -1;
    test::ProcessResult build_;
    Bytes module_;
    Trace trace_;
    Ram ram_;
    std::vector<int> entries_;
    int credits_row_ = 24, start_frame_ = -1;
};

// The demo tape with its loading screen: the screen stays below the game's banner, and the
// demo tune's kinds of sound all reach the AY under the game.
TEST_F(KitEmulator, DemoTapeWithLoadingScreenPlaysItsMusicUnderTheGame) {
    constexpr int frames = 300;
    ASSERT_NO_FATAL_FAILURE(play(test::kit_dir() / "music.pt3", false, "", true, frames));
    EXPECT_EQ(entries_, (std::vector<int>{init_entry, start_entry}));
    expect_module_in_main_memory();
    EXPECT_GE(ram_.word(game_count), frames - 50) << "the game stopped counting frames";
    EXPECT_EQ(trace_.im, 2);
    EXPECT_EQ(trace_.i, 0x64) << "the vector table is at 25600";
    Bytes screen = test::read_bytes(test::kit_dir() / "screen.scr");
    for (int address = 16384; address < 23296; ++address) {
        int row =
            address < 22528 ? (address - 16384) / 2048 * 8 + (address >> 5 & 7) : (address - 22528) / 32;
        if (row >= 8 && row < credits_row_) {
            ASSERT_EQ(ram_.peek(address), screen.at(static_cast<std::size_t>(address - 16384))) << address;
        }
    }
    ASSERT_NO_FATAL_FAILURE(expect_frames("", frames - 10));
    bool shape = false, level = false, noise = false;
    for (const auto& line : ay_lines(trace_, start_frame_, frames - 10)) {
        shape |= line.ends_with("0a");                                         // R13
        level |= line[24] == '1' || line[27] == '1' || line[30] == '1';        // R8 to R10: 0x10 and up
        noise |= (std::stoi(line.substr(21, 2), nullptr, 16) & 0x38) != 0x38;  // R7, the mixer
    }
    EXPECT_TRUE(shape && level && noise)
        << "envelope shape 10 " << shape << ", envelope used " << level << ", noise used " << noise;
}

// Under a game that checks its registers after every interrupt, then calls stop: the ROM's
// interrupts come back, with the I register from before the start, and the AY falls silent.
TEST_F(KitEmulator, BackgroundPlayerLeavesTheGameAloneAndStopsCleanly) {
    constexpr int frames = 300;
    ASSERT_NO_FATAL_FAILURE(
        play(test::kit_dir() / "music.pt3", false, checking_game(stop_after_checks, false), false, frames));
    EXPECT_EQ(entries_, (std::vector<int>{init_entry, start_entry, stop_entry}));
    expect_module_in_main_memory();
    expect_game_memory(0x8000, 0xFE00);
    EXPECT_GE(ram_.word(game_count), frames - 60) << "the game stopped getting interrupts";
    EXPECT_EQ(trace_.im, 1);
    EXPECT_EQ(trace_.i, trace_.entries.at(1)[2]) << "stop did not put back the I register";
    EXPECT_NE(trace_.i, 0x64);
    ASSERT_EQ(trace_.entries.size(), 3u);
    // The ROM's frame routine, which counts FRAMES, ran on every interrupt, before stop and after.
    auto [start, started, i_at_start, frames_at_start] = trace_.entries[1];
    auto [stop, stopped, i_at_stop, frames_at_stop] = trace_.entries[2];
    EXPECT_NEAR((frames_at_stop - frames_at_start) & 0xFFFF, stopped - started, 1);
    EXPECT_NEAR((ram_.word(23672) - frames_at_stop) & 0xFFFF, started + frames - stopped, 1);
    ASSERT_FALSE(trace_.ay.empty());
    int last_written = trace_.ay.back()[0];
    EXPECT_LE(last_written, stopped + 1) << "the AY was still written after stop";
    EXPECT_EQ(ay_lines(trace_, last_written, 1).at(0).substr(24, 8), "00 00 00") << "R8 to R10 not silenced";
}

// A game that sets IM 1 at its start, draws and waits in HALT gets IM 2 there in the tape's copy,
// and the music on every frame to 500 in Fuse. Its screen then is the one the same game shows with
// IM 1 in force: that game sets IM 1 twice, which one IM 2 cannot mend, so the tape keeps it.
TEST_F(KitEmulator, MendsAGamesOneIm1SoTheMusicPlaysOn) {
    std::array<Bytes, 2> screens;
    for (int twice : {0, 1}) {
        fs::remove_all(temp_ / "kit"), fs::remove_all(temp_ / "fuse");
        warning_ = twice ? "IM 1 at 32007 sets interrupt mode 1" : "the game's IM 1 at 32007 changed to IM 2";
        std::string game = "org 32000 | jp main | dw 0, 0 | main: im 1 | " +
                           std::string(twice ? "im 1 | " : "") +
                           R"(ld a, $5a | ld (32005), a | ld hl, 16384 | ld bc, 2048
            draw: ld a, l | xor h | ld (hl), a | inc hl | dec bc | ld a, b | or c | jr nz, draw
            stay: halt | jr stay)";
        std::replace(game.begin(), game.end(), '|', '\n');
        ASSERT_NO_FATAL_FAILURE(play(test::kit_dir() / "music.pt3", false, game, false, 510));
        std::set<int> heard(trace_.player_frames.begin(), trace_.player_frames.end());
        EXPECT_EQ(std::count(build_.err.begin(), build_.err.end(), '\n'), 1) << build_.err;
        for (int frame = start_frame_ + 10; frame <= start_frame_ + 500; ++frame)
            ASSERT_EQ(heard.count(frame), twice ? 0u : 1u) << "frame " << frame - start_frame_;
        screens.at(twice).assign(ram_.banks[5].begin(), ram_.banks[5].begin() + 6912);
    }
    EXPECT_EQ(screens[0], screens[1]);
}

// The files of a corpus folder in order; one empty path, a run that skips, when it is absent.
std::vector<fs::path> corpus_files(const std::string& folder) {
    auto corpus = test::shared_dir("corpus/" + folder);
    if (!corpus) return {fs::path()};
    std::set<fs::path> files{fs::directory_iterator(*corpus), fs::directory_iterator()};
    return {files.begin(), files.end()};
}

// The corpus modules, those with expected frames first (so that, as tunes, they share bank 6).
std::vector<fs::path> modules_with_frames_first() {
    std::vector<fs::path> modules = corpus_files("pt3");
    const fs::path frames = test::shared_dir().value_or("") / "pt3-frames";
    std::stable_partition(modules.begin(), modules.end(), [&](const fs::path& module) {
        return fs::exists(frames / (module.stem().string() + ".frames.txt"));
    });
    return modules[0].empty() ? std::vector<fs::path>{} : modules;
}

class KitEmulatorCorpus : public KitEmulator,
                          public testing::WithParamInterface<std::tuple<fs::path, bool>> {};

// Every corpus module on both machines under the checking game: from main memory on both, larger
// ones from a RAM bank on the 128K and on the 48K not at all, saying why. Expected frames exactly.
TEST_P(KitEmulatorCorpus, PlaysOnEachMachineItsLayoutAllows) {
    const auto& [music, zx128] = GetParam();
    if (music.empty()) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    bool banked = fs::file_size(music) > stated_limit("max_module_size"), plays = !banked || zx128;
    fs::path expected =
        test::shared_dir().value_or("") / "pt3-frames" / (music.stem().string() + ".frames.txt");
    bool compare = plays && fs::exists(expected);
    ASSERT_NO_FATAL_FAILURE(play(music, zx128, checking_game(0, true), false, compare ? 510 : 100));
    EXPECT_EQ(entries_, (std::vector<int>{init_entry, start_entry}));
    EXPECT_GE(ram_.word(game_count), 2) << "the game stopped checking";
    expect_game_memory(0x8000, 0xFE00);
    if (!banked) {
        expect_module_in_main_memory();
    } else if (plays) {
        EXPECT_EQ(ram_.word(module_word), music_bank_address);
        int bank = ram_.peek(player_music_bank);
        ASSERT_EQ(bank, static_cast<int>(stated_limit("music_bank_number"))) << "init found no paging";
        EXPECT_TRUE(std::equal(module_.begin(), module_.end(), ram_.banks.at(bank).begin()))
            << "the music in bank " << bank << " differs from the PT3 file";
    } else {
        EXPECT_EQ(ram_.peek(player_music_bank), 0) << "init did not notice the lack of paging";
        expect_text(ram_, "This music needs a 128K Spectrum", credits_row_ - 1);
        EXPECT_FALSE(trace_.ay.empty()) << "init did not silence the AY";
        for (const auto& [frame, reg, value] : trace_.ay)
            EXPECT_TRUE(reg < 8 || reg > 10 || value == 0) << "R" << reg << " sounded in frame " << frame;
    }
    if (plays) expect_frames(expected, 90);
}

std::string run_name(const testing::TestParamInfo<std::tuple<fs::path, bool>>& info) {
    auto [music, zx128] = info.param;
    std::string name = music.stem().string() + (zx128 ? "_128K" : "_48K");
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Corpus, KitEmulatorCorpus,
                         testing::Combine(testing::ValuesIn(corpus_files("pt3")), testing::Bool()), run_name);

class KitEmulatorGames : public KitEmulatorCorpus {};

// Real game tapes as their makers' tools left them: the tape is refused with a message naming a
// block or a line of the game's loader, or the game starts where its own BASIC loader (read by
// listbasic) starts it, with the ROM's colours and a jump to it at 32000, and the music plays on every frame
// until the game changes the interrupt set-up. The build's check of the music under the game agrees
// with Fuse: no warning when the player wrote the AY to the end of 500 frames, else the frame it stopped.
TEST_P(KitEmulatorGames, StartEachAsItsOwnLoaderDoes) {
    const auto& [tape, zx128] = GetParam();
    if (tape.empty()) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    std::smatch usr;
    const std::string listing = run_in(temp_.path(), {"listbasic", tape.string()}).out;
    game_tape_ = tape;
    game_entry_ =
        std::regex_search(listing, usr, std::regex(R"(USR (VAL ")?(\d+))")) ? std::stoi(usr[2]) : -1;
    ASSERT_NO_FATAL_FAILURE(play(test::kit_dir() / "music.pt3", zx128, "", false, 510));
    if (build_.exit_code != 0) {
        EXPECT_TRUE(
            std::regex_search(build_.err, std::regex("tunefuse: error: game.tap, (block|line) [0-9]+")))
            << build_.err;
        return;
    }
    ASSERT_GE(game_entry_, 32000) << listing;
    const auto started = std::find_if(trace_.entries.begin(), trace_.entries.end(),
                                      [&](const auto& entry) { return entry[0] == game_entry_; });
    ASSERT_NE(started, trace_.entries.end()) << "the game did not start where its loader starts it";
    const auto& [entry, entered, attr, bordcr] = *started;
    EXPECT_EQ(attr, 0x38) << "the game does not start with the ROM's colours";
    if (game_entry_ != 32000) {
        EXPECT_EQ(ram_.peek(32000), 0xC3) << "no jump to the game at 32000";
    }
    int silent_from = -1;
    for (const auto& [frame, im, i, iff1] : trace_.frames) {
        if (frame <= entered + 1) continue;
        if (im != 2 || i != 0x64 || iff1 == 0) break;
        bool written =
            std::any_of(trace_.ay.begin(), trace_.ay.end(), [&](auto& w) { return w[0] == frame; });
        if (!written && silent_from < 0) silent_from = frame;
    }
    EXPECT_LT(silent_from, 0) << "no music in frame " << silent_from
                              << " though the player's interrupts were on";
    // A frame or two of slack: the stand-in ROM's routines (LD-BYTES, the frame interrupt, those the
    // game calls) take other times than the OpenSE ROM's and the check has no contention, so the game
    // may start, or an instruction near a frame's end fall, a frame later or earlier than in Fuse.
    int last = -1, said = -1;
    for (int frame : trace_.player_frames)
        if (frame - entered < 500) last = std::max(last, frame - entered);
    // The instruction a warning names lies where it says in Fuse's memory: F3 (DI), ED 46 or ED 56
    // (IM 0, IM 1), ED 47 (LD I,A).
    const std::regex stops(
        R"(on the (48K and the 128K|48K|128K), the music stops (\d+) frame(?:.*?(DI|IM \d|LD I,A) at (\d+))?)");
    const std::map<std::string, int> codes = {{"IM 0", 0xED46}, {"IM 1", 0xED56}, {"LD I,A", 0xED47}};
    for (std::sregex_iterator it(build_.err.begin(), build_.err.end(), stops), end; it != end; ++it) {
        if ((*it)[1].str().find(zx128 ? "128K" : "48K") == std::string::npos) continue;
        said = std::stoi((*it)[2]);
        if (!(*it)[3].matched) continue;
        const int at = std::stoi((*it)[4]), code = ram_.peek(at) << 8 | ram_.peek(at + 1);
        EXPECT_EQ((*it)[3] == "DI" ? 0xF3 : codes.at((*it)[3]), (*it)[3] == "DI" ? code >> 8 : code)
            << (*it)[3] << " at " << at;
    }
    if (last >= 498) {
        EXPECT_EQ(said, -1) << "Fuse heard the music to the end\n" << build_.err;
    } else {
        EXPECT_GE(said, 0) << "no warning, though Fuse heard the player last in frame " << last;
        EXPECT_NEAR(said, last + 1, 2) << "Fuse heard the player last in frame " << last << "\n"
                                       << build_.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, KitEmulatorGames,
                         testing::Combine(testing::ValuesIn(corpus_files("tap")), testing::Bool()), run_name);

class KitEmulatorLaunch : public KitEmulator, public testing::WithParamInterface<std::tuple<bool, bool>> {};

// A game at 32768 whose own loader would load a headerless block at 57000, POKE 40000, set its
// colours and clear the screen: the first start does all that and jumps there from 32000, in
// either layout, with the music or without (banked on a 48K). The game then stops the music,
// takes 32000 for its marker and starts it again: the launch does not come back.
TEST_P(KitEmulatorLaunch, FirstStartFinishesWhatTheGamesLoaderWouldDo) {
    const auto& [banked, zx128] = GetParam();
    fs::path music = test::kit_dir() / "music.pt3";
    for (const auto& pt3 : corpus_files("pt3"))
        if (banked && !pt3.empty() && fs::file_size(pt3) > stated_limit("max_module_size")) music = pt3;
    if (banked && music.parent_path() == test::kit_dir()) GTEST_SKIP() << "no banked module in the corpus";
    Bytes block = test::read_bytes(test::kit_dir() / "music.pt3");  // 369 bytes loaded at 57000
    const std::string game =
        " org 32768\n call 25506\n ld a, $5a\n ld (32000), a\n"
        " ld (32005), a\n call 25511\nstay: halt\n jr stay\n";
    ASSERT_NO_FATAL_FAILURE(
        play(music, zx128, game, false, 400,
             {1, 0x0E, 0x16, 3, 0x00, 0x80, 1, 0xA8, 0xDE, 0x71, 0x01, 2, 0x40, 0x9C, 0x77, 0}, block));
    EXPECT_EQ(entries_, (std::vector<int>{init_entry, start_entry, stop_entry, start_entry}));
    EXPECT_EQ(ram_.peek(32000) << 16 | ram_.word(32001), 0x5A8000) << "the game's 0x5A, not JP again; 32768";
    EXPECT_TRUE(std::equal(block.begin(), block.end(), ram_.banks[ram_.paged].begin() + (57000 - 0xC000)));
    EXPECT_EQ(ram_.peek(40000), 0x77) << "the POKE";
    EXPECT_EQ(ram_.peek(23624), 0x0E) << "BORDCR";
    EXPECT_EQ(ram_.word(23693) | ram_.peek(23695) << 16, 0x160016) << "ATTR_P, MASK_P 0 and ATTR_T";
    for (int address = 16384; address < 23296; ++address)
        ASSERT_EQ(ram_.peek(address), address < 22528 ? 0 : 0x16) << "the cleared screen at " << address;
    start_frame_ = trace_.entries.back()[1] + 1;
    if (!banked || zx128) expect_frames("", 100);
}

INSTANTIATE_TEST_SUITE_P(Layouts, KitEmulatorLaunch, testing::Combine(testing::Bool(), testing::Bool()));

// A game that fills 0x8000..0xFDFF and, on a 128K, RAM banks 1 and 3 with a pattern, then plays
// tunes 2 to `count` and tune 1 again through the switch entry, `frames` frames each.
std::string switching_game(int count, int frames) {
    std::string source = "count equ " + std::to_string(count) + "\nframes equ " + std::to_string(frames) + R"(
        org 32000 | jp main | dw 0, 0
main:   ld c, 3 | call fill | ld c, 1 | call fill | ld c, 0 | call fill
        ld hl, $8000 | ld bc, $4000 | call pattern
        ld a, $5a | ld (32005), a | ld c, 2
next:   ld b, frames
wait:   halt | djnz wait
        ld a, c | push bc | call 25514 | pop bc | ld a, c | inc c | cp 1 | jr z, stay
        ld a, c | cp count + 1 | jr nz, next | ld c, 1 | jr next
stay:   halt | jr stay
fill:   di | ld a, (23388) | and $f8 | or c | ld (23388), a | ld bc, $7ffd | out (c), a | ei
        ld hl, $c000 | ld bc, $3e00
pattern: ld a, l | xor h | ld (hl), a | inc hl | dec bc | ld a, b | or c | jr nz, pattern | ret
        end
)";
    std::replace(source.begin(), source.end(), '|', '\n');
    return source;
}

class KitEmulatorTunes : public KitEmulator, public testing::WithParamInterface<bool> {};

// The seven corpus modules as the tunes of one tape (the first in main memory, the others in banks
// 6 and 4), switched in turn by a game: on the 128K each tune's AY frames from the switch on are its
// expected ones, where the corpus has them; on the 48K tune 1 plays, the banked ones are silent and
// tune 1 plays from its start again. The game's memory and the banks the music did not take keep
// what the game wrote.
TEST_P(KitEmulatorTunes, SwitchedByTheGamePlayFromTheirStart) {
    const bool zx128 = GetParam();
    const fs::path frames_dir = test::shared_dir().value_or("") / "pt3-frames";
    const std::vector<fs::path> tunes = modules_with_frames_first();
    if (tunes.size() < 7) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    ASSERT_LE(fs::file_size(tunes[0]), stated_limit("max_module_size"));
    more_tunes_.assign(tunes.begin() + 1, tunes.end());
    warning_ =
        "tunefuse: warning: on the 48K, tunes 2, 3, 4, 5, 6 and 7 do not play: they lie in RAM banks of the "
        "128K\n";
    constexpr int each = 120;
    ASSERT_NO_FATAL_FAILURE(play(tunes[0], zx128, switching_game(7, each), false, 8 * each + 100));
    EXPECT_EQ(build_.err, warning_) << "the built-in check found something";
    // The notes beside the tape say where each tune lies: on the 128K, there it is, unpacked.
    const std::string notes = test::read_string(temp_ / "kit" / "checker.music.txt");
    std::smatch where;
    for (std::size_t n = 1; zx128 && n < tunes.size(); ++n) {
        const std::regex line("\n" + std::to_string(n + 1) +
                              " .*: (\\d+) bytes, .* RAM bank (\\d) at (\\d+)");
        ASSERT_TRUE(std::regex_search(notes, where, line)) << notes;
        const Bytes module = test::read_bytes(tunes[n]);
        EXPECT_EQ(std::stoul(where[1]), module.size());
        EXPECT_TRUE(std::equal(module.begin(), module.end(),
                               ram_.banks.at(std::stoi(where[2])).begin() + (std::stoi(where[3]) - 0xC000)))
            << "tune " << n + 1;
    }
    EXPECT_EQ(entries_, (std::vector<int>{init_entry, start_entry}));
    expect_game_memory(0x8000, 0xFE00);
    for (int bank : {1, 3})
        for (int at = 0; zx128 && at < 0x3E00; ++at)
            ASSERT_EQ(ram_.banks[bank].at(at), ((at & 0xFF) ^ ((0xC000 + at) >> 8)) & 0xFF)
                << "bank " << bank;
    std::vector<int> switched;
    for (const auto& [pc, frame, i, frames_count] : trace_.entries)
        if (pc == switch_entry) switched.push_back(frame);
    ASSERT_EQ(switched.size(), 7u);
    ASSERT_NO_FATAL_FAILURE(
        expect_frames(frames_dir / (tunes[0].stem().string() + ".frames.txt"), each - 5, each - 5));
    for (std::size_t n = 0; n < switched.size(); ++n) {
        const fs::path tune = n + 1 < switched.size() ? tunes[n + 1] : tunes[0];
        SCOPED_TRACE(tune.filename().string());
        start_frame_ = switched[n] + 1;
        if (zx128 || n + 1 == switched.size()) {
            ASSERT_NO_FATAL_FAILURE(
                expect_frames(frames_dir / (tune.stem().string() + ".frames.txt"), each - 5, each - 5));
            continue;
        }
        for (const auto& [frame, reg, value] : trace_.ay) {
            if (frame > switched[n] && frame <= switched[n] + each && reg >= 8 && reg <= 10) {
                ASSERT_EQ(value, 0) << "R" << reg << " sounded in frame " << frame;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, KitEmulatorTunes, testing::Bool());

// With no game.tap the tape is a preview: on the 128K it lists the tunes' titles and plays tune 1,
// and the number key 2 switches to tune 2, which plays from its start.
TEST_F(KitEmulator, PreviewTapePlaysEachTuneOnItsNumberKey) {
    const fs::path frames_dir = test::shared_dir().value_or("") / "pt3-frames";
    const std::vector<fs::path> tunes = modules_with_frames_first();
    if (tunes.size() < 7) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    preview_ = true, more_tunes_ = {tunes[1]}, presses_ = {{150, '2'}};
    warning_ = "there is no game.tap, so the tape is a preview of the music";
    ASSERT_NO_FATAL_FAILURE(play(tunes[0], true, "", false, 300));
    const auto switched = std::find_if(trace_.entries.begin(), trace_.entries.end(),
                                       [](const auto& entry) { return entry[0] == switch_entry; });
    ASSERT_NE(switched, trace_.entries.end()) << "key 2 did not switch";
    EXPECT_NEAR((*switched)[1] - start_frame_, 150, 3);
    ASSERT_NO_FATAL_FAILURE(expect_frames(frames_dir / (tunes[0].stem().string() + ".frames.txt"), 140, 140));
    start_frame_ = (*switched)[1] + 1;
    ASSERT_NO_FATAL_FAILURE(expect_frames(frames_dir / (tunes[1].stem().string() + ".frames.txt"), 100, 100));
    expect_text(ram_, "1 " + module_field(module_, 30).substr(0, 30), 2);
}

// What a game does in turn, each after `wait` frames: switch to tune `number`, play effect
// `number` on `channel`, or stop the effects.
struct Step {
    int wait, entry, number, channel;
};
const Step effect_plan[] = {{15, effect_entry, 2, 1},      {30, effect_entry, 3, 0}, {10, switch_entry, 2, 0},
                            {20, effects_off_entry, 0, 0}, {10, effect_entry, 4, 7}, {25, switch_entry, 1, 0},
                            {10, effect_entry, 0, 2}};

// The plan as bytes: wait, what (1 tune, 2 effect, 3 off), number, channel; a 0 ends it.
std::string plan_bytes() {
    std::string bytes;
    for (const Step& step : effect_plan)
        bytes += std::to_string(step.wait) + ", " +
                 (step.entry == switch_entry   ? "1"
                  : step.entry == effect_entry ? "2"
                                               : "3") +
                 ", " + std::to_string(step.number) + ", " + std::to_string(step.channel) + ", ";
    return bytes + "0";
}

// The plan's game in assembly, with the kit's include file.
std::string effects_game_asm() {
    std::string source = R"(include "include/tunefuse.inc"
        org TUNEFUSE_GAME | jp main | dw 0, 0
main:   ld a, $5a | ld (32005), a | ld hl, plan
step:   ld a, (hl) | or a | jr z, stay | ld b, a
wait:   halt | djnz wait
        inc hl | ld a, (hl) | inc hl | ld c, (hl) | inc hl | ld b, (hl) | inc hl | push hl
        cp 2 | jr z, effect | jr nc, off | ld a, c | call TUNEFUSE_TUNE | jr next
effect: ld a, c | call TUNEFUSE_EFFECT | jr next
off:    call TUNEFUSE_EFFECTS_OFF
next:   pop hl | jr step
stay:   halt | jr stay
plan:   db )" + plan_bytes() +
                         "\n";
    std::replace(source.begin(), source.end(), '|', '\n');
    return source;
}

// The plan's game in C with the kit's tunefuse.h, built by SDCC with a start-up of its own at 32000.
const char* const effects_game_crt0 = R"(        .module crt0
        .globl  _main
        .area   _HEADER (ABS)
        .org    32000
        jp      start
        .dw     0, 0
start:  call    _main
stay:   halt
        jr      stay
)";
std::string effects_game_c() {
    return "#include \"tunefuse.h\"\nstatic const unsigned char plan[] = {" + plan_bytes() + R"(};
void main(void) {
    const unsigned char* step;
    *(volatile unsigned char*)32005 = 0x5a;
    for (step = plan; step[0]; step += 4) {
        unsigned char wait = step[0];
        while (wait--) __asm__("halt");
        if (step[1] == 1) tunefuse_tune(step[2]);
        else if (step[1] == 2) tunefuse_effect(step[2], step[3]);
        else tunefuse_effects_off();
    }
}
)";
}

class KitEmulatorEffects : public KitEmulator, public testing::WithParamInterface<std::tuple<bool, bool>> {};

// Two tunes and a corpus bank of effects, switched and played by a game in assembly (tune 1 in
// main memory, the effects' large bank in a RAM bank) and one in C (tune 1 banked, a small bank
// in main memory) through the kit's include files: every frame from the start is the playing
// tune's expected frame with the playing effect laid over it as the bank's bytes say. On the 48K
// a banked tune is silence, an effect started meanwhile waits for the music to play again, and
// banked effects do not play.
TEST_P(KitEmulatorEffects, GamesPlayEffectsOverTheTunesThroughTheIncludeFiles) {
    const auto& [in_c, zx128] = GetParam();
    const fs::path shared = test::shared_dir().value_or(""),
                   bank = shared / "corpus/afx" / (in_c ? "remy_example.afb" : "siriokds_zxgames.afb");
    const std::string names[] = {in_c ? "shiru_snowball_game" : "shiru_oldlove",
                                 in_c ? "shiru_oldlove" : "shiru_a_little_journey"};
    std::vector<std::string> music[2];
    for (int n : {0, 1}) {
        const fs::path frames = shared / "pt3-frames" / (names[n] + ".frames.txt");
        if (!fs::exists(frames) || !fs::exists(bank)) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
        std::istringstream lines(test::read_string(frames));
        for (std::string line; std::getline(lines, line);) music[n].push_back(line);
    }
    std::string game = effects_game_asm();
    if (in_c) {
        if (!fs::exists("/usr/bin/sdcc") || !fs::exists("/usr/bin/makebin"))
            GTEST_SKIP() << "needs SDCC (sdcc)";
        test::write_string(temp_ / "crt0.s", effects_game_crt0);
        test::write_string(temp_ / "game.c", effects_game_c());
        for (std::vector<std::string> command :
             {std::vector<std::string>{"sdasz80", "-o", "crt0.rel", "crt0.s"},
              {"sdcc", "-mz80", "--no-std-crt0", "--code-loc", "32016", "--data-loc", "0xF000", "-I",
               (test::kit_dir() / "include").string(), "crt0.rel", "game.c", "-o", "game.ihx"},
              {"makebin", "-p", "game.ihx", "game.bin"}})
            ASSERT_EQ(run_in(temp_.path(), command).exit_code, 0) << command[0];
        Bytes image = test::read_bytes(temp_ / "game.bin");
        test::write_bytes(temp_ / "game32000.bin", Bytes(image.begin() + 32000, image.end()));
        game = " org 32000\n incbin \"" + (temp_ / "game32000.bin").string() + "\"\n";
    }
    more_tunes_ = {shared / "corpus/pt3" / (names[1] + ".pt3")};
    effects_ = bank;
    warning_ = in_c ? "on the 48K, tune 2 does not play" : "on the 48K, the sound effects do not play";
    ASSERT_NO_FATAL_FAILURE(play(shared / "corpus/pt3" / (names[0] + ".pt3"), zx128, game, false, 160));
    std::vector<int> called;
    for (const auto& [pc, frame, i, frames_count] : trace_.entries)
        if (pc == switch_entry || pc == effect_entry || pc == effects_off_entry) called.push_back(frame);
    ASSERT_EQ(called.size(), std::size(effect_plan));
    int first = 1 << 30, last = 0;
    for (const auto& [frame, reg, value] : trace_.ay)
        if (frame >= start_frame_) first = std::min(first, frame), last = std::max(last, frame);
    ASSERT_LE(first, last) << "no AY writes after the start entry";
    const auto lines = ay_lines(trace_, first, last - first + 1);
    test::EffectDecoder effect{test::read_bytes(bank)};
    std::size_t tune = 0, next = 0;  // the playing tune and its next expected frame
    bool plays = zx128 || !in_c, may_lose = false;
    auto take = [&](std::size_t step) {  // what the game's call does from the next frame on
        const Step& done = effect_plan[step];
        if (done.entry == switch_entry)
            tune = done.number - 1, next = 0, plays = zx128 || (!in_c && tune == 0), may_lose = true;
        if (done.entry == effect_entry && (zx128 || in_c)) effect.start(done.number, done.channel);
        if (done.entry == effects_off_entry) effect.playing = false;
    };
    std::size_t step = 0;
    for (; step < called.size() && called[step] < first; ++step) take(step);  // the silent 48K's
    for (int frame = first; frame <= last; ++frame) {
        const bool now = step < called.size() && called[step] == frame;
        const std::string& line = lines.at(static_cast<std::size_t>(frame - first));
        // A switch silences the AY in its frame, and may take the next frame's interrupt (once).
        const bool switched = now && effect_plan[step].entry == switch_entry;
        if (std::exchange(may_lose, false) && line.starts_with("--")) {
        } else if (plays) {
            std::vector<int> reg = test::registers(music[tune].at(next++));
            effect.frame(reg);
            ASSERT_TRUE(switched || test::registers(line) == reg)
                << "frame " << frame - first + 1 << ": " << line;
        } else if (!now) {
            ASSERT_EQ(line, "-- -- -- -- -- -- -- -- -- -- -- -- -- ff") << "frame " << frame - first + 1;
        }
        if (now) take(step++);
    }
    EXPECT_TRUE((!zx128 && in_c) || last - called.back() > 10) << "the run ended early";
}

INSTANTIATE_TEST_SUITE_P(AssemblyAndC, KitEmulatorEffects,
                         testing::Combine(testing::Bool(), testing::Bool()));

}  // namespace
