#include "game_tape_cases.hpp"

#include <initializer_list>

#include "build_inputs.hpp"

namespace test {

namespace {

constexpr std::uint8_t program_type = 0;
constexpr std::uint8_t code_type = 3;

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes tape;
    for (const Bytes& part : parts) tape.insert(tape.end(), part.begin(), part.end());
    return tape;
}

// A header block: type, the name padded to ten bytes, the length and two parameters.
Bytes header_block(std::uint8_t type, const std::string& name, unsigned length, unsigned first,
                   unsigned second) {
    Bytes contents = {type};
    for (char c : (name + std::string(10, ' ')).substr(0, 10))
        contents.push_back(static_cast<std::uint8_t>(c));
    for (unsigned word : {length, first, second}) {
        contents.push_back(static_cast<std::uint8_t>(word & 0xFF));
        contents.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    return tape_block(0x00, contents);
}

// A CODE header and its data block, as SAVE "name" CODE address,length makes them.
Bytes code(const std::string& name, unsigned address, unsigned length) {
    return joined(
        {header_block(code_type, name, length, address, 32768), tape_block(0xFF, Bytes(length, 0xAA))});
}

// A BASIC loader of the game's own, as many tapes begin: a program header named "demo" and
// its five bytes.
Bytes basic_loader() {
    return joined(
        {header_block(program_type, "demo", 5, 10, 5), tape_block(0xFF, hex_bytes("00 0A 01 00 0D"))});
}

// The block with its last byte, the checksum, changed.
Bytes bad_checksum(Bytes block) {
    block.back() ^= 0x01;
    return block;
}

Bytes cut_short(Bytes tape, std::size_t size) {
    tape.resize(size);
    return tape;
}

const std::string start_at_32000 = " Assemble the game to load at 32000 or above and to start at 32000";

}  // namespace

std::vector<GameTapeCase> game_tape_cases() {
    const Bytes data_100 = tape_block(0xFF, Bytes(100, 0xAA));
    std::vector<GameTapeCase> cases = {
        {"code at 32000", code("demo", 32000, 100), "", "", "demo.tap"},
        {"code at 32000 after a BASIC loader", joined({basic_loader(), code("game", 32000, 100)}), "", "",
         "demo.tap"},
        {"code at 32000 ending at 65535", code("demo", 32000, 33536), "", "", "demo.tap"},
        {"code at 32001", code("demo", 32001, 100), "",
         "game.tap, block 1 (code \"demo\", 100 bytes at 32001): the first code block on the tape loads at "
         "32001, but the loader starts the game at 32000; the game starts only if the memory at 32000 "
         "happens to "
         "be empty. Assemble the game at 32000, or begin the block at 32000 with a jump to "
         "the game's start there (JP 32001)",
         "demo.tap"},
        {"code running past 65535", code("demo", 32000, 33537),
         "game.tap, block 1 (code \"demo\", 33537 bytes at 32000): the first code block on the tape runs "
         "past "
         "the end of memory at 65535 (to 65536). Loading at 32000, it may hold at most 33536 bytes",
         "", "demo.tap"},
        {"code below 25500", code("demo", 24500, 1000),
         "game.tap, block 1 (code \"demo\", 1000 bytes at 24500): the first code block on the tape loads "
         "below "
         "32000, over the loader's own BASIC program and stack (below 25500)." +
             start_at_32000,
         "", "demo.tap"},
        {"code from below 25500 up to 25500", code("demo", 24500, 1001),
         "game.tap, block 1 (code \"demo\", 1001 bytes at 24500): the first code block on the tape loads "
         "below "
         "32000, over the loader's own BASIC program and stack (below 25500) and the music player (25500 to "
         "31999)." +
             start_at_32000,
         "", "demo.tap"},
        {"code from 31999", code("demo", 31999, 100),
         "game.tap, block 1 (code \"demo\", 100 bytes at 31999): the first code block on the tape loads "
         "below "
         "32000, over the music player (25500 to 31999)." +
             start_at_32000,
         "", "demo.tap"},
        {"screen first", joined({basic_loader(), code("screen", 16384, 6912), code("game", 32000, 100)}),
         "game.tap, block 3 (code \"screen\", 6912 bytes at 16384): the first code block on the tape is a "
         "loading screen, and the loader's LOAD \"\" CODE would load it in place of the game. Save the "
         "screen "
         "as screen.scr in the program directory, where the loader shows it while the rest loads, and remove "
         "it from game.tap",
         "", "demo.tap"},
        {"empty code block", code("demo", 32000, 0),
         "game.tap, block 1 (code \"demo\", 0 bytes at 32000): the first code block on the tape holds no "
         "bytes, "
         "so nothing of the game lies at 32000. Save the game's code in it",
         "", "demo.tap"},
        {"no code block", basic_loader(),
         "game.tap holds no code block (a CODE header and its data) for the loader's LOAD \"\" CODE. Save "
         "the "
         "game's code on game.tap with a header, to load and start at 32000",
         "", "demo.tap"},
        {"headerless code", joined({basic_loader(), data_100, code("game", 32000, 100)}),
         "game.tap, block 3 (100 bytes of data without a header): the loader's LOAD \"\" CODE loads only "
         "code "
         "saved with a header, so it passes over this block and does not load the game. Save the game's code "
         "with a CODE header, to load and start at 32000",
         "", "demo.tap"},
        {"bad checksum", joined({header_block(code_type, "demo", 100, 32000, 32768), bad_checksum(data_100)}),
         "game.tap, block 2 (the data of code \"demo\", 100 bytes at 32000): its checksum is wrong, so the "
         "loader would stop with a tape loading error. Save the game's tape again",
         "", "demo.tap"},
        {"bad header checksum",
         joined({bad_checksum(header_block(code_type, "demo", 100, 32000, 32768)), data_100}),
         "game.tap, block 1 (code \"demo\", 100 bytes at 32000): the header's checksum is wrong, so the tape "
         "is "
         "damaged. Save the game's tape again",
         "", "demo.tap"},
        {"truncated code block",
         joined({header_block(code_type, "demo", 100, 32000, 32768), tape_block(0xFF, Bytes(50, 0xAA))}),
         "game.tap, block 2 (the data of code \"demo\", 100 bytes at 32000): it holds 50 bytes where its "
         "header "
         "gives 100, so the loader would stop with a tape loading error. Save the game's tape again",
         "", "demo.tap"},
        {"header without its data", header_block(code_type, "demo", 100, 32000, 32768),
         "game.tap, block 1 (code \"demo\", 100 bytes at 32000): no data block follows this header, so the "
         "tape is damaged. Save the game's tape again",
         "", "demo.tap"},
        {"header block cut short", joined({basic_loader(), tape_block(0x00, hex_bytes("03 67 61 6D 65"))}),
         "game.tap, block 3 (a header block of 7 bytes, where a header block has 19): the tape is damaged. "
         "Save the game's tape again",
         "", "demo.tap"},
        {"file cut short in the last block", cut_short(code("demo", 32000, 100), 21 + 2 + 101),
         "game.tap is not a tape file: block 2 should have 102 bytes, but the file ends after 101 of them",
         "", "demo.tap"},
        {"file shorter than a header", cut_short(code("demo", 32000, 100), 10),
         "game.tap is not a tape file: block 1 should have 19 bytes, but the file ends after 8 of them", "",
         "demo.tap"},
        {"file ending inside a block length", joined({code("demo", 32000, 100), {0x05}}),
         "game.tap is not a tape file: the file ends inside the length of block 3", "", "demo.tap"},
        {"block of length 0", joined({code("demo", 32000, 100), {0x00, 0x00}}),
         "game.tap is not a tape file: block 3 has a length of 0", "", "demo.tap"},
        {"not a tape", bytes_of(std::string(3000, 'x')),
         "game.tap is not a tape file: block 1 should have 30840 bytes, but the file ends after 2998 of them",
         "", "xxxxxxxxxx.tap"},
    };

    // Real tapes as their makers' tools left them: none starts its code at 32000.
    if (auto corpus = corpus_dir()) {
        const fs::path tapes = *corpus / "tap";
        cases.push_back(
            {"z88dk BlackStar: loading screen first", read_bytes(tapes / "z88dk_blackstar.tap"),
             "game.tap, block 3 (code \"screen\", 6912 bytes at 16384): the first code block on the "
             "tape is a loading screen, and the loader's LOAD \"\" CODE would load it in place of "
             "the game. Save the screen as screen.scr in the program directory, where the loader "
             "shows it while the rest loads, and remove it from game.tap",
             "", "blackstr.tap"});
        cases.push_back(
            {"z88dk Tritone demo: code at 40000", read_bytes(tapes / "z88dk_tritone_demo.tap"), "",
             "game.tap, block 3 (code \"tritone\", 10058 bytes at 40000): the first code block on "
             "the tape loads at 40000, but the loader starts the game at 32000; the game starts "
             "only if the memory from 32000 to 39999 happens to be empty. Assemble the game at "
             "32000, or begin the block at 32000 with a jump to the game's start there (JP 40000)",
             "TRITONE.tap"});
        cases.push_back(
            {"z88dk SP1 demo: code at 32768", read_bytes(tapes / "z88dk_sp1_demo1.tap"), "",
             "game.tap, block 3 (code \"demo\", 9914 bytes at 32768): the first code block on the "
             "tape loads at 32768, but the loader starts the game at 32000; the game starts only if "
             "the memory from 32000 to 32767 happens to be empty. Assemble the game at 32000, or "
             "begin the block at 32000 with a jump to the game's start there (JP 32768)",
             "Loader.tap"});
        cases.push_back(
            {"olbrich test game: code at 32768", read_bytes(tapes / "olbrich_test_game.tap"), "",
             "game.tap, block 3 (code \"code\", 2269 bytes at 32768): the first code block on the "
             "tape loads at 32768, but the loader starts the game at 32000; the game starts only if "
             "the memory from 32000 to 32767 happens to be empty. Assemble the game at 32000, or "
             "begin the block at 32000 with a jump to the game's start there (JP 32768)",
             "test-game.tap"});
    }
    return cases;
}

std::string game_tape_messages(const GameTapeCase& c) {
    std::string messages;
    if (!c.warning.empty()) messages += "tunefuse: warning: " + c.warning + "\n";
    if (!c.error.empty())
        messages += "tunefuse: error: " + c.error +
                    "\ntunefuse: error: no output tape was written: " + c.output + "\n";
    return messages;
}

}  // namespace test
