// The kit end to end: the real program, tools, pasmo and player source build a tape; Debian's
// Fuse loads and runs it headless on a 48K or a 128K. A debugger script types LOAD "", notes
// every player entry called and every write to the AY; at the end the machine's RAM, every
// bank of it, is read back from the recording's final snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <sstream>

#include "player_limit.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;

const fs::path fuse = "/usr/bin/fuse-sdl";
const fs::path rom = "/usr/share/spectrum-roms/opense.rom";
const std::string banner = "Tunefuse 1.6.1 Kestrin 2017";
constexpr int init_entry = 25500, stop_entry = 25506, module_word = 25509, start_entry = 25511;
// The demo game and the checking game below both keep a count at 32003 and 0x5A at 32005.
constexpr int game_count = 32003, game_marker = 32005, frames_first = 32006, frames_stop = 32008;
constexpr int frames_sysvar = 23672, stop_after_checks = 200;
constexpr int entry_mark = 9999991, write_mark = 9999992, exit_mark = 9999993;

// A game of the test's own, with its stack at 0xFF00, in the top 16 KB that a RAM bank paged
// in would hide. It loads every register (both sets, IX, IY) with known values, and after every
// interrupt checks that none changed, counting the checks at 32003. It fills 40000..48999 and
// 0xC000..0xFDFF with a pattern; with `check_top` it also sums 0xC000..0xFFFF but the stack's
// page after each check, interrupts on: the sum must never change. 32005 is 0x5A while all is
// well, 0xBD after a register changed, 0xC5 after the sum did. After `stop_after` checks
// (0: never) it calls stop; 32006 keeps FRAMES from the start, 32008 from the stop.
std::string checking_game(int stop_after, bool check_top) {
    return "stop_after equ " + std::to_string(stop_after) + "\ncheck_top equ " + (check_top ? "1" : "0") + R"(
        org 32000
        jp main
        dw 0, 0, 0, 0
main:   ld sp, $ff00
        ld hl, 40000
        ld bc, 9000
        call fill
        ld hl, $c000
        ld bc, $3e00
        call fill
        call top_sum
        ld (top_first), de
        ld a, $5a
        ld (32005), a
        ld hl, (23672)
        ld (32006), hl
load:   ld hl, (wanted + 6)         ; the set pushed second, then the other
        push hl
        pop af
        ld bc, (wanted + 4)
        ld de, (wanted + 2)
        ld hl, (wanted)
        exx
        ex af, af'
        ld iy, (wanted + 8)
        ld ix, (wanted + 10)
        ld hl, (wanted + 18)
        push hl
        pop af
        ld bc, (wanted + 16)
        ld de, (wanted + 14)
        ld hl, (wanted + 12)
        ei
        halt
        di
        ld (save_sp), sp
        ld sp, seen + 20
        push af
        push bc
        push de
        push hl
        push ix
        push iy
        exx
        ex af, af'
        push af
        push bc
        push de
        push hl
        exx
        ex af, af'
        ld sp, (save_sp)
        ei
        ld hl, seen
        ld de, wanted
        ld b, 20
compare: ld a, (de)
        cp (hl)
        ld a, $bd
        jr nz, spoiled
        inc hl
        inc de
        djnz compare
        if check_top
        call top_sum
        ld hl, (top_first)
        or a
        sbc hl, de
        ld a, $c5
        jr nz, spoiled
        endif
        ld hl, (32003)
        inc hl
        ld (32003), hl
        ld de, stop_after
        or a
        sbc hl, de
        jp nz, load
        ld hl, (23672)
        ld (32008), hl
        call 25506
        jp load
spoiled: ld (32005), a
        ei
stay:   halt
        jr stay
fill:   ld a, l                     ; (HL) := L xor H for BC bytes
        xor h
        ld (hl), a
        inc hl
        dec bc
        ld a, b
        or c
        jr nz, fill
        ret
top_sum: ld de, 0                   ; DE := sum of $C000..$FDFF and $FF00..$FFFF
        ld hl, $c000
        ld bc, $3e00
        call add_bytes
        ld hl, $ff00
        ld bc, $0100
add_bytes: ld a, (hl)
        add a, e
        ld e, a
        jr nc, add_next
        inc d
add_next: inc hl
        dec bc
        ld a, b
        or c
        jr nz, add_bytes
        ret
; HL', DE', BC', AF', IY (the ROM's frame routine needs 23610), IX, HL, DE, BC, AF
wanted: dw $f00f, $ddee, $bbcc, $aa28, 23610, $8899, $6677, $4455, $2233, $11d7
seen:   ds 20
save_sp: dw 0
top_first: dw 0
        end
)";
}

int game_pattern(int address) {
    return ((address & 0xFF) ^ (address >> 8)) & 0xFF;
}

// What the debugger printed: entries (PC, frame, I), OUTs (frame, the two opcode bytes before
// PC, A, BC, DE, HL, (HL)) and at the end the interrupt mode and I.
struct Trace {
    std::vector<std::array<int, 3>> entries;
    std::vector<std::array<int, 8>> writes;
    int im = -1, i = -1;
    std::vector<int> entry_addresses() const {
        std::vector<int> pcs;
        for (const auto& entry : entries) pcs.push_back(entry[0]);
        return pcs;
    }
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
    while (at < numbers.size()) {
        int mark = numbers[at++];
        if (mark == entry_mark) take(trace.entries.emplace_back());
        if (mark == write_mark) take(trace.writes.emplace_back());
        if (mark != exit_mark) continue;
        std::array<int, 2> end{};
        take(end);
        trace.im = end[0];
        trace.i = end[1];
    }
    return trace;
}

// The port and value of an OUT: OUT (n),A, OUTI and OUTD (B lowered, HL not yet moved), OUT (C),r.
std::pair<int, int> port_write(const std::array<int, 8>& out) {
    auto [frame, before_last, last, a, bc, de, hl, at_hl] = out;
    if (before_last == 0xD3) return {a << 8 | last, a};
    if (last == 0xA3 || last == 0xAB) return {bc, at_hl};
    const int source[8] = {bc >> 8, bc & 0xFF, de >> 8, de & 0xFF, hl >> 8, hl & 0xFF, 0, a};
    return {bc, source[(last >> 3) & 7]};
}

struct AyFrame {
    std::array<bool, 14> written{};
    std::array<int, 14> value{};
    // As the expected frame files have it: "--" for R0..R12 not written, "ff" for R13.
    std::string line() const {
        std::string text;
        for (std::size_t reg = 0; reg < 14; ++reg) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x", value[reg] & 0xFF);
            text += (text.empty() ? "" : " ") + std::string(written[reg] ? hex : reg == 13 ? "ff" : "--");
        }
        return text;
    }
};

// `count` AY frames from the first in which a register is written at or after `from_frame`,
// with the ports decoded as the 128 does.
std::vector<AyFrame> ay_frames(const Trace& trace, int from_frame, int count) {
    std::vector<AyFrame> frames;
    int selected = -1, first = -1;
    for (const auto& out : trace.writes) {
        auto [port, value] = port_write(out);
        if ((port & 0xC002) == 0xC000) selected = value & 15;
        if ((port & 0xC002) != 0x8000 || out[0] < from_frame || selected < 0 || selected > 13) continue;
        if (first < 0) first = out[0], frames.resize(static_cast<std::size_t>(count));
        if (out[0] - first >= count) break;
        frames[static_cast<std::size_t>(out[0] - first)].written[static_cast<std::size_t>(selected)] = true;
        frames[static_cast<std::size_t>(out[0] - first)].value[static_cast<std::size_t>(selected)] = value;
    }
    return frames;
}

// RAM from 16384 up as the processor sees it, and every bank the snapshot holds.
struct Ram {
    Bytes bytes;
    std::array<Bytes, 8> banks;
    int peek(int address) const { return bytes.at(static_cast<std::size_t>(address - 16384)); }
    int word(int address) const { return peek(address) | peek(address + 1) << 8; }
};

// The final snapshot of Fuse's recording, made an uncompressed SZX by the Fuse utilities.
Ram read_ram(const fs::path& work) {
    test::ProcessOptions in_work;
    in_work.working_directory = work;
    test::run_process({"rzxtool", "-e", "2,final.szx", "run.rzx"}, in_work);
    test::run_process({"snapconv", "-n", "final.szx", "plain.szx"}, in_work);
    Bytes szx = fs::exists(work / "plain.szx") ? test::read_bytes(work / "plain.szx") : Bytes{};
    Ram ram;
    int paged = 0;
    for (std::size_t at = 8; at + 8 <= szx.size();) {
        std::string id(szx.begin() + static_cast<long>(at), szx.begin() + static_cast<long>(at) + 4);
        std::size_t size =
            szx[at + 4] | szx[at + 5] << 8 | szx[at + 6] << 16 | std::size_t{szx[at + 7]} << 24;
        std::size_t body = at + 8;
        if (id == "SPCR") paged = szx.at(body + 1) & 7;
        if (id == "RAMP" && size == 16387)
            ram.banks.at(szx[body + 2])
                .assign(szx.begin() + static_cast<long>(body) + 3,
                        szx.begin() + static_cast<long>(body + size));
        at = body + size;
    }
    for (int bank : {5, 2, paged})
        ram.bytes.insert(ram.bytes.end(), ram.banks[static_cast<std::size_t>(bank)].begin(),
                         ram.banks[static_cast<std::size_t>(bank)].end());
    return ram;
}

// Types LOAD "" through the keyboard system variables, notes what the trace needs, and exits
// (0) `frames` frames after the start entry ran, or (3) at a frame limit.
std::string debugger_script(int frames, int frame_limit) {
    std::ostringstream script;
    int id = 0;
    script << "set $begun 0\n";
    for (char key : std::string("\rload\"\"\r")) {
        int frame = 100 + 10 * id;
        script << "break time 0 if spectrum:frames == " << frame << "\ncommands " << ++id << "\nset 23560 "
               << int{key} << "\nset 23611 ([23611] | 32)\ncontinue\nend\n";
    }
    for (int entry : {init_entry, stop_entry, start_entry})
        script << "break " << entry << "\ncommands " << ++id << "\nprint " << entry_mark
               << "\nprint z80:pc\nprint spectrum:frames\nprint z80:i\n"
               << (entry == start_entry ? "set $begun spectrum:frames\n" : "") << "continue\nend\n";
    script << "break port write 0xfd\ncommands " << ++id << "\nprint " << write_mark
           << "\nprint spectrum:frames\nprint [z80:pc - 2]\nprint [z80:pc - 1]\nprint z80:a\nprint z80:bc"
              "\nprint z80:de\nprint z80:hl\nprint [z80:hl]\ncontinue\nend\n";
    script << "break time 0 if $begun != 0 && spectrum:frames == $begun + " << frames << "\ncommands " << ++id
           << "\nprint " << exit_mark << "\nprint z80:im\nprint z80:i\nexit 0\nend\n";
    // No newline after the last "end": Fuse reads one there as an empty, invalid command.
    script << "break time 0 if spectrum:frames == " << frame_limit << "\ncommands " << ++id
           << "\nexit 3\nend";
    return script.str();
}

// A title or author as the program reads it: 33 characters, cut at CR, LF or zero, trimmed.
std::string module_field(const Bytes& module, std::size_t at) {
    std::string field;
    for (std::size_t i = at;
         i < at + 33 && i < module.size() && module[i] && module[i] != 13 && module[i] != 10; ++i)
        field += static_cast<char>(module[i]);
    field.erase(field.find_last_not_of(' ') + 1);
    return field.erase(0, field.find_first_not_of(' '));
}

int pixel_address(int row, int column, int line) {
    return 16384 + ((row & 0x18) << 8) + (line << 8) + ((row & 7) << 5) + column;
}

// Text as init prints it from `row` on: the ROM font, bright white on black, blank cells after.
void expect_text(const Ram& ram, const std::string& text, int row) {
    static const Bytes font_rom = test::read_bytes(rom);
    int font = ram.word(23606);
    for (std::size_t cell = 0; cell < (text.size() + 31) / 32 * 32; ++cell) {
        int at_row = row + static_cast<int>(cell / 32), column = static_cast<int>(cell % 32);
        int code = cell < text.size() ? static_cast<unsigned char>(text[cell]) : ' ';
        if (code < 32 || code > 127) code = ' ';
        for (int line = 0; line < 8; ++line)
            ASSERT_EQ(ram.peek(pixel_address(at_row, column, line)), font_rom.at(font + code * 8 + line))
                << "text cell " << at_row << "," << column;
        ASSERT_EQ(ram.peek(22528 + at_row * 32 + column), 0x47) << "text colour " << at_row << "," << column;
    }
}

enum class Game { demo, checking, stopping };

class KitEmulator : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(fuse) || !fs::exists(rom))
            GTEST_SKIP()
                << "Fuse or the OpenSE ROM is missing (apt-get install fuse-emulator-sdl opense-basic)";
        if (!fs::exists(test::kit_dir() / "tools/pasmo")) GTEST_SKIP() << "the kit has no tools/pasmo";
    }

    // Builds the tape in a copy of the kit, with `music` and the game, and runs it in Fuse for
    // `frames` frames after the start entry.
    void play(const fs::path& music, bool zx128, Game game, bool screen, int frames) {
        fs::path kit = temp_ / "kit", work = temp_ / "fuse";
        fs::copy(test::kit_dir(), kit, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        if (!screen) fs::remove(kit / "screen.scr");
        fs::copy_file(music, kit / "music.pt3", fs::copy_options::overwrite_existing);
        module_ = test::read_bytes(music);
        std::string tape_name = "tunedemo.tap";
        if (game != Game::demo) {
            test::write_string(
                temp_ / "checker.asm",
                checking_game(game == Game::stopping ? stop_after_checks : 0, game == Game::checking));
            auto run =
                test::run_process({(kit / "tools/pasmo").string(), "--err", (temp_ / "checker.asm").string(),
                                   (temp_ / "checker.bin").string()});
            ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
            fs::remove(kit / "game.tap");
            run = test::run_process({(kit / "tools/bin2tap").string(), "-o", (kit / "game.tap").string(),
                                     (temp_ / "checker.bin").string(), "-a", "32000"});
            ASSERT_EQ(run.exit_code, 0) << run.err;
            tape_name = "checker.tap";
        }
        test::ProcessOptions options;
        options.working_directory = kit;
        options.env["PATH"] = (temp_ / "no-opener").string();
        auto build = test::run_process({(kit / "tunefuse").string()}, options);
        ASSERT_EQ(build.exit_code, 0) << build.out << build.err;
        EXPECT_EQ(build.err, "");
        fs::path tape = kit / tape_name;
        std::string blocks = test::run_process({"tzxlist", tape.string()}).out;
        EXPECT_EQ(blocks.find("FAIL"), std::string::npos) << blocks;
        EXPECT_NE(blocks.find("Bytes: \"tunefuse  \" CODE  25500"), std::string::npos) << blocks;

        fs::create_directories(work / "home");
        options.working_directory = work;
        options.env = {
            {"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}, {"HOME", (work / "home").string()}};
        options.timeout_seconds = 90;
        std::vector<std::string> command = {fuse.string(), "--machine", zx128 ? "128" : "48"};
        if (zx128)
            command.insert(command.end(), {"--rom-128-0", rom.string(), "--rom-128-1", rom.string()});
        else
            command.insert(command.end(), {"--melodik", "--rom-48", rom.string()});
        int frame_limit = 2000 + static_cast<int>(fs::file_size(tape)) * 2 / 5 + frames;
        command.insert(command.end(), {"--no-sound", "--no-auto-load", "--fastload", "--speed", "2000",
                                       "--no-rzx-autosaves", "--tape", tape.string(), "--record", "run.rzx",
                                       "--debugger-command", debugger_script(frames, frame_limit)});
        auto run = test::run_process(command, options);
        ASSERT_EQ(run.exit_code, 0) << "the run did not reach its end\n"
                                    << run.err
                                    << run.out.substr(run.out.size() -
                                                      std::min<std::size_t>(run.out.size(), 2000));
        trace_ = read_trace(run.out);
        ram_ = read_ram(work);
        ASSERT_EQ(ram_.bytes.size(), 49152u) << "no RAM in the recording's final snapshot";
        EXPECT_EQ(ram_.word(23730), 25499) << "the loader's CLEAR did not run";
        EXPECT_EQ(ram_.peek(game_marker), 0x5A) << "the game did not start, or saw a change";
        int shown_size = static_cast<int>(std::min<std::size_t>(credits().size(), 128));
        credits_row_ = 24 - (shown_size + 31) / 32;
        expect_text(ram_, credits().substr(0, 128), credits_row_);
    }

    std::string credits() const {
        return banner + "-" + module_field(module_, 30) + "/" + module_field(module_, 66) + "/music.pt3";
    }

    int start_frame() const {
        for (const auto& entry : trace_.entries)
            if (entry[0] == start_entry) return entry[1];
        return 1 << 30;
    }

    void expect_module_in_main_memory() {
        EXPECT_EQ(ram_.peek(player_music_bank), 0);
        int at = ram_.word(module_word) - 16384;
        ASSERT_TRUE(at >= 25500 - 16384 && at + static_cast<int>(module_.size()) <= 32000 - 16384) << at;
        EXPECT_TRUE(std::equal(module_.begin(), module_.end(), ram_.bytes.begin() + at))
            << "the unpacked music differs from the PT3 file";
    }

    // Every frame from the start entry on writes R0..R12.
    void expect_playing(int count) {
        auto frames = ay_frames(trace_, start_frame(), count);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(count)) << "no AY writes after the start entry";
        for (std::size_t i = 0; i < frames.size(); ++i)
            ASSERT_EQ(frames[i].line().find("--"), std::string::npos)
                << "frame " << i + 1 << ": " << frames[i].line();
    }

    test::TempDir temp_{"tunefuse-kit"};
    Bytes module_;
    Trace trace_;
    Ram ram_;
    int credits_row_ = 24;
};

// The demo tape with its loading screen: the screen stays below the game's banner, and the
// demo tune's sounds all reach the AY under the game.
TEST_F(KitEmulator, DemoTapeWithLoadingScreenPlaysItsMusicUnderTheGame) {
    constexpr int frames = 300;
    ASSERT_NO_FATAL_FAILURE(play(test::kit_dir() / "music.pt3", false, Game::demo, true, frames));
    EXPECT_EQ(trace_.entry_addresses(), (std::vector<int>{init_entry, start_entry}));
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
    ASSERT_NO_FATAL_FAILURE(expect_playing(frames - 10));
    bool shape = false, level = false, noise = false, ornament = false;
    auto ay = ay_frames(trace_, start_frame(), frames - 10);
    for (std::size_t i = 0; i < ay.size(); ++i) {
        const auto& value = ay[i].value;
        shape |= ay[i].written[13] && value[13] == 10;
        level |= ((value[8] | value[9] | value[10]) & 0x10) != 0;
        noise |= (value[7] & 0x38) != 0x38;
        // The ornament (0, +4, +7 semitones) moves channel A's period by a third within a row.
        int period = value[0] | value[1] << 8, before = i ? ay[i - 1].value[0] | ay[i - 1].value[1] << 8 : 0;
        ornament |=
            period > 0 && before > 0 && std::max(period, before) * 100 / std::min(period, before) >= 124;
    }
    EXPECT_TRUE(shape && level && noise && ornament) << shape << level << noise << ornament;
}

// Under a game that checks its registers after every interrupt, then calls stop: the ROM's
// interrupts come back, with the I register from before the start, and the AY falls silent.
TEST_F(KitEmulator, BackgroundPlayerLeavesTheGameAloneAndStopsCleanly) {
    constexpr int frames = 300;
    ASSERT_NO_FATAL_FAILURE(play(test::kit_dir() / "music.pt3", false, Game::stopping, false, frames));
    EXPECT_EQ(trace_.entry_addresses(), (std::vector<int>{init_entry, start_entry, stop_entry}));
    expect_module_in_main_memory();
    int checks = ram_.word(game_count);
    EXPECT_GE(checks, frames - 50) << "the game stopped getting interrupts";
    for (int address = 40000; address < 49000; ++address)
        ASSERT_EQ(ram_.peek(address), game_pattern(address)) << "memory changed at " << address;
    EXPECT_GE((ram_.word(frames_sysvar) - ram_.word(frames_first)) & 0xFFFF, checks) << "FRAMES stood still";
    EXPECT_EQ((ram_.word(frames_stop) - ram_.word(frames_first)) & 0xFFFF, stop_after_checks);
    EXPECT_EQ(trace_.im, 1);
    ASSERT_EQ(trace_.entries.size(), 3u);
    EXPECT_EQ(trace_.i, trace_.entries[1][2]) << "stop did not put back the I register";
    EXPECT_NE(trace_.i, 0x64);
    ASSERT_FALSE(trace_.writes.empty());
    int last_written = trace_.writes.back()[0];
    EXPECT_LE(last_written, trace_.entries[2][1] + 1) << "the AY was still written after stop";
    auto silence = ay_frames(trace_, last_written, 1).at(0);
    for (int reg = 8; reg <= 10; ++reg)
        EXPECT_TRUE(silence.written[reg] && silence.value[reg] == 0) << "R" << reg << " not silenced";
}

struct CorpusRun {
    fs::path music;
    bool zx128;
};

std::vector<CorpusRun> corpus_runs() {
    std::vector<CorpusRun> runs;
    auto corpus = test::corpus_dir();
    if (!corpus || !fs::is_directory(*corpus / "pt3")) return {{}};
    for (const auto& entry : fs::directory_iterator(*corpus / "pt3"))
        for (bool zx128 : {false, true}) runs.push_back({entry.path(), zx128});
    std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) {
        return std::tie(a.music, a.zx128) < std::tie(b.music, b.zx128);
    });
    return runs;
}

void PrintTo(const CorpusRun& run, std::ostream* out) {
    *out << run.music.filename().string() << (run.zx128 ? " on the 128K" : " on the 48K");
}

class KitEmulatorCorpus : public KitEmulator, public testing::WithParamInterface<CorpusRun> {};

// Every corpus module on both machines, under the checking game: a module that fits main
// memory plays on both; a larger one plays from a RAM bank on the 128K (which the game with
// its stack at the top never notices), and on the 48K the game runs in silence under a line
// that says why. Modules with expected frames play them exactly, 500 frames from the start.
TEST_P(KitEmulatorCorpus, PlaysOnEachMachineItsLayoutAllows) {
    const auto& [music, zx128] = GetParam();
    if (music.empty()) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    bool banked = fs::file_size(music) > stated_module_limit(), plays = !banked || zx128;
    fs::path expected =
        test::shared_dir().value_or("") / "pt3-frames" / (music.stem().string() + ".frames.txt");
    bool compare = plays && fs::exists(expected);
    int frames = compare ? 510 : 100;
    ASSERT_NO_FATAL_FAILURE(play(music, zx128, Game::checking, false, frames));
    EXPECT_EQ(trace_.entry_addresses(), (std::vector<int>{init_entry, start_entry}));
    EXPECT_GE(ram_.word(game_count), 2) << "the game stopped checking";
    for (int address = 40000; address < 49000; ++address)
        ASSERT_EQ(ram_.peek(address), game_pattern(address)) << "memory changed at " << address;
    if (!banked) {
        expect_module_in_main_memory();
    } else if (plays) {
        EXPECT_EQ(ram_.word(module_word), music_bank_address);
        int bank = ram_.peek(player_music_bank);
        ASSERT_EQ(bank, static_cast<int>(stated_limit("music_bank_number"))) << "init found no paging";
        EXPECT_TRUE(
            std::equal(module_.begin(), module_.end(), ram_.banks[static_cast<std::size_t>(bank)].begin()))
            << "the music in bank " << bank << " differs from the PT3 file";
        for (int address = 0xC000; address < 0xFE00; ++address)
            ASSERT_EQ(ram_.banks[0].at(static_cast<std::size_t>(address - 0xC000)), game_pattern(address))
                << "bank 0 changed at " << address;
    } else {
        EXPECT_EQ(ram_.peek(player_music_bank), 0) << "init did not notice the lack of paging";
        expect_text(ram_, "This music needs a 128K Spectrum", credits_row_ - 1);
        int selected = -1;
        for (const auto& out : trace_.writes) {
            auto [port, value] = port_write(out);
            if ((port & 0xC002) == 0xC000) selected = value & 15;
            if ((port & 0xC002) == 0x8000 && selected >= 8 && selected <= 10) {
                ASSERT_EQ(value, 0) << "a channel sounded";
            }
        }
        EXPECT_FALSE(trace_.writes.empty()) << "init did not silence the AY";
    }
    if (compare) {
        std::vector<std::string> lines;
        std::istringstream in(test::read_string(expected));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line);
        auto ay = ay_frames(trace_, start_frame(), static_cast<int>(lines.size()));
        ASSERT_EQ(ay.size(), lines.size()) << "no AY writes after the start entry";
        for (std::size_t i = 0; i < lines.size(); ++i)
            ASSERT_EQ(ay[i].line(), lines[i]) << "frame " << i + 1 << " of " << lines.size();
    } else if (plays) {
        expect_playing(frames - 10);
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, KitEmulatorCorpus, testing::ValuesIn(corpus_runs()), [](const auto& info) {
    std::string name = info.param.music.stem().string() + (info.param.zx128 ? "_128K" : "_48K");
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

}  // namespace
