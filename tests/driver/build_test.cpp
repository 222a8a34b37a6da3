// The whole build with the real kit: the program, its tools, pasmo and the player source make a
// tape from the demo inputs in a temporary program directory, and Fuse's own tape readers judge
// it: listbasic lists the loader, tzxlist the blocks and their checksums.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        names.insert(fs::relative(entry.path(), dir).string());
    return names;
}

// The lines of tzxlist's listing that say what each block is, the player's length left out.
std::string blocks_of(const fs::path& tape) {
    const std::string listing = test::run_process({"tzxlist", tape.string()}).out;
    static const std::regex block(R"((Program|Bytes): .*)");
    std::string blocks;
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), block); it != std::sregex_iterator();
         ++it)
        blocks += std::regex_replace(it->str(), std::regex("25500, [0-9]+"), "25500, N") + "\n";
    return blocks;
}

// Each number in a BASIC line carries, after its digits, the five-byte form the ROM uses: 0x0E,
// then the number as a small integer. listbasic shows the digits only.
void expect_hidden_numbers(const std::string& program) {
    int numbers = 0;
    for (std::size_t at = program.find('\x0E'); at != std::string::npos; at = program.find('\x0E', at + 6)) {
        std::size_t digits = at;
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(program[digits - 1]))) --digits;
        ASSERT_LT(digits, at) << "a hidden number without digits";
        const int value = std::stoi(program.substr(digits, at - digits));
        EXPECT_EQ(program.substr(at + 1, 5),
                  std::string({0, 0, static_cast<char>(value & 0xFF), static_cast<char>(value >> 8), 0}))
            << value;
        ++numbers;
    }
    EXPECT_EQ(numbers, 3) << "POKE 23739,111 and the closing GO TO";
}

TEST(BuildTest, TheKitMakesALoadingTapeFromTheDemo) {
    if (!fs::exists("/usr/bin/listbasic") || !fs::exists("/usr/bin/tzxlist"))
        GTEST_SKIP() << "listbasic and tzxlist (Debian package fuse-emulator-utils) are not installed";
    test::TempDir temp;
    const fs::path dir = temp / "kit";
    fs::copy(test::kit_dir(), dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    // The title with spaces before it, which the credits leave out.
    Bytes module = test::read_bytes(dir / "music.pt3");
    const std::string title = "  Spaced Title" + std::string(18, ' ');
    std::copy(title.begin(), title.end(), module.begin() + 30);
    test::write_bytes(dir / "music.pt3", module);
    fs::rename(dir / "screen.scr", temp / "screen.scr");
    const std::string head =
        "   10 REM Tunefuse 1.6.1 Kestrin 2017\n"
        "   20 REM Music :   Spaced Title" +
        std::string(20, ' ') + "the tunefuse kit" + std::string(17, ' ') +
        "music.pt3\n"
        "   30 BORDER VAL \"0\": PAPER VAL \"0\": INK VAL \"0\": CLEAR VAL \"25499\"\n"
        "   40 POKE 23739,111\n   50 LOAD \"\"CODE \n";
    const std::string without_screen =
        head +
        "   60 RANDOMIZE USR VAL \"25500\"\n   70 LOAD \"\"CODE \n"
        "   80 RANDOMIZE USR VAL \"25511\"\n   90 RANDOMIZE USR VAL \"32000\"\n  100 GO TO 90\n";
    const std::string with_screen =
        head +
        "   60 LOAD \"\"CODE \n   70 RANDOMIZE USR VAL \"25500\"\n   80 LOAD \"\"CODE \n"
        "   90 RANDOMIZE USR VAL \"25511\"\n  100 RANDOMIZE USR VAL \"32000\"\n  110 GO TO 100\n";
    for (bool screen : {false, true}) {
        SCOPED_TRACE(screen ? "with a screen" : "without a screen");
        if (screen) fs::copy_file(temp / "screen.scr", dir / "screen.scr");
        std::set<std::string> before = names_in(dir);
        before.insert("tunedemo.tap");
        test::ProcessOptions options;
        options.working_directory = dir;
        options.env["PATH"] = (temp / "no opener").string();
        const auto result = test::run_process({(dir / "tunefuse").string()}, options);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("Music Title\t\t:   Spaced Title   "), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("Building tapes\t\t: tunedemo.tap Done\n"), std::string::npos)
            << result.out;
        EXPECT_EQ(names_in(dir), before) << "only the tape is new";
        EXPECT_EQ(test::read_bytes(dir / "music.pt3"), module);

        const fs::path tape = dir / "tunedemo.tap";
        const std::string bytes = test::read_string(tape);
        EXPECT_EQ(test::run_process({"listbasic", tape.string()}).out, screen ? with_screen : without_screen);
        const std::string listing = test::run_process({"tzxlist", tape.string()}).out;
        EXPECT_EQ(listing.find("FAIL"), std::string::npos) << listing;
        EXPECT_EQ(blocks_of(tape),
                  "Program: \"tunedemo  \" LINE 0\n" +
                      std::string(screen ? "Bytes: \"screen    \" SCREEN$  16384, 6912\n" : "") +
                      "Bytes: \"tunefuse  \" CODE  25500, N\n" + blocks_of(dir / "game.tap"));
        EXPECT_TRUE(bytes.ends_with(test::read_string(dir / "game.tap")));
        EXPECT_NE(bytes.find("Tunefuse 1.6.1 Kestrin 2017-Spaced Title/the tunefuse kit/music.pt3"),
                  std::string::npos)
            << "the credits in the player";
        const int length =
            static_cast<unsigned char>(bytes[14]) + 256 * static_cast<unsigned char>(bytes[15]);
        expect_hidden_numbers(bytes.substr(24, length));
    }
}

}  // namespace
