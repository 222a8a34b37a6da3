#include "fault_cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <initializer_list>
#include <set>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#endif

namespace test {

Bytes make_module(const std::string& title, const std::string& author, std::size_t size) {
    Bytes module = bytes_of("ProTracker 3.5 compilation of " + (title + std::string(32, ' ')).substr(0, 32) +
                            " by " + (author + std::string(32, ' ')).substr(0, 32) + " ");
    module.resize(size, 0x01);
    return module;
}

Bytes tape_block(std::uint8_t flag, const Bytes& contents) {
    const std::size_t length = contents.size() + 2;
    Bytes block = {static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>(length >> 8), flag};
    block.insert(block.end(), contents.begin(), contents.end());
    block.push_back(flag);
    for (std::uint8_t byte : contents) block.back() ^= byte;
    return block;
}

namespace {

const std::string exe = TUNEFUSE_EXE_SUFFIX;
#ifdef _WIN32
constexpr bool host_is_windows = true;
#else
constexpr bool host_is_windows = false;
#endif

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes tape;
    for (const Bytes& part : parts) tape.insert(tape.end(), part.begin(), part.end());
    return tape;
}

// A header block: type, the name padded to ten bytes, the length and two parameters.
Bytes header(char type, const std::string& name, unsigned length, unsigned first, unsigned second) {
    Bytes contents = bytes_of(type + (name + std::string(10, ' ')).substr(0, 10));
    for (unsigned word : {length, first, second})
        contents.insert(contents.end(),
                        {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)});
    return tape_block(0x00, contents);
}

// A BASIC line from words: keywords by name, whole numbers with their hidden five-byte form,
// anything else as it is.
Bytes basic_line(unsigned number, const std::string& words) {
    static const std::map<std::string, std::uint8_t> keywords = {
        {"CLEAR", 0xFD}, {"LOAD", 0xEF}, {"CODE", 0xAF}, {"SCREEN$", 0xAA}, {"RANDOMIZE", 0xF9},
        {"USR", 0xC0},   {"VAL", 0xB0},  {"OUT", 0xDF},  {"BORDER", 0xE7},  {"PAPER", 0xDA},
        {"INK", 0xD9},   {"POKE", 0xF4}, {"NOT", 0xC3},  {"PI", 0xA7},      {"CLS", 0xFB}};
    Bytes text;
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        if (keywords.contains(word)) {
            text.push_back(keywords.at(word));
        } else if (word.find_first_not_of("0123456789") == std::string::npos) {
            const unsigned value = std::stoul(word);
            text.insert(text.end(), word.begin(), word.end());
            text.insert(text.end(), {0x0E, 0, 0, static_cast<std::uint8_t>(value),
                                     static_cast<std::uint8_t>(value >> 8), 0});
        } else {
            text.insert(text.end(), word.begin(), word.end());
        }
    }
    text.push_back(0x0D);
    Bytes line = {static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number),
                  static_cast<std::uint8_t>(text.size()), static_cast<std::uint8_t>(text.size() >> 8)};
    line.insert(line.end(), text.begin(), text.end());
    return line;
}

// A CODE header and its data block, as SAVE "name" CODE address,length makes them.
Bytes code(const std::string& name, unsigned address, unsigned length, std::uint8_t fill = 0xAA) {
    return joined({header(3, name, length, address, 32768), tape_block(0xFF, Bytes(length, fill))});
}

// A BASIC loader, autostarting at its first line, made of one line per text.
Bytes loader(std::initializer_list<std::string> lines) {
    Bytes program;
    unsigned number = 10;
    for (const std::string& words : lines) {
        Bytes line = basic_line(number, words);
        program.insert(program.end(), line.begin(), line.end());
        number += 10;
    }
    const auto size = static_cast<unsigned>(program.size());
    return joined({header(0, "loader", size, 10, size), tape_block(0xFF, program)});
}

Bytes flipped(Bytes bytes, std::size_t at) {
    bytes[at] ^= 1;
    return bytes;
}

// Output as LF text: redirected, the Windows program writes UTF-16LE (ASCII here) with CR LF.
std::string decoded(const std::string& bytes) {
    if (!host_is_windows) return bytes;
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        if (bytes[i] != '\r')
            text += bytes.substr(i, 1) + (bytes.substr(i + 1, 1) == std::string(1, '\0') ? "" : "?");
    return text;
}

const std::string closing_lines =
    "Clean up\t\t: Done\n\nTrying to launch...\n\nKTHNXBAI!\n20/07/17 01:17am zorbel\n";

// The whole report of a build with the stand-in tools, the default module and a loading screen.
std::string build_report(const std::string& output) {
    return "Tunefuse 1.6.1 Kestrin 2017\nhttps://tunefuse.zxkit.org/download\n"
           "https://groups.zxkit.org/tunefuse\n\nMusic file selected \t: music.pt3\n"
           "Music file size     \t: 2048 bytes (~ 2kb)\nCompressing \t\t: music.pt3 - Done\n"
           "Compressed Size     \t: 1500 bytes (~ 1kb)\nFound screen\t\t: screen.scr\n"
           "Creating Loader\t\t: Done\nMusic Author \t\t: Me" +
           std::string(31, ' ') + "\nMusic Title\t\t: Tune" + std::string(29, ' ') +
           "\nAssembling code\t\t: Done\n"
           "Tunefuse+VTII+music    \t: 300 bytes (~ 0kb)\nBuilding tapes\t\t: " +
           output + " Done\n" + closing_lines;
}

using Prepare = std::function<void(const fs::path&)>;

Prepare without(const std::string& name) {
    return [name](const fs::path& dir) { fs::remove_all(dir / name); };
}

Prepare folder(const char* name) {
    return [name](const fs::path& dir) {
        fs::remove_all(dir / fs::path(name).begin()->string());
        fs::create_directories(dir / name);
    };
}

Prepare file(const char* name, Bytes bytes) {
    return [name, bytes](const fs::path& dir) { write_bytes(dir / name, bytes); };
}

// A bank of sound effects of the given size: one effect, frames of volume 15, its end marker.
Bytes effects_bank(std::size_t size) {
    Bytes bank = {1, 1, 0};
    bank.resize(size - 2, 0x0F);
    bank.insert(bank.end(), {0xD0, 0x20});
    return bank;
}

FaultCase row(const std::string& label, Prepare prepare, const std::string& problem,
              const std::string& shows = "") {
    return {.label = label, .prepare = prepare, .problem = problem, .shows = shows};
}

FaultCase tool(const char* label, const char* variable, const char* mode, std::string problem = "") {
    return {.label = label, .env = {{variable, mode}}, .problem = problem};
}

// A game tape, what the build says about it and the output tape named after the game.
FaultCase game(const std::string& label, const Bytes& tape, const std::string& problem = "",
               const std::string& warning = "", const std::string& output = "demo.tap") {
    FaultCase c = row(label, file("game.tap", tape), problem);
    c.warning = warning;
    c.output = output;
    return c;
}

// A game whose tape header holds the name: refused (no output), or the tape it gives.
FaultCase game_named(const std::string& name, const std::string& output) {
    return game("game named " + name, code(name, 32000, 100),
                output.empty() ? "could not create the output tape " + name + ".tap" : "", "", output);
}

// The start of a message about the first code block, which the tape lists as block `number`.
std::string first_code(int number, const std::string& name, int length, int address) {
    return "game.tap, block " + std::to_string(number) + " (code \"" + name + "\", " +
           std::to_string(length) + " bytes at " + std::to_string(address) +
           "): the first code block on the tape ";
}

// Game tapes against the loader's checks; each message is given up to what sets it apart.
std::vector<FaultCase> game_tapes() {
    const Bytes basic = joined({header(0, "demo", 5, 10, 5), tape_block(0xFF, hex_bytes("00 0A 01 00 0D"))});
    const Bytes demo = code("demo", 32000, 100), demo_header = header(3, "demo", 100, 32000, 32768);
    const std::string below = "loads below 32000, over ", player = "the music player (25500 to 31999)";
    const std::string basic_stack = "the loader's own BASIC program and stack (below 25500)";
    const std::string demo_data = "game.tap, block 2 (the data of code \"demo\", 100 bytes at 32000): ";
    const std::string demo_code = "game.tap, block 1 (code \"demo\", 100 bytes at 32000): ";
    const std::string not_a_tape = "game.tap is not a tape file: ";
    // Game tapes with a BASIC loader of their own, which the output tape follows.
    const Bytes game_code = code("game", 32768, 100), engine = code("engine", 57000, 50, 0x55);
    const std::string usr = "RANDOMIZE USR 32768", load = "LOAD \"\" CODE : ";
    // The output tape, named after the game's loader, follows the player with `part`.
    const auto followed = [](FaultCase c, const Bytes& part) {
        c.game_part = part;
        c.output = "loader.tap";
        return c;
    };
    const Bytes screen_tape =
        joined({loader({"LOAD \"\" SCREEN$ : " + load + usr}), code("picture", 32768, 6912), game_code});
    const Prepare own_screen = [screen_tape](const fs::path& dir) {
        fs::remove(dir / "screen.scr");
        write_bytes(dir / "game.tap", screen_tape);
    };
    std::vector<FaultCase> cases = {
        followed(
            game("loader starting at 32768", joined({loader({"CLEAR 32767 : " + load + usr}), game_code})),
            game_code),
        followed(game("loader starting at VAL \"40000\"",
                      joined({loader({"LOAD \"\" CODE", "RANDOMIZE USR VAL \"40000\""}),
                              code("game", 40000, 100)})),
                 code("game", 40000, 100)),
        followed(game("loader loading code at 32768, saved at 40000",
                      joined({loader({"LOAD \"\" CODE 32768 : " + usr}), code("game", 40000, 100)})),
                 game_code),
        followed(
            game("loader loading two code blocks", joined({loader({load + load + usr}), game_code, engine})),
            joined({game_code, tape_block(0xFF, Bytes(50, 0x55))})),
        followed(game("loader showing a screen saved at 32768, with screen.scr", screen_tape, "",
                      "game.tap, block 3 (code \"picture\", 6912 bytes at 32768): the game's loading screen "
                      "is left off the tape, since screen.scr is shown"),
                 game_code),
        followed(
            row("loader showing a screen saved at 32768", own_screen, "", "Found screen\t\t: game.tap\n"),
            game_code),
        game("loader loading a second block over the player",
             joined({loader({load + load + usr}), game_code, code("songs", 27000, 100)}),
             "game.tap, block 5 (code \"songs\", 100 bytes at 27000): it loads below 32000, over " + player),
        game("loader paging with OUT", joined({loader({"OUT 32765 , 16 : " + load + usr}), game_code}), "",
             "game.tap, line 10 of its BASIC loader \"loader\": it writes to a port with OUT", "loader.tap"),
        game("loader of headerless code", joined({loader({load + usr}), tape_block(0xFF, Bytes(100, 1))}),
             "game.tap, block 3 (100 bytes of data without a header)"),
        game("code at 32000 after a BASIC program that starts nothing",
             joined({basic, code("game", 32000, 100)}), "",
             "game.tap, line 10 of its BASIC loader \"demo\": it ends without starting any machine code"),
        game("code at 32001", code("demo", 32001, 100), "",
             first_code(1, "demo", 100, 32001) +
                 "loads at 32001, but the loader starts the game at 32000; "
                 "the game starts only if the memory from 32000 to 32000 happens"),
        game("code running past 65535", code("demo", 32000, 33537),
             first_code(1, "demo", 33537, 32000) +
                 "runs past the end of memory at 65535 (to 65536). Loading at "
                 "32000, it may hold at most 33536 bytes\ntunefuse: error: no output tape was written: "
                 "demo.tap\n"),
        game("code below 25500", code("demo", 24500, 1000),
             first_code(1, "demo", 1000, 24500) + below + basic_stack + "."),
        game("code from below 25500 up to 25500", code("demo", 24500, 1001),
             first_code(1, "demo", 1001, 24500) + below + basic_stack + " and " + player + "."),
        game("code at 25500", code("demo", 25500, 100),
             first_code(1, "demo", 100, 25500) + below + player + "."),
        game("code below 32000 running past 65535", code("demo", 30000, 40000),
             first_code(1, "demo", 40000, 30000) + below + player +
                 ". Assemble the game to load at 32000 or above\ntunefuse: error: " +
                 first_code(1, "demo", 40000, 30000) + "runs past the end of memory at 65535 (to 69999)"),
        game("screen first", joined({basic, code("screen", 16384, 6912), code("game", 32000, 100)}),
             first_code(3, "screen", 6912, 16384) + "is a loading screen"),
        game("empty code block", code("demo", 32000, 0), first_code(1, "demo", 0, 32000) + "holds no bytes"),
        game("no code block", basic, "game.tap holds no code block (a CODE header and its data)"),
        game(
            "headerless code", joined({basic, tape_block(0xFF, Bytes(100, 0xAA)), code("game", 32000, 100)}),
            "game.tap, block 3 (100 bytes of data without a header): the loader's LOAD \"\" CODE loads only"),
        game("bad data checksum", flipped(demo, demo.size() - 1), demo_data + "its checksum is wrong"),
        game("data block cut short", joined({demo_header, tape_block(0xFF, Bytes(50, 0xAA))}),
             demo_data + "it holds 50 bytes where its header gives 100"),
        game("bad header checksum", flipped(demo, 20), demo_code + "the header's checksum is wrong"),
        game("header without its data", demo_header, demo_code + "no data block follows this header"),
        game("header followed by a header", joined({header(3, "demo", 17, 32000, 32768), basic}),
             "game.tap, block 1 (code \"demo\", 17 bytes at 32000): no data block follows this header"),
        game("header block cut short", joined({basic, tape_block(0x00, hex_bytes("03 67 61 6D 65"))}),
             "game.tap, block 3 (a header block of 7 bytes, where a header block has 19)"),
        game("file cut short in the last block", Bytes(demo.begin(), demo.begin() + 21 + 2 + 101),
             not_a_tape + "block 2 should have 102 bytes, but the file ends after 101 of them"),
        game("file ending inside a block length", joined({demo, {0x05}}),
             not_a_tape + "the file ends inside the length of block 3"),
        game("block of length 0", joined({demo, {0x00, 0x00}}), not_a_tape + "block 3 has a length of 0"),
    };
    // A real tape as its maker's tools left it, its code not at 32000.
    // Its loader hides its numbers in NOT PI, VAL "..." and CODE "o", and shows a screen first.
    if (auto corpus = shared_dir("corpus"))
        cases.push_back(
            game("MK1 Dogmole", read_bytes(*corpus / "tap" / "mojontwins_dogmole.tap"),
                 "game.tap, block 5 (code \"main\", 27303 bytes at 24000): it loads below 32000, over " +
                     basic_stack + " and " + player));
    return cases;
}

// The case's folder but the log, each file with its contents; kept_only leaves out intermediates.
std::map<std::string, Bytes> snapshot(const CaseRun& run, bool kept_only) {
    static const std::set<std::string> intermediates = {
        "KRZCode.tap", "tunefuse.bin", "screen.bin", "bin/music.pt3", "bin/music.pt3.zx7", "bin/author.bin"};
    std::map<std::string, Bytes> entries;
    for (auto it = fs::recursive_directory_iterator(run.root); it != fs::recursive_directory_iterator();
         ++it) {
        const bool is_file = it->is_regular_file();
        if (it->path() == run.log) it.disable_recursion_pending();
        const std::string name = fs::relative(it->path(), run.dir).generic_string();
        if (it->path() == run.log || name == "bin/tunefuse.lock" ||
            (kept_only && is_file && intermediates.count(name)))
            continue;
        // The programs (ours, the tools, the stand-in opener) only have to stay as they are: their
        // size and time say so, and keep a hundred cases' snapshots within a 32-bit test's memory.
        const bool program =
            is_file && (name.starts_with("tools/") || it->path().extension() == ".exe" || name == "tunefuse");
        Bytes bytes = is_file && !program ? read_bytes(it->path()) : Bytes{};
        if (program) {
            const std::string stamp =
                std::to_string(fs::file_size(it->path())) + " " +
                std::to_string(fs::last_write_time(it->path()).time_since_epoch().count());
            bytes.assign(stamp.begin(), stamp.end());
        }
        entries[fs::relative(it->path(), run.root).generic_string()] = std::move(bytes);
    }
    return entries;
}

// The text with each "$kit/name" (ending at a 0x1F, a colon, a line end or the end) a path in dir.
std::string with_paths(std::string text, const fs::path& dir) {
    for (std::size_t at; (at = text.find("$kit/")) != std::string::npos;) {
        const std::size_t end = std::min(text.find_first_of("\x1f\n:", at), text.size());
        text.replace(at, end - at,
                     (dir / fs::path(text.substr(at + 5, end - at - 5)).make_preferred()).string());
    }
    return text;
}

}  // namespace

std::vector<FaultCase> fault_cases() {
    const std::string no_player = "Tunefuse+VTII+music    \t: -1 bytes (~ 0kb)\n";
    const std::string no_screen = "Compressed Size     \t: 1500 bytes (~ 1kb)\nCreating Loader";
    const std::string no_copy = "could not copy the music file to $kit/bin/music.pt3: no such file or folder";
    // With no game, the tape is a preview: the little game of ours in the game's place.
    const auto preview = [](const char* label, std::function<void(const fs::path&)> prepare) {
        return FaultCase{.label = label,
                         .prepare =
                             [prepare](const fs::path& dir) {
                                 prepare(dir);
                                 write_string(dir / "asm" / "preview.asm", " org 32000\n ret\n");
                             },
                         .warning = "there is no game.tap, so the tape is a preview of the music",
                         .output = "Finished.tap",
                         .shows = "Building tapes\t\t: Finished.tap Done\n",
                         .game_part = code("preview", 32000, 300, 0xC9)};
    };
    Bytes long_game = code("demo", 32000, 33536), more = tape_block(0xFF, Bytes(60000, 0x55));
    while (long_game.size() < 4 << 20) long_game.insert(long_game.end(), more.begin(), more.end());
    const Bytes banked_effects = effects_bank(5000);  // the stand-in compressor keeps 1500 bytes
    std::vector<FaultCase> cases = {
        {.label = "plain build in a folder with spaces and an ampersand", .folder = "my kit & more"},
        tool("compressor fails", "FAKE_ZX7_MODE", "fail", "the compressor exited with code 3"),
        {.label = "assembler fails, a player of an earlier run there",
         .prepare = file("tunefuse.bin", Bytes(5000, 0)),
         .env = {{"FAKE_PASMO_MODE", "fail"}},
         .problem = "the assembler exited with code 3",
         .shows = no_player},
        tool("bin2tap fails", "FAKE_BIN2TAP_MODE", "fail", "bin2tap exited with code 3"),
        tool("assembler killed", "FAKE_PASMO_MODE", "killed", "the assembler exited with code 137"),
        tool("compressor makes nothing", "FAKE_ZX7_MODE", "silent",
             "the compressed music was not produced: $kit/bin/music.pt3.zx7"),
        {.label = "compressor makes nothing of a further tune",
         .prepare = file("music2.pt3", make_module()),
         .env = {{"FAKE_ZX7_MODE", "silent"}},
         .problem = "the compressed music2.pt3 was not produced: $kit/bin/music2.pt3.zx7"},
        tool("assembler makes nothing", "FAKE_PASMO_MODE", "silent",
             "the assembled player was not produced: $kit/tunefuse.bin"),
        tool("bin2tap writes 50 MB", "FAKE_BIN2TAP_MODE", "flood-out"),
        tool("compressor writes a partial line", "FAKE_ZX7_MODE", "partial-line"),
        row("no assembler", without("tools/pasmo" + exe),
            "could not start the assembler: $kit/tools/pasmo" + exe + ": no such file or folder", no_player),
        row("no bin folder", without("bin"), no_copy),
        row("loader tape is a folder", folder("KRZCode.tap"), "could not write the loader tape KRZCode.tap"),
        row("output tape is a folder", folder("demo.tap/inside"),
            "could not create the output tape demo.tap"),
        row("no screen", without("screen.scr"), "", no_screen),
        row("empty screen", file("screen.scr", {}), "", no_screen),
        row("screen of 6913 bytes", file("screen.scr", Bytes(6913, 0x38)),
            "screen.scr is larger than a screen (6912 bytes)"),
        row("no music", without("music.pt3"), "music file not found: $kit/music.pt3",
            "Music file size     \t: -1 bytes (~ 0kb)\n"),
        row("music is a folder", folder("music.pt3"), "music file is a folder: $kit/music.pt3"),
        row("music is empty", file("music.pt3", {}), "music file is empty: $kit/music.pt3"),
        row("music is not a PT3", file("music.pt3", Bytes(500, 1)),
            "the music file is not a PT3 module: music.pt3"),
        row("music of 1 MB", file("music.pt3", make_module("Tune", "Me", 1 << 20)),
            "the music does not fit: music.pt3 has 1048576 bytes, 1500 once compressed; a PT3 module may "
            "have "
            "at most 16384 bytes, one RAM bank of a 128K Spectrum (up to ",
            "Music file size     \t: 1048576 bytes (~ 1024kb)\n"),
        {.label = "TurboSound music: two modules, the first plays",
         .prepare =
             [](const fs::path& dir) {
                 write_bytes(dir / "music.pt3", joined({make_module(), make_module()}));
             },
         .warning = "music.pt3 is a TurboSound file, two modules for two AY chips: the first plays",
         .shows = "Music file size     \t: 4096 bytes (~ 4kb)\n"},
        row("a further tune that is empty", file("music2.pt3", {}), "music file is empty: $kit/music2.pt3"),
        row("a further tune that is not a PT3", file("music2.pt3", Bytes(500, 1)),
            "the music file is not a PT3 module: music2.pt3"),
        row(
            "more tunes than the banks hold",
            [](const fs::path& dir) {
                for (const char* name : {"music.pt3", "music2.pt3", "music3.pt3", "music4.pt3", "music5.pt3"})
                    write_bytes(dir / name, make_module("Tune", "Me", 9000));
            },
            "tune 5 does not fit: music5.pt3 has 9000 bytes, 1500 once compressed; the tunes before it leave "
            "too little room in RAM banks 6, 4, 3 and 1"),
        {.label = "sound effects too large for main memory go in a RAM bank, compressed",
         .prepare = file("sfx.afb", banked_effects),
         .warning = "on the 48K, the sound effects do not play: sfx.afb lies in RAM bank 6 of the 128K",
         .shows = "Compressed Size     \t: 1500 bytes",
         .music_part = tape_block(0xFF, Bytes(banked_effects.begin(), banked_effects.begin() + 1500))},
        row("sound effects larger than a bank", file("sfx.afb", effects_bank(16385)),
            "the sound effects do not fit: sfx.afb has 16385 bytes, 1500 once compressed; a bank of sound "
            "effects may have at most 16384 bytes"),
        preview("no game tape", without("game.tap")),
        preview("empty game tape", file("game.tap", {})),
        row("game tape of 4 MB", file("game.tap", long_game), ""),
        game_named("", "Finished.tap"),
    };
    // Names that would overwrite the user's game or the loader tape, leave the program directory,
    // or name an alternate stream or a device, are refused on every host.
    for (const char* name : {"game", "KRZCode", "a/b", "a\\b", "..", "a|b", "say \"hi\"", "why?", "a*b",
                             "c:x", "CON", "nul.x", "com1", "\x01\x02      ab"})
        cases.push_back(game_named(name, ""));
    for (const char* name : {"a&b", "my game", "com0"})
        cases.push_back(game_named(name, name + std::string(".tap")));
#ifdef _WIN32
    // File names are not case sensitive there.
    for (const char* name : {"GAME", "krzcode"}) cases.push_back(game_named(name, ""));
    // Another program writes the old tape and lets others only read it; the handle lives as long as
    // the test program.
    const auto held = [](const fs::path& dir) {
        CreateFileW((dir / "demo.tap").wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    };
    cases.push_back(row("output tape held by another program", held,
                        "could not create the output tape demo.tap: the file is in use"));
#else
    // Nothing reads the name as a command. A name of ten bytes and seven characters ends with its
    // field, and bytes that are no UTF-8 become replacement characters.
    for (const char* name : {"GAME", "%PATH%", "a;rm b", "$(id)`id`", "Gam\xC3\xA9\xE2\x98\x83"})
        cases.push_back(game_named(name, name + std::string(".tap")));
    cases.push_back(game_named("\xFF\xFE\x80game", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDgame.tap"));
    cases.push_back(row("player is a folder", folder("tunefuse.bin"),
                        "the assembled player was not produced: $kit/tunefuse.bin"));
    const auto full_disk = [](const fs::path& dir) {
        fs::remove(dir / "demo.tap");
        fs::create_symlink("/dev/full", dir / "demo.tap");
    };
    cases.push_back(row("output tape on a full disk", full_disk,
                        "could not write the output tape demo.tap: the disk is full\n"));
    cases.push_back(row(
        "assembler without its execute bit",
        [](const fs::path& dir) { fs::permissions(dir / "tools/pasmo", fs::perms::none); },
        "could not start the assembler: $kit/tools/pasmo: permission denied", no_player));
    // Folder names a command line would split or a path reader would cut, and one with a backslash,
    // a character of the name here: the folder "a/kit" beside it, like the build's own, is another's.
    const auto look_alike = [](const fs::path& dir) {
        fs::create_directories(dir.parent_path() / "a" / "kit" / "bin");
        for (const char* name :
             {"KRZCode.tap", "tunefuse.bin", "music.pt3", "bin/music.pt3", "bin/author.bin"})
            write_string(dir.parent_path() / "a" / "kit" / name, "not the build's");
    };
    for (std::string name : std::vector<std::string>{
             "pipe|kit", "quote\"kit", std::string(120, 'x') + "/" + std::string(140, 'y'), "a\\kit"}) {
        cases.push_back(row("program directory " + name.substr(0, 20), look_alike, ""));
        cases.back().folder = name;
    }
#endif
    for (FaultCase& c : game_tapes()) cases.push_back(std::move(c));
    return cases;
}

void check_builds_take_turns(int builds) {
    TempDir temp;
    const fs::path dir = temp / "kit";
    fs::copy(kit_dir(), dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    if (host_is_windows) fs::copy_file(helper("fake_tool"), dir / "cmd.exe");  // the tape opener
    const std::vector<std::string> argv = {(dir / ("tunefuse" + exe)).string()};
    const ProcessOptions options{.working_directory = dir, .env = {{"PATH", (temp / "none").string()}}};
    const auto build = [&] { return run_process(argv, options); };
    ASSERT_EQ(build().exit_code, 0);
    const Bytes alone = read_bytes(dir / "tunedemo.tap");
    fs::remove(dir / "tunedemo.tap");
    std::vector<std::future<ProcessResult>> running;
    for (int i = 0; i < builds; ++i) running.push_back(std::async(std::launch::async, build));
    int waited = 0;
    for (auto& result : running) {
        const ProcessResult done = result.get();
        const std::string err = decoded(done.err);
        EXPECT_EQ(done.exit_code, 0) << err;
        EXPECT_TRUE(err.empty() || err == "tunefuse: waiting for another build in this folder to finish\n")
            << err;
        waited += err.empty() ? 0 : 1;
    }
    EXPECT_GT(waited, 0) << "the builds never met";
    EXPECT_EQ(read_bytes(dir / "tunedemo.tap"), alone);
    // The lock file stays in the work folder, and only it.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir / "bin"))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"tunefuse.lock"});
    EXPECT_FALSE(fs::exists(dir / "KRZCode.tap") || fs::exists(dir / "tunefuse.bin"));
}

CaseRun lay_out_case(const FaultCase& c, const fs::path& root) {
    CaseRun run{root, root / c.folder, root / "log", {}, {}, {}, {}};
    // A program directory like the kit's, with stand-ins for the tools.
    for (const char* folder : {"bin", "tools", "asm"}) fs::create_directories(run.dir / folder);
    fs::copy_file(kit_dir() / ("tunefuse" + exe), run.dir / ("tunefuse" + exe));
    fs::create_directories(run.log);
    for (const char* tool : {"zx7", "pasmo", "bin2tap"})
        fs::copy_file(helper("fake_tool"), run.dir / "tools" / (tool + exe));
#ifdef _WIN32
    fs::copy_file(helper("fake_tool"), run.dir / "cmd.exe");  // the program's own folder is searched first
#else
    fs::copy_file(helper("fake_tool"), run.log / "xdg-open");
    run.options.env["PATH"] = run.log.string() + ":/usr/bin:/bin";
#endif
    write_string(run.dir / "asm" / "tunefuse.asm", " org 25500\n ret\n");
    write_bytes(run.dir / "music.pt3", make_module());
    write_bytes(run.dir / "game.tap", code("demo", 32000, 100));
    write_bytes(run.dir / "screen.scr", Bytes(6912, 0x38));
    write_bytes(run.dir / "other.tap", code("other", 32000, 200));
    if (!c.problem.empty()) write_string(run.dir / "demo.tap", "a tape of an earlier run");
    c.prepare(run.dir);
    run.before = snapshot(run, true);
    run.argv = {(run.dir / ("tunefuse" + exe)).string()};
    run.options.working_directory = root;
    run.options.env["FAKE_TOOL_LOG"] = run.log.string();
    for (const auto& [name, value] : c.env) run.options.env[name] = value;
    run.options.timeout_seconds = 60;
    return run;
}

void check_case(const FaultCase& c, const CaseRun& run) {
    SCOPED_TRACE(c.label);
    const std::string out = decoded(run.result.out), err = decoded(run.result.err);
    const auto after = snapshot(run, false);
    for (const auto& [name, bytes] : run.before)
        EXPECT_TRUE(after.contains(name) && after.at(name) == bytes) << name << " is gone or changed";
    EXPECT_TRUE(out.ends_with(closing_lines)) << out.substr(0, 3000);
    EXPECT_NE(out.find(c.shows), std::string::npos) << out.substr(0, 3000);
    // The opener is cmd.exe /c "path" on Windows; the stand-in reads its command line as a C runtime
    // does, and so gets the path split at its spaces.
    const std::string opener = host_is_windows ? "cmd" : "xdg-open", opened = host_is_windows ? "/c\x1f" : "";
    if (!c.problem.empty()) {
        EXPECT_EQ(run.result.exit_code, 1) << err;
        // Every line on standard error is the program's own: no tool's messages come with a refusal.
        ASSERT_TRUE(err.ends_with('\n')) << err;
        for (std::size_t at = 0; at < err.size(); at = err.find('\n', at) + 1)
            EXPECT_EQ(err.compare(at, 10, "tunefuse: "), 0) << err;
        const std::string line_end = c.problem.find("$kit/") == std::string::npos ? "" : "\n";
        EXPECT_NE(err.find("tunefuse: error: " + with_paths(c.problem, run.dir) + line_end),
                  std::string::npos)
            << err;
        EXPECT_EQ(after.size(), run.before.size()) << "a tape or an intermediate was left";
        EXPECT_FALSE(fs::exists(run.log / (opener + ".args"))) << "a tape was opened";
        return;
    }
    EXPECT_EQ(run.result.exit_code, 0) << err.substr(0, 2000);
    EXPECT_TRUE(c.warning.empty()
                    ? err.empty()
                    : err.starts_with("tunefuse: warning: " + c.warning) && err.find('\n') == err.size() - 1)
        << err;
    EXPECT_EQ(after.size(), run.before.size() + 1) << "only the output tape is new";
    std::string path = (run.dir / c.output).string();
    if (host_is_windows) std::replace(path.begin(), path.end(), ' ', '\x1f');
    EXPECT_EQ(read_string(run.log / (opener + ".args")), opened + path + "\n");
    // The output tape: the loader, as long as its header says, then bin2tap's blocks and the game.
    const Bytes& tape = after.at(fs::relative(run.dir / c.output, run.root).generic_string());
    const bool screen = out.find("Found screen") != std::string::npos;
    const Bytes game_part = c.game_part ? *c.game_part : read_bytes(run.dir / "game.tap");
    const std::string tail = (screen ? "BIN2TAP screen.bin 16384\n" : "") +
                             std::string("BIN2TAP tunefuse.bin 25500\n") +
                             std::string(c.music_part.begin(), c.music_part.end()) +
                             std::string(game_part.begin(), game_part.end());
    ASSERT_GT(tape.size(), tail.size() + 16);
    EXPECT_TRUE(std::string(tape.begin(), tape.end()).ends_with(tail));
    EXPECT_EQ(tape.size() - tail.size(), tape[14] + 256u * tape[15] + 25);
    if (!c.env.empty() || !c.shows.empty()) return;
    EXPECT_EQ(out, build_report(c.output));
    EXPECT_EQ(read_string(run.log / "author.bin"), "Tunefuse 1.6.1 Kestrin 2017-Tune/Me/music.pt3\r\n");
    // What each tool was called with, a line a call, the arguments separated by 0x1F.
    const auto calls = [&](const std::string& tool) { return read_string(run.log / (tool + ".args")); };
    EXPECT_EQ(calls("zx7"), with_paths("$kit/bin/music.pt3\n", run.dir));
    EXPECT_EQ(calls("pasmo"), with_paths("--err\x1f$kit/asm/tunefuse.asm\x1f$kit/tunefuse.bin\n", run.dir));
    const std::string append = "-append\x1f-o\x1fKRZCode.tap\x1f$kit/";
    EXPECT_EQ(calls("bin2tap"), with_paths(append + "screen.bin\x1f-a\x1f" + "16384\n" + append +
                                               "tunefuse.bin\x1f-a\x1f" + "25500\n",
                                           run.dir));
}

}  // namespace test
