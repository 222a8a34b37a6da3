// The kit end to end: the real program, tools, pasmo and player source build a tape from the
// demo inputs (or a corpus module); Debian's Fuse loads and runs it headless on a 48K or a
// 128K; the test then reads the machine's RAM, every bank of it, from the recording's final
// snapshot and checks what the loader, the player and the game left there. Runs that let the
// music play also catch every write to the AY and compare the frames with the expected ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ay_capture.hpp"
#include "player_limit.hpp"
#include "rzx_snapshot.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::TempDir;

const fs::path fuse_program = "/usr/bin/fuse-sdl";
const fs::path open_rom = "/usr/share/spectrum-roms/opense.rom";

// Addresses the loader, the player and the demo game document.
constexpr int ramtop_sysvar = 23730;
constexpr int chars_sysvar = 23606;
constexpr int player_init = 25500;
constexpr int player_stop = 25506;
constexpr int player_module_pointer = 25509;
constexpr int player_start = 25511;
constexpr int game_frame_count = 32003;
constexpr int game_marker = 32005;
constexpr int game_loop = 32006;
constexpr std::uint8_t game_marker_drawn = 0x5A;
constexpr int frames_sysvar = 23672;
constexpr int expected_frame_count = 500;
constexpr int vector_table_page = 0x64;  // the player's IM 2 vector table is at 25600

constexpr int fuse_exit_at_game = 0;
constexpr int fuse_exit_frame_limit = 3;
constexpr int fuse_wall_clock_seconds = 90;

const std::string banner = "Tunefuse 1.6.1 Kestrin 2017";

bool have_emulator() {
    return fs::exists(fuse_program) && fs::exists(open_rom);
}

std::string trimmed(const std::string& text) {
    auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A title or author as the program reads it: 33 characters from the field's offset (the
// 32-byte field and the header byte after it), cut at a CR, LF or zero byte.
std::string module_field(const Bytes& module, std::size_t at) {
    std::string field;
    for (std::size_t i = at; i < at + 33 && i < module.size(); ++i) {
        char c = static_cast<char>(module[i]);
        if (c == '\r' || c == '\n' || c == '\0') break;
        field += c;
    }
    return field;
}

// A program directory laid out like the kit, with the given music and, optionally, screen.
void lay_out_kit(const fs::path& dir, const fs::path& music, bool with_screen) {
    fs::copy(test::kit_dir(), dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove(dir / "screen.scr");
    fs::remove(dir / "music.pt3");
    fs::copy_file(music, dir / "music.pt3");
    if (with_screen) fs::copy_file(test::kit_dir() / "screen.scr", dir / "screen.scr");
}

test::ProcessResult run_tunefuse(const fs::path& dir, const fs::path& empty_path) {
    test::ProcessOptions options;
    options.working_directory = dir;
    options.env["PATH"] = empty_path.string();  // nothing to open the finished tape with
    options.timeout_seconds = 60;
    return test::run_process({(dir / "tunefuse").string()}, options);
}

// The machines the tapes run on. Both boot the free ROM, so BASIC loads a tape alike on
// both; the 128K has paging (unlocked) and its AY built in, the 48K gets an AY interface.
enum class Machine { zx48, zx128 };

const char* machine_name(Machine machine) {
    return machine == Machine::zx48 ? "48K" : "128K";
}

std::vector<std::string> machine_options(Machine machine) {
    if (machine == Machine::zx48) return {"--machine", "48", "--melodik", "--rom-48", open_rom.string()};
    return {"--machine", "128", "--rom-128-0", open_rom.string(), "--rom-128-1", open_rom.string()};
}

// How long a run goes on: to the game's loop, or for some frames after the start entry with
// every AY write caught.
struct RunPlan {
    int frames_after_start = 0;  // 0: stop at the game's loop
    bool capture_ay = false;
    Machine machine = Machine::zx48;
};

// Types LOAD "" through the keyboard system variables at fixed frames, stops at the game's
// loop or `frames_after_start` frames after the start entry ran (exit 0), or at the frame
// limit (exit 3). At exit it prints the interrupt mode and the I register.
std::string debugger_script(int frame_limit, const RunPlan& plan) {
    std::vector<int> keys = {13, 'l', 'o', 'a', 'd', '"', '"', 13};
    std::ostringstream script;
    int id = 0;
    script << "set $begun 0\n";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        script << "break time 0 if spectrum:frames == " << 100 + 10 * i << "\n"
               << "commands " << ++id << "\n"
               << "set 23560 " << keys[i] << "\n"
               << "set 23611 ([23611] | 32)\n"
               << "continue\nend\n";
    }
    // Every call of an entry shows in the trace: the player keeps no record of its own.
    std::string entry_record = "print " + std::to_string(kit_test::trace_entry_marker) + "\nprint z80:pc\n";
    for (int entry : {player_init, player_stop})
        script << "break " << entry << "\ncommands " << ++id << "\n" << entry_record << "continue\nend\n";
    script << "break " << player_start << "\ncommands " << ++id << "\n"
           << entry_record << "set $begun spectrum:frames\nprint " << kit_test::trace_start_marker
           << "\nprint spectrum:frames\nprint z80:i\ncontinue\nend\n";
    if (plan.capture_ay)
        script << "break port write 0xfd\ncommands " << ++id << "\n"
               << kit_test::out_registers_commands() << "continue\nend\n";
    std::string exit_commands = "print " + std::to_string(kit_test::trace_exit_marker) +
                                "\nprint z80:im\nprint z80:i\nexit " + std::to_string(fuse_exit_at_game) +
                                "\nend\n";
    if (plan.frames_after_start == 0)
        script << "tbreak " << game_loop << "\ncommands " << ++id << "\n" << exit_commands;
    else
        script << "break time 0 if $begun != 0 && spectrum:frames == $begun + " << plan.frames_after_start
               << "\ncommands " << ++id << "\n"
               << exit_commands;
    // No newline after the last "end": Fuse reads one there as an empty, invalid command.
    script << "break time 0 if spectrum:frames == " << frame_limit << "\ncommands " << ++id << "\nexit "
           << fuse_exit_frame_limit << "\nend";
    return script.str();
}

// Frames enough to play the whole tape at the ROM's slowest bit rate, with its pilots and
// pauses, plus the typing, the frames to play and some slack.
int frame_limit_for(const fs::path& tape, const RunPlan& plan) {
    auto bytes = static_cast<int>(fs::file_size(tape));
    return 400 + bytes * 2 / 5 + 8 * 200 + plan.frames_after_start;
}

struct FuseRun {
    int exit_code = -1;
    std::string output;
    std::optional<kit_test::SpectrumRam> ram;
    std::string ram_error;
    kit_test::FuseTrace trace;
};

FuseRun run_fuse(const fs::path& tape, const fs::path& work, const RunPlan& plan) {
    fs::create_directories(work / "home");
    test::ProcessOptions options;
    options.working_directory = work;
    options.env = {
        {"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}, {"HOME", (work / "home").string()}};
    options.timeout_seconds = fuse_wall_clock_seconds;
    std::vector<std::string> command = {fuse_program.string()};
    for (const auto& option : machine_options(plan.machine)) command.push_back(option);
    for (const auto& option : {"--no-sound", "--no-auto-load", "--fastload", "--speed", "2000"})
        command.push_back(option);
    for (const auto& option :
         {std::string("--tape"), tape.string(), std::string("--record"), (work / "run.rzx").string(),
          std::string("--debugger-command"), debugger_script(frame_limit_for(tape, plan), plan)})
        command.push_back(option);
    auto result = test::run_process(command, options);
    FuseRun run;
    run.exit_code = result.exit_code;
    // The trace numbers are many; the end of the output is what explains a failed run.
    run.output =
        result.err + result.out.substr(result.out.size() - std::min<std::size_t>(result.out.size(), 2000));
    run.trace = kit_test::read_fuse_trace(result.out);
    run.ram = kit_test::last_snapshot_ram(work / "run.rzx", run.ram_error);
    return run;
}

std::string listbasic(const fs::path& tape) {
    return test::run_process({"listbasic", tape.string()}).out;
}

std::vector<std::string> nonblank_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line.erase(line.find_last_not_of(" \r") + 1);
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> expected_listing(const Bytes& module, bool with_screen) {
    std::vector<std::string> text = {
        "REM " + banner,
        "REM Music : " + module_field(module, 30) + " " + module_field(module, 66) + "music.pt3",
        "BORDER VAL \"0\": PAPER VAL \"0\": INK VAL \"0\": CLEAR VAL \"25499\"", "POKE 23739,111",
        "LOAD \"\"CODE"};
    if (with_screen) text.push_back("LOAD \"\"CODE");
    for (const char* line : {"RANDOMIZE USR VAL \"25500\"", "LOAD \"\"CODE", "RANDOMIZE USR VAL \"25511\"",
                             "RANDOMIZE USR VAL \"32000\""})
        text.push_back(line);
    text.push_back("GO TO " + std::to_string(text.size() * 10));
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string number = std::to_string((i + 1) * 10);
        std::string line = std::string(5 - number.size(), ' ') + number + " " + text[i];
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    return lines;
}

int pixel_address(int row, int column, int line) {
    return 16384 + ((row & 0x18) << 8) + (line << 8) + ((row & 7) << 5) + column;
}

// Text as the player prints it from `first_row` on: in the ROM font, blank cells after it,
// the rows coloured bright white on black.
void expect_text_rows(const kit_test::SpectrumRam& ram, const std::string& shown, int first_row) {
    Bytes rom = test::read_bytes(open_rom);
    int rows = static_cast<int>((shown.size() + 31) / 32);
    int font = ram.peek_word(chars_sysvar);
    for (int cell = 0; cell < rows * 32; ++cell) {
        int row = first_row + cell / 32, column = cell % 32;
        int code = cell < static_cast<int>(shown.size()) ? static_cast<unsigned char>(shown[cell]) : ' ';
        if (code < 32 || code > 127) code = ' ';
        for (int line = 0; line < 8; ++line)
            ASSERT_EQ(ram.peek(pixel_address(row, column, line)), rom.at(font + code * 8 + line))
                << "credits cell " << row << "," << column << " line " << line;
        ASSERT_EQ(ram.peek(22528 + row * 32 + column), 0x47) << "credits colour at " << row << "," << column;
    }
}

// The credits line on the bottom rows: the text up to CR, at most four rows of it.
void expect_credits(const kit_test::SpectrumRam& ram, const std::string& credits, int& first_row) {
    std::string shown = credits.substr(0, std::min<std::size_t>(credits.size(), 128));
    first_row = 24 - static_cast<int>((shown.size() + 31) / 32);
    expect_text_rows(ram, shown, first_row);
}

// Rows 8 up to the credits hold the loading screen; the game draws only rows 0 to 7.
void expect_screen(const kit_test::SpectrumRam& ram, const Bytes& screen, int credits_row) {
    for (int row = 8; row < credits_row; ++row)
        for (int column = 0; column < 32; ++column) {
            for (int line = 0; line < 8; ++line) {
                int address = pixel_address(row, column, line);
                ASSERT_EQ(ram.peek(address), screen.at(address - 16384)) << "screen pixels at " << address;
            }
            int attribute = 22528 + row * 32 + column;
            ASSERT_EQ(ram.peek(attribute), screen.at(attribute - 16384)) << "screen colour at " << attribute;
        }
}

// What the loader leaves (RAMTOP), and the player entries the loader and the game called, in
// order, as the emulator saw them.
void expect_entries(const FuseRun& run, const std::vector<int>& entries) {
    EXPECT_EQ(run.ram->peek_word(ramtop_sysvar), 25499) << "the loader's CLEAR did not run";
    EXPECT_EQ(run.trace.entries, entries) << "the player's entries ran in another order or number";
}

// The music unpacked at 0xC000 of the RAM bank the player names.
void expect_module_in_bank(const kit_test::SpectrumRam& ram, const Bytes& module) {
    EXPECT_EQ(ram.peek_word(player_module_pointer), music_bank_address);
    int bank = ram.peek(player_music_bank);
    ASSERT_EQ(bank, static_cast<int>(stated_limit("music_bank_number"))) << "init found no paging";
    const Bytes& page = ram.banks[static_cast<std::size_t>(bank)];
    ASSERT_GE(page.size(), module.size()) << "the snapshot lacks bank " << bank;
    EXPECT_TRUE(std::equal(module.begin(), module.end(), page.begin()))
        << "the music in bank " << bank << " differs from the PT3 file";
}

// What the loader and the player's init leave: RAMTOP, the entries called, the unpacked music
// in main memory.
void expect_loaded(const FuseRun& run, const Bytes& module, const std::vector<int>& entries) {
    expect_entries(run, entries);
    const kit_test::SpectrumRam& ram = *run.ram;
    EXPECT_EQ(ram.peek(player_music_bank), 0) << "the player names a RAM bank";
    int module_address = ram.peek_word(player_module_pointer);
    ASSERT_GE(module_address, 25500);
    ASSERT_LE(module_address + static_cast<int>(module.size()), 32000);
    Bytes unpacked(ram.bytes.begin() + (module_address - 16384),
                   ram.bytes.begin() + (module_address - 16384) + static_cast<long>(module.size()));
    EXPECT_TRUE(unpacked == module) << "the unpacked music differs from the PT3 file";
}

std::string credits_for(const Bytes& module) {
    return banner + "-" + trimmed(module_field(module, 30)) + "/" + trimmed(module_field(module, 66)) +
           "/music.pt3";
}

std::optional<fs::path> expected_frames_file(const fs::path& music) {
    auto shared = test::shared_dir();
    if (!shared) return std::nullopt;
    fs::path file = *shared / "pt3-frames" / (music.stem().string() + ".frames.txt");
    if (!fs::exists(file)) return std::nullopt;
    return file;
}

std::vector<std::string> lines_of(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(test::read_string(file));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The AY frames caught in Fuse against the expected ones; the first difference is reported,
// which is what one needs to find what went wrong.
void expect_frames(const kit_test::FuseTrace& trace, const std::vector<std::string>& expected) {
    ASSERT_TRUE(trace.error.empty()) << trace.error;
    ASSERT_TRUE(trace.start_frame) << "the start entry never ran";
    auto frames = kit_test::frames_after_start(trace, static_cast<int>(expected.size()));
    ASSERT_EQ(frames.size(), expected.size()) << "the player wrote nothing to the AY after the start entry";
    int matching = 0;
    std::string first_difference;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::string actual = kit_test::frame_line(frames[i]);
        if (actual == expected[i])
            ++matching;
        else if (first_difference.empty())
            first_difference =
                "frame " + std::to_string(i + 1) + "\n  expected " + expected[i] + "\n  actual   " + actual;
    }
    EXPECT_EQ(matching, static_cast<int>(expected.size())) << "first difference at " << first_difference;
}

// A game of the test's own, in place of the demo game, with its stack at 0xFF00, in the
// top 16 KB that a RAM bank paged in would hide. It loads every register (main and alternate
// sets, IX, IY) with known values, then waits for interrupts and checks after each that all of
// them came back unchanged, counting the checks that passed at 32003. It fills 40000..48999
// and 0xC000..0xFDFF with a pattern the test looks for afterwards. With `check_top` set, it
// also sums 0xC000..0xFFFF (all but the stack's page) after every check, with interrupts on,
// which takes some frames: the sum must never change. After `stop_after` passed checks
// (0: never) it calls the player's stop entry and goes on checking under the ROM's
// interrupts. 32005 is 0x5A while every check passes, 0xBD after a register changed and 0xC5
// after the sum changed; 32006 keeps FRAMES as the loop began and 32008 FRAMES when stop was
// called.
std::string register_game_source(int stop_after, bool check_top) {
    return "stop_after equ " + std::to_string(stop_after) + "\ncheck_top equ " + (check_top ? "1" : "0") + R"(
        org 32000
        jp main
checks: dw 0
marker: db 0
frames_first: dw 0
frames_stop: dw 0
main_loop:
        ei
        halt
        ld (seen + 2), bc
        ld (seen + 4), de
        ld (seen + 6), hl
        ld (seen + 8), ix
        ld (seen + 10), iy
        push af
        pop hl
        ld (seen), hl
        exx
        ex af, af'
        ld (seen + 14), bc
        ld (seen + 16), de
        ld (seen + 18), hl
        push af
        pop hl
        ld (seen + 12), hl
        ld hl, seen
        ld de, wanted
        ld b, 20
compare:
        ld a, (de)
        cp (hl)
        jr nz, spoiled
        inc hl
        inc de
        djnz compare
        if check_top
        call top_sum
        ld hl, (top_sum_first)
        or a
        sbc hl, de
        ld a, $c5
        jr nz, spoiled_with
        endif
        ld hl, (checks)
        inc hl
        ld (checks), hl
        ld de, stop_after
        or a
        sbc hl, de
        jr nz, reload
        ld hl, (23672)
        ld (frames_stop), hl
        call 25506
reload:
        call load_registers
        jr main_loop
spoiled:
        ld a, $bd
spoiled_with:
        ld (marker), a
spoiled_wait:
        ei
        halt
        jr spoiled_wait

main:
        ld sp, $ff00                ; interrupts stay on: the music plays from the start
        ld hl, 40000
        ld bc, 9000
        call fill
        if check_top
        ld hl, $c000
        ld bc, $3e00
        call fill
        call top_sum
        ld (top_sum_first), de
        endif
        ld a, $5a
        ld (marker), a
        ld hl, (23672)
        ld (frames_first), hl
        exx
        ex af, af'
        call load_registers
        jp main_loop

; BC bytes from HL on take the pattern (low byte of the address) xor (high byte).
fill:
        ld a, l
        xor h
        ld (hl), a
        inc hl
        dec bc
        ld a, b
        or c
        jr nz, fill
        ret

; DE := the sum of the bytes at 0xC000..0xFFFF but the stack's page 0xFE00..0xFEFF.
top_sum:
        ld de, 0
        ld hl, $c000
        ld bc, $3e00
        call add_bytes
        ld hl, $ff00
        ld bc, $0100
add_bytes:
        ld a, (hl)
        add a, e
        ld e, a
        jr nc, add_bytes_next
        inc d
add_bytes_next:
        inc hl
        dec bc
        ld a, b
        or c
        jr nz, add_bytes
        ret

; Entered with the main and alternate sets swapped; leaves them the right way round.
load_registers:
        ld hl, (wanted + 12)
        push hl
        pop af
        ld bc, (wanted + 14)
        ld de, (wanted + 16)
        ld hl, (wanted + 18)
        exx
        ex af, af'
        ld hl, (wanted)
        push hl
        pop af
        ld bc, (wanted + 2)
        ld de, (wanted + 4)
        ld ix, (wanted + 8)
        ld iy, (wanted + 10)
        ld hl, (wanted + 6)
        ret

; AF, BC, DE, HL, IX, IY (the ROM's frame routine needs 23610 there), AF', BC', DE', HL'
wanted: dw $11d7, $2233, $4455, $6677, $8899, 23610, $aa28, $bbcc, $ddee, $f00f
seen:   ds 20
top_sum_first: dw 0
        end
)";
}

// The pattern the register-checking game leaves in memory it does not otherwise use.
int game_pattern(int address) {
    return ((address & 0xFF) ^ (address >> 8)) & 0xFF;
}

constexpr int game_frames_first = 32006;
constexpr int game_frames_stop = 32008;
constexpr int game_checks_before_stop = 200;
constexpr std::uint8_t game_marker_spoiled = 0xBD;
constexpr std::uint8_t game_marker_top_changed = 0xC5;

class KitEmulator : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have_emulator())
            GTEST_SKIP()
                << "Fuse or the OpenSE ROM is missing (apt-get install fuse-emulator-sdl opense-basic)";
        if (!fs::exists(test::kit_dir() / "tools" / "pasmo"))
            GTEST_SKIP() << "the kit has no tools/pasmo (apt-get install pasmo)";
        fs::create_directories(empty_path_);
    }

    // Puts a game of the test's own into the kit copy as its game.tap; returns the name of
    // the tape the program will make.
    std::string use_game(const fs::path& dir, const std::string& game_source) {
        fs::path source = temp_ / "regcheck.asm";
        test::write_string(source, game_source);
        fs::path binary = temp_ / "regcheck.bin";
        auto assembled =
            test::run_process({(dir / "tools/pasmo").string(), "--err", source.string(), binary.string()});
        EXPECT_EQ(assembled.exit_code, 0) << assembled.out << assembled.err;
        fs::remove(dir / "game.tap");
        auto taped = test::run_process({(dir / "tools/bin2tap").string(), "-o", (dir / "game.tap").string(),
                                        binary.string(), "-a", "32000"});
        EXPECT_EQ(taped.exit_code, 0) << taped.out << taped.err;
        return "regcheck.tap";
    }

    // Builds the tape for `music` in a fresh copy of the kit (with the given game instead of
    // the demo game), checks the tape with the Fuse utilities, runs it as `plan` says and
    // leaves the run in run_.
    void build_and_run(const fs::path& music, bool with_screen, const RunPlan& plan,
                       const std::string& game_source = "") {
        fs::path dir = temp_ / "kit";
        lay_out_kit(dir, music, with_screen);
        bool demo_game = game_source.empty();
        std::string tape_name = demo_game ? "tunedemo.tap" : use_game(dir, game_source);
        auto build = run_tunefuse(dir, empty_path_);
        ASSERT_EQ(build.exit_code, 0) << build.out << build.err;
        // Its code block is at 32000, where the loader starts it: the build has nothing to say.
        EXPECT_EQ(build.err, "");
        fs::path tape = dir / tape_name;
        ASSERT_TRUE(fs::exists(tape)) << build.out << build.err;

        module_ = test::read_bytes(music);
        EXPECT_EQ(nonblank_lines(listbasic(tape)), expected_listing(module_, with_screen));
        std::string blocks = test::run_process({"tzxlist", tape.string()}).out;
        EXPECT_EQ(blocks.find("FAIL"), std::string::npos) << blocks;
        EXPECT_NE(blocks.find("Bytes: \"tunefuse  \" CODE  25500"), std::string::npos) << blocks;

        run_ = run_fuse(tape, temp_ / "fuse", plan);
        ASSERT_EQ(run_.exit_code, fuse_exit_at_game) << "the run did not reach its end\n" << run_.output;
        ASSERT_TRUE(run_.ram) << run_.ram_error;
        if (demo_game) {
            EXPECT_EQ(run_.ram->peek(game_marker), game_marker_drawn) << "the game did not draw its banner";
            int credits_row = 24;
            expect_credits(*run_.ram, credits_for(module_), credits_row);
            if (with_screen)
                expect_screen(*run_.ram, test::read_bytes(test::kit_dir() / "screen.scr"), credits_row);
        }
    }

    void clean_up_run() {
        fs::remove_all(temp_ / "kit");
        fs::remove_all(temp_ / "fuse");
    }

    TempDir temp_{"tunefuse-kit"};
    fs::path empty_path_ = temp_ / "empty-path";
    FuseRun run_;
    Bytes module_;
};

// The demo tape with its loading screen, run with the music playing under the game: the
// demo module's sounds all reach the AY, and the game keeps counting frames.
TEST_F(KitEmulator, DemoTapeWithLoadingScreenPlaysItsMusicUnderTheGame) {
    constexpr int frames = 300;
    build_and_run(test::kit_dir() / "music.pt3", true, {frames, true});
    if (HasFatalFailure()) return;
    expect_loaded(run_, module_, {player_init, player_start});
    EXPECT_GE(run_.ram->peek_word(game_frame_count), frames - 50) << "the game stopped counting frames";
    EXPECT_EQ(run_.trace.interrupt_mode, 2);
    EXPECT_EQ(run_.trace.i_register, vector_table_page);

    ASSERT_TRUE(run_.trace.error.empty()) << run_.trace.error;
    auto ay = kit_test::frames_after_start(run_.trace, frames - 10);
    ASSERT_EQ(ay.size(), static_cast<std::size_t>(frames - 10));
    bool envelope_shape = false, envelope_level = false, noise = false, ornament = false;
    for (std::size_t i = 0; i < ay.size(); ++i) {
        const auto& frame = ay[i];
        for (int reg = 0; reg <= 12; ++reg)
            ASSERT_TRUE(frame.written[reg]) << "frame " << i + 1 << " R" << reg;
        envelope_shape |= frame.written[13] && frame.value[13] == 10;
        for (int reg = 8; reg <= 10; ++reg) envelope_level |= (frame.value[reg] & 0x10) != 0;
        noise |= (frame.value[7] & 0x38) != 0x38;
        // The ornament (0, +4, +7 semitones) moves channel A's period on every frame of a row.
        if (i > 0) {
            int period = frame.value[0] | frame.value[1] << 8;
            int before = ay[i - 1].value[0] | ay[i - 1].value[1] << 8;
            ornament |=
                before > 0 && period > 0 && (before * 100 / period >= 124 || period * 100 / before >= 124);
        }
    }
    EXPECT_TRUE(envelope_shape) << "no envelope shape 10 written";
    EXPECT_TRUE(envelope_level) << "no channel used the envelope";
    EXPECT_TRUE(noise) << "no channel used the noise";
    EXPECT_TRUE(ornament) << "channel A never jumped by a third or more within a row";
}

TEST_F(KitEmulator, DemoTapeWithoutLoadingScreenLoadsAndRuns) {
    build_and_run(test::kit_dir() / "music.pt3", false, {});
    if (HasFatalFailure()) return;
    expect_loaded(run_, module_, {player_init, player_start});
}

// The background player under a game that checks its registers after every interrupt, and
// the stop entry: the AY falls silent and the ROM's interrupts take over again.
TEST_F(KitEmulator, BackgroundPlayerLeavesTheGamesRegistersAndMemoryAlone) {
    constexpr int frames = 300;
    build_and_run(test::kit_dir() / "music.pt3", false, {frames, true},
                  register_game_source(game_checks_before_stop, false));
    if (HasFatalFailure()) return;
    const auto& ram = *run_.ram;
    expect_loaded(run_, module_, {player_init, player_start, player_stop});
    EXPECT_EQ(ram.peek(game_marker), game_marker_drawn) << "a register changed across an interrupt";
    EXPECT_NE(ram.peek(game_marker), game_marker_spoiled);
    int checks = ram.peek_word(game_frame_count);
    EXPECT_GE(checks, frames - 50) << "the game stopped getting interrupts";
    for (int address = 40000; address < 49000; ++address)
        ASSERT_EQ(ram.peek(address), game_pattern(address)) << "memory changed at " << address;

    // The ROM's frame routine ran on every interrupt, before and after stop.
    int frames_counted = (ram.peek_word(frames_sysvar) - ram.peek_word(game_frames_first)) & 0xFFFF;
    EXPECT_GE(frames_counted, checks) << "FRAMES did not advance with the interrupts";
    EXPECT_EQ((ram.peek_word(game_frames_stop) - ram.peek_word(game_frames_first)) & 0xFFFF,
              game_checks_before_stop);

    // After stop: IM 1 with the I register from before the start entry, and the last AY writes silenced all
    // three channels.
    EXPECT_EQ(run_.trace.interrupt_mode, 1);
    ASSERT_TRUE(run_.trace.i_before_start);
    EXPECT_EQ(run_.trace.i_register, run_.trace.i_before_start);
    EXPECT_NE(run_.trace.i_register, vector_table_page) << "stop left the vector table's page in I";
    ASSERT_TRUE(run_.trace.error.empty()) << run_.trace.error;
    ASSERT_FALSE(run_.trace.writes.empty());
    auto last = kit_test::frames_after_start(run_.trace, frames);
    int last_frame_with_writes = 0;
    for (std::size_t i = 0; i < last.size(); ++i)
        for (bool written : last[i].written)
            if (written) last_frame_with_writes = static_cast<int>(i);
    const auto& silence = last[static_cast<std::size_t>(last_frame_with_writes)];
    for (int reg = 8; reg <= 10; ++reg) {
        EXPECT_TRUE(silence.written[reg]) << "R" << reg;
        EXPECT_EQ(silence.value[reg], 0) << "R" << reg;
    }
    EXPECT_LT(last_frame_with_writes, frames - 60) << "the AY was still written long after stop";
}

const std::string needs_128k_line = "This music needs a 128K Spectrum";

// Every frame from the start entry on writes R0..R12.
void expect_clean_play(const kit_test::FuseTrace& trace, int count) {
    ASSERT_TRUE(trace.error.empty()) << trace.error;
    auto frames = kit_test::frames_after_start(trace, count);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(count))
        << "the player wrote nothing after the start entry";
    for (std::size_t i = 0; i < frames.size(); ++i)
        for (int reg = 0; reg <= 12; ++reg)
            ASSERT_TRUE(frames[i].written[reg]) << "frame " << i + 1 << " R" << reg;
}

// No channel got a level at any time of the run (init's silencing writes are all there is).
void expect_silence(kit_test::FuseTrace trace) {
    ASSERT_TRUE(trace.error.empty()) << trace.error;
    ASSERT_FALSE(trace.writes.empty()) << "init did not silence the AY";
    trace.start_frame = 0;
    int frames = trace.writes.back().frame - trace.writes.front().frame + 1;
    for (const auto& frame : kit_test::frames_after_start(trace, frames))
        for (int reg = 8; reg <= 10; ++reg) ASSERT_EQ(frame.value[reg], 0) << "R" << reg << " sounded";
}

// Every corpus module on both machines: a module that fits main memory plays on both; a
// larger one plays from a RAM bank on the 128K, and on the 48K the game runs in silence under
// a line that says why. Modules with expected frames play them exactly, 500 frames from the
// first the background player plays; the others write every register on every frame.
TEST_F(KitEmulator, EveryCorpusModulePlaysOnEachMachineItsLayoutAllows) {
    auto corpus = test::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    std::size_t limit = stated_module_limit();
    ASSERT_GT(limit, 0u) << "asm/tunefuse.asm no longer states max_module_size";
    std::vector<fs::path> modules;
    for (const auto& entry : fs::directory_iterator(*corpus / "pt3")) modules.push_back(entry.path());
    std::sort(modules.begin(), modules.end());
    ASSERT_FALSE(modules.empty());
    for (const auto& music : modules) {
        for (Machine machine : {Machine::zx48, Machine::zx128}) {
            SCOPED_TRACE(music.filename().string() + " on the " + machine_name(machine));
            bool banked = fs::file_size(music) > limit;
            bool plays = !banked || machine == Machine::zx128;
            auto expected = expected_frames_file(music);
            RunPlan plan{plays && expected ? expected_frame_count + 10 : 100, true, machine};
            build_and_run(music, false, plan);
            if (!HasFatalFailure()) {
                const auto& ram = *run_.ram;
                if (!banked) {
                    expect_loaded(run_, module_, {player_init, player_start});
                } else if (plays) {
                    expect_entries(run_, {player_init, player_start});
                    expect_module_in_bank(ram, module_);
                } else {
                    expect_entries(run_, {player_init, player_start});
                    EXPECT_EQ(ram.peek(player_music_bank), 0) << "init did not notice the lack of paging";
                    int credits_row = 24;
                    expect_credits(ram, credits_for(module_), credits_row);
                    expect_text_rows(ram, needs_128k_line, credits_row - 1);
                    expect_silence(run_.trace);
                }
                if (plays && expected) {
                    std::cout << music.filename().string() << " on the " << machine_name(machine)
                              << ": comparing " << expected_frame_count << " frames caught in Fuse\n";
                    expect_frames(run_.trace, lines_of(*expected));
                } else if (plays) {
                    expect_clean_play(run_.trace, plan.frames_after_start - 10);
                }
            }
            clean_up_run();
        }
    }
}

// A game that provokes the paging, with music from a RAM bank: its stack lies in the top
// 16 KB, which the music bank hides while a frame plays, and it sums that memory again and
// again with interrupts on. Over 500 interrupts on the 128K it sees neither its registers nor
// that memory change, its bank keeps its pattern, and the music plays its expected frames.
TEST_F(KitEmulator, MusicFromABankLeavesAGameWithItsStackAtTheTopAlone) {
    auto corpus = test::corpus_dir();
    if (!corpus || !fs::exists(*corpus / "pt3" / "shiru_snowball_game.pt3"))
        GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    fs::path music = *corpus / "pt3" / "shiru_snowball_game.pt3";
    auto expected = expected_frames_file(music);
    ASSERT_TRUE(expected) << "no expected frames for " << music;
    ASSERT_GT(fs::file_size(music), stated_module_limit()) << "the module no longer needs a bank";
    build_and_run(music, false, {expected_frame_count + 10, true, Machine::zx128},
                  register_game_source(0, true));
    if (HasFatalFailure()) return;
    const auto& ram = *run_.ram;
    expect_entries(run_, {player_init, player_start});
    expect_module_in_bank(ram, module_);
    EXPECT_NE(ram.peek(game_marker), game_marker_spoiled) << "a register changed across an interrupt";
    EXPECT_NE(ram.peek(game_marker), game_marker_top_changed) << "the game saw its top 16 KB change";
    EXPECT_EQ(ram.peek(game_marker), game_marker_drawn);
    EXPECT_GE(ram.peek_word(game_frame_count), 10) << "the game stopped checking";
    const auto& bank0 = ram.banks[0];
    ASSERT_EQ(bank0.size(), 16384u);
    for (int address = 0xC000; address < 0xFE00; ++address)
        ASSERT_EQ(bank0[static_cast<std::size_t>(address - 0xC000)], game_pattern(address))
            << "bank 0 changed at " << address;
    for (int address = 40000; address < 49000; ++address)
        ASSERT_EQ(ram.peek(address), game_pattern(address)) << "memory changed at " << address;
    EXPECT_EQ(run_.trace.interrupt_mode, 2);
    expect_frames(run_.trace, lines_of(*expected));
}

// The decoding of the debugger's records, one case per kind of OUT the players use.
TEST(AyCapture, DecodesEveryOutInstructionTheTraceMeets) {
    struct Case {
        const char* name;
        kit_test::OutRegisters out;
        int port, value;
    };
    const Case cases[] = {
        {"OUT (C),A", {1, 0x6010, 0xED, 0x79, 0x0D, 0xFFFD, 0x0102, 0x0304, 0x99}, 0xFFFD, 0x0D},
        {"OUT (C),E", {1, 0x6010, 0xED, 0x59, 0x0D, 0xBFFD, 0x0102, 0x0304, 0x99}, 0xBFFD, 0x02},
        {"OUT (C),D", {1, 0x6010, 0xED, 0x51, 0x0D, 0xBFFD, 0x0102, 0x0304, 0x99}, 0xBFFD, 0x01},
        {"OUT (C),L", {1, 0x6010, 0xED, 0x69, 0x0D, 0xBFFD, 0x0102, 0x0304, 0x99}, 0xBFFD, 0x04},
        {"OUT (C),0", {1, 0x6010, 0xED, 0x71, 0x0D, 0xBFFD, 0x0102, 0x0304, 0x99}, 0xBFFD, 0x00},
        {"OUTI, B already lowered",
         {1, 0x6010, 0xED, 0xA3, 0x0D, 0xBFFD, 0x0102, 0x0304, 0x99},
         0xBFFD,
         0x99},
        {"OUTD", {1, 0x6010, 0xED, 0xAB, 0x0D, 0xBEFD, 0x0102, 0x0304, 0x42}, 0xBEFD, 0x42},
        {"OUT (n),A", {1, 0x6010, 0xD3, 0xFD, 0xBF, 0x1234, 0x0102, 0x0304, 0x99}, 0xBFFD, 0xBF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto write = kit_test::decode_out(c.out);
        ASSERT_TRUE(write);
        EXPECT_EQ(write->port, c.port);
        EXPECT_EQ(write->value, c.value);
    }
    EXPECT_FALSE(kit_test::decode_out({1, 0x6010, 0x00, 0x3E, 0, 0, 0, 0, 0})) << "not an OUT";
}

// Frames are counted from the first write at or after the start entry, writes before it are
// left out, and a frame without writes stays in its place; the entries called are listed in order.
TEST(AyCapture, GroupsWritesIntoFramesFromTheStart) {
    auto number = [](int value) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%x\n", value);
        return std::string(text);
    };
    auto write = [&](int frame, int port, int value) {
        // OUT (C),A with A = value and BC = port.
        return number(kit_test::trace_write_marker) + number(frame) + number(0x6010) + number(0xED) +
               number(0x79) + number(value) + number(port) + number(0) + number(0) + number(0);
    };
    std::string output = "Fuse banner text\n" + number(kit_test::trace_entry_marker) + number(25500) +
                         write(5, 0xFFFD, 8) + write(5, 0xBFFD, 0) + number(kit_test::trace_entry_marker) +
                         number(25511) + number(kit_test::trace_start_marker) + number(9) + number(0x3F) +
                         write(10, 0xFFFD, 0) + write(10, 0xBFFD, 0x34) + write(10, 0xFFFD, 13) +
                         write(10, 0xBEFD, 10) + write(12, 0xFFFD, 1) + write(12, 0xBFFD, 2) +
                         number(kit_test::trace_exit_marker) + number(2) + number(0x64);
    auto trace = kit_test::read_fuse_trace(output);
    ASSERT_TRUE(trace.error.empty()) << trace.error;
    EXPECT_EQ(trace.start_frame, 9);
    EXPECT_EQ(trace.i_before_start, 0x3F);
    EXPECT_EQ(trace.interrupt_mode, 2);
    EXPECT_EQ(trace.i_register, 0x64);
    EXPECT_EQ(trace.entries, (std::vector<int>{25500, 25511}));
    auto frames = kit_test::frames_after_start(trace, 3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(kit_test::frame_line(frames[0]), "34 -- -- -- -- -- -- -- -- -- -- -- -- 0a");
    EXPECT_EQ(kit_test::frame_line(frames[1]), "-- -- -- -- -- -- -- -- -- -- -- -- -- ff");
    EXPECT_EQ(kit_test::frame_line(frames[2]), "-- 02 -- -- -- -- -- -- -- -- -- -- -- ff");
}

}  // namespace
