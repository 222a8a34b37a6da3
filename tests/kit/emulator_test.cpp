// The kit end to end: the real program, tools, pasmo and player source build a tape from the
// demo inputs (or a corpus module); Debian's Fuse loads and runs it headless; the test then
// reads the machine's RAM from the recording's final snapshot and checks what the loader,
// the player and the game left there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "spectrum_snapshot.hpp"
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
constexpr int player_module_pointer = 25509;
constexpr int player_trace_count = 25514;
constexpr int player_trace = 25515;
constexpr int game_marker = 32005;
constexpr int game_loop = 32006;
constexpr std::uint8_t game_marker_drawn = 0x5A;

constexpr int fuse_exit_at_game = 0;
constexpr int fuse_exit_frame_limit = 3;
constexpr int fuse_wall_clock_seconds = 45;

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

// Types LOAD "" through the keyboard system variables at fixed frames, stops at the game's
// loop (exit 0) or at the frame limit (exit 3).
std::string debugger_script(int frame_limit) {
    std::vector<int> keys = {13, 'l', 'o', 'a', 'd', '"', '"', 13};
    std::ostringstream script;
    int id = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        script << "break time 0 if spectrum:frames == " << 100 + 10 * i << "\n"
               << "commands " << ++id << "\n"
               << "set 23560 " << keys[i] << "\n"
               << "set 23611 ([23611] | 32)\n"
               << "continue\nend\n";
    }
    script << "tbreak " << game_loop << "\ncommands " << ++id << "\nexit " << fuse_exit_at_game << "\nend\n";
    // No newline after the last "end": Fuse reads one there as an empty, invalid command.
    script << "break time 0 if spectrum:frames == " << frame_limit << "\ncommands " << ++id << "\nexit "
           << fuse_exit_frame_limit << "\nend";
    return script.str();
}

// Frames enough to play the whole tape at the ROM's slowest bit rate, with its pilots and
// pauses, plus the typing and some slack.
int frame_limit_for(const fs::path& tape) {
    auto bytes = static_cast<int>(fs::file_size(tape));
    return 400 + bytes * 2 / 5 + 8 * 200;
}

struct FuseRun {
    int exit_code = -1;
    std::string output;
    std::optional<kit_test::SpectrumRam> ram;
    std::string ram_error;
};

FuseRun run_fuse(const fs::path& tape, const fs::path& work) {
    fs::create_directories(work / "home");
    test::ProcessOptions options;
    options.working_directory = work;
    options.env = {
        {"SDL_VIDEODRIVER", "dummy"}, {"SDL_AUDIODRIVER", "dummy"}, {"HOME", (work / "home").string()}};
    options.timeout_seconds = fuse_wall_clock_seconds;
    auto result = test::run_process(
        {fuse_program.string(), "--machine", "48", "--rom-48", open_rom.string(), "--no-sound",
         "--no-auto-load", "--fastload", "--speed", "2000", "--tape", tape.string(), "--record",
         (work / "run.rzx").string(), "--debugger-command", debugger_script(frame_limit_for(tape))},
        options);
    FuseRun run;
    run.exit_code = result.exit_code;
    run.output = result.out + result.err;
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

// The credits line as the player prints it on the bottom rows: the text up to CR in the
// ROM font, blank cells after it, the rows coloured bright white on black.
void expect_credits(const kit_test::SpectrumRam& ram, const std::string& credits, int& first_row) {
    Bytes rom = test::read_bytes(open_rom);
    std::string shown = credits.substr(0, std::min<std::size_t>(credits.size(), 128));
    int rows = static_cast<int>((shown.size() + 31) / 32);
    first_row = 24 - rows;
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

void expect_machine_state(const kit_test::SpectrumRam& ram, const Bytes& module) {
    EXPECT_EQ(ram.peek_word(ramtop_sysvar), 25499) << "the loader's CLEAR did not run";
    EXPECT_EQ(ram.peek(player_trace_count), 2) << "the player's entries ran a different number of times";
    EXPECT_EQ(ram.peek(player_trace), 1) << "25500 was not the first entry called";
    EXPECT_EQ(ram.peek(player_trace + 1), 2) << "25511 was not the second entry called";
    int module_address = ram.peek_word(player_module_pointer);
    ASSERT_GE(module_address, 25500);
    ASSERT_LE(module_address + static_cast<int>(module.size()), 32000);
    Bytes unpacked(ram.bytes.begin() + (module_address - 16384),
                   ram.bytes.begin() + (module_address - 16384) + static_cast<long>(module.size()));
    EXPECT_TRUE(unpacked == module) << "the unpacked music differs from the PT3 file";
    EXPECT_EQ(ram.peek(game_marker), game_marker_drawn) << "the game did not draw its banner";
}

std::string credits_for(const Bytes& module) {
    return banner + "-" + trimmed(module_field(module, 30)) + "/" + trimmed(module_field(module, 66)) +
           "/music.pt3";
}

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

    // Builds the tape for `music` in a fresh copy of the kit, checks the tape with the
    // Fuse utilities, runs it and checks the machine. Returns false when the build failed.
    void build_and_run(const fs::path& music, bool with_screen) {
        fs::path dir = temp_ / "kit";
        lay_out_kit(dir, music, with_screen);
        auto build = run_tunefuse(dir, empty_path_);
        ASSERT_EQ(build.exit_code, 0) << build.out << build.err;
        fs::path tape = dir / "tunedemo.tap";
        ASSERT_TRUE(fs::exists(tape)) << build.out << build.err;

        Bytes module = test::read_bytes(music);
        EXPECT_EQ(nonblank_lines(listbasic(tape)), expected_listing(module, with_screen));
        std::string blocks = test::run_process({"tzxlist", tape.string()}).out;
        EXPECT_EQ(blocks.find("FAIL"), std::string::npos) << blocks;
        EXPECT_NE(blocks.find("Bytes: \"tunefuse  \" CODE  25500"), std::string::npos) << blocks;

        FuseRun run = run_fuse(tape, temp_ / "fuse");
        ASSERT_EQ(run.exit_code, fuse_exit_at_game) << "the game's loop was not reached\n" << run.output;
        ASSERT_TRUE(run.ram) << run.ram_error;
        expect_machine_state(*run.ram, module);
        int credits_row = 24;
        expect_credits(*run.ram, credits_for(module), credits_row);
        if (with_screen)
            expect_screen(*run.ram, test::read_bytes(test::kit_dir() / "screen.scr"), credits_row);
    }

    TempDir temp_{"tunefuse-kit"};
    fs::path empty_path_ = temp_ / "empty-path";
};

TEST_F(KitEmulator, DemoTapeWithLoadingScreenLoadsAndRuns) {
    build_and_run(test::kit_dir() / "music.pt3", true);
}

TEST_F(KitEmulator, DemoTapeWithoutLoadingScreenLoadsAndRuns) {
    build_and_run(test::kit_dir() / "music.pt3", false);
}

// The largest module the player takes, as its source states it.
std::size_t stated_module_limit() {
    std::string source = test::read_string(test::kit_dir() / "asm" / "tunefuse.asm");
    std::size_t at = source.find("max_module_size");
    if (at == std::string::npos) return 0;
    at = source.find("equ", at);
    if (at == std::string::npos) return 0;
    return std::strtoul(source.c_str() + at + 3, nullptr, 10);
}

TEST_F(KitEmulator, EveryCorpusModuleThatFitsPlaysAndTheRestFailClearly) {
    auto corpus = test::corpus_dir();
    if (!corpus) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    std::size_t limit = stated_module_limit();
    ASSERT_GT(limit, 0u) << "asm/tunefuse.asm no longer states max_module_size";
    std::vector<fs::path> modules;
    for (const auto& entry : fs::directory_iterator(*corpus / "pt3")) modules.push_back(entry.path());
    std::sort(modules.begin(), modules.end());
    ASSERT_FALSE(modules.empty());
    for (const auto& music : modules) {
        SCOPED_TRACE(music.filename().string());
        if (fs::file_size(music) <= limit) {
            build_and_run(music, false);
        } else {
            fs::path dir = temp_ / "kit";
            lay_out_kit(dir, music, false);
            auto build = run_tunefuse(dir, empty_path_);
            EXPECT_NE(build.exit_code, 0);
            EXPECT_NE((build.out + build.err).find("does not fit"), std::string::npos)
                << build.out << build.err;
        }
        fs::remove_all(temp_ / "kit");
        fs::remove_all(temp_ / "fuse");
    }
}

}  // namespace
