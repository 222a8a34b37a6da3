#include "loader/tape_blocks.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "host/files.hpp"
#include "loader/loader_program.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using host::Text;
using loader::LoaderProgram;
using loader::TapeImage;
using test::Bytes;
using test::hex_bytes;

const Text banner = u"Tunefuse 1.6.1 Kestrin 2017";

LoaderProgram example_program(int screen_flag, const Text& title = u"Tune") {
    LoaderProgram program;
    loader::build_token_texts(program);
    loader::compose_loader(program, banner, title, u"Me", u"music.pt3", screen_flag);
    return program;
}

Bytes header_slots(const TapeImage& image) {
    Bytes bytes;
    for (int slot = 0; slot < 21; ++slot) bytes.push_back(static_cast<std::uint8_t>(image.slots[slot]));
    return bytes;
}

Text path_text(const fs::path& path) {
    return host::from_utf8(path.string());
}

// Builds both blocks for the program and writes them to the named file.
void write_loader_tape(const LoaderProgram& program, const Text& name, const fs::path& file) {
    TapeImage image;
    int end = loader::build_header(image, name, program.loader_length);
    loader::write_tape(image, program, path_text(file), end);
}

// The blocks of a TAP file (flag, contents and checksum each), or a failure when a block
// runs past the end.
std::vector<Bytes> tape_blocks(const Bytes& tape) {
    std::vector<Bytes> blocks;
    std::size_t position = 0;
    while (position + 2 <= tape.size()) {
        std::size_t length = tape[position] + tape[position + 1] * 256u;
        position += 2;
        if (position + length > tape.size()) {
            ADD_FAILURE() << "block at offset " << position - 2 << " runs past the end";
            break;
        }
        blocks.emplace_back(tape.begin() + position, tape.begin() + position + length);
        position += length;
    }
    EXPECT_EQ(position, tape.size()) << "trailing bytes after the last block";
    return blocks;
}

std::uint8_t xor_of(const Bytes& bytes) {
    std::uint8_t value = 0;
    for (std::uint8_t byte : bytes) value ^= byte;
    return value;
}

struct NameCase {
    const char* what;
    Text name;
    int loader_length;
    const char* name_bytes;
    int checksum;
};

TEST(BuildHeader, NameIsCutOrPaddedToTenLowBytesWithoutTheEscape) {
    const NameCase cases[] = {
        {"longer than ten", u"ABCDEFGHIJKLMN", 199, "41 42 43 44 45 46 47 48 49 4A", 0x0B},
        {"empty", u"", 199, "20 20 20 20 20 20 20 20 20 20", 0x00},
        {"exactly ten", u"0123456789", 5, "30 31 32 33 34 35 36 37 38 39", 0x01},
        {"escape character stays", u"\u00D3", 199, "D3 20 20 20 20 20 20 20 20 20", 0xF3},
        {"above 255 gives low bits", u"\u0141bc", 300, "41 62 63 20 20 20 20 20 20 20", 0x60},
        {"zero character", Text(1, u'\0') + u"Z", 1, "00 5A 20 20 20 20 20 20 20 20", 0x5A},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.what);
        TapeImage image;
        loader::build_header(image, c.name, c.loader_length);
        Bytes header = header_slots(image);
        EXPECT_EQ(Bytes(header.begin() + 4, header.begin() + 14), hex_bytes(c.name_bytes));
        EXPECT_EQ(header[20], c.checksum);
        EXPECT_EQ(xor_of(Bytes(header.begin() + 2, header.end())), 0) << "header block XORs to zero";
    }
}

TEST(BuildHeader, LengthFieldsAreLowByteFirstAndCancelInTheChecksum) {
    for (int length : {0, 1, 199, 255, 256, 4660, 65512}) {
        SCOPED_TRACE(length);
        TapeImage image;
        EXPECT_EQ(loader::build_header(image, u"Game", length), length + 22);
        Bytes header = header_slots(image);
        const Bytes field = {static_cast<std::uint8_t>(length % 256),
                             static_cast<std::uint8_t>(length / 256)};
        EXPECT_EQ(Bytes(header.begin() + 14, header.begin() + 16), field);
        EXPECT_EQ(Bytes(header.begin() + 16, header.begin() + 18), hex_bytes("00 00")) << "autostart line 0";
        EXPECT_EQ(Bytes(header.begin() + 18, header.begin() + 20), field);
        EXPECT_EQ(header[20], 0x47 ^ 0x61 ^ 0x6D ^ 0x65) << "the checksum is the XOR of the name bytes";
    }
}

struct TapeCase {
    const char* what;
    int screen_flag;
    Text title;
    Text name;
};

TEST(WriteTape, EveryBlockXorsToZeroAndTheFileIsTheLoaderPlusTwentyFive) {
    const TapeCase cases[] = {
        {"no screen", 0, u"Tune", u"Game"},
        {"screen", 1, u"Tune", u""},
        {"long title, escape characters", 1, Text(2000, u'\u00D3'), u"\u00D3\u00D3\u00D3"},
        {"all byte values in the title", 0, Text(u"\u00FF\u0100\u01D3\u000D\u00FE"), u"ABCDEFGHIJKLMN"},
    };
    for (const TapeCase& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        LoaderProgram program = example_program(c.screen_flag, c.title);
        write_loader_tape(program, c.name, dir / "KRZCode.tap");
        Bytes tape = test::read_bytes(dir / "KRZCode.tap");
        EXPECT_EQ(tape.size(), static_cast<std::size_t>(program.loader_length) + 25);
        std::vector<Bytes> blocks = tape_blocks(tape);
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(blocks[0].size(), 19u);
        EXPECT_EQ(blocks[0][0], 0x00) << "header flag";
        EXPECT_EQ(blocks[1][0], 0xFF) << "data flag";
        for (const Bytes& block : blocks) EXPECT_EQ(xor_of(block), 0);
    }
}

TEST(WriteTape, ReplacesAnExistingLongerOrReadOnlyFileCompletely) {
    for (bool read_only : {false, true}) {
        SCOPED_TRACE(read_only ? "read-only" : "longer");
        test::TempDir dir;
        const fs::path file = dir / "KRZCode.tap";
        test::write_bytes(file, Bytes(5000, 0xAA));
        if (read_only)
            fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        LoaderProgram program = example_program(0);
        write_loader_tape(program, u"Game", file);
        Bytes tape = test::read_bytes(file);
        ASSERT_EQ(tape.size(), 224u);
        EXPECT_EQ(tape[223], 0xC8);
    }
}

TEST(WriteTape, UnwritablePlaceWritesNothingAndFreesNothingElse) {
    test::TempDir dir;
    LoaderProgram program = example_program(0);
    write_loader_tape(program, u"Game", dir / "missing-folder" / "KRZCode.tap");
    EXPECT_FALSE(fs::exists(dir / "missing-folder"));
    EXPECT_EQ(host::file_length(0), -1);
}

TEST(WriteTape, EndBeyondTheTapeImageWritesNoTapeAndLeavesNoStaleOne) {
    for (int end : {65512 + 23, 70000, INT32_MAX, 21, -5, INT32_MIN}) {
        SCOPED_TRACE(end);
        test::TempDir dir;
        const fs::path file = dir / "KRZCode.tap";
        test::write_bytes(file, Bytes(300, 0x55));
        LoaderProgram program = example_program(0);
        TapeImage image;
        loader::write_tape(image, program, path_text(file), end);
        EXPECT_FALSE(fs::exists(file));
    }
}

TEST(WriteTape, LargestProgramTheImageHoldsIsWrittenWhole) {
    test::TempDir dir;
    LoaderProgram program;
    const int length = loader::tape_image_slots - 25;
    for (int slot = 1; slot <= length; ++slot) program.buffer[slot] = static_cast<std::uint8_t>(slot * 7);
    program.loader_length = length;
    write_loader_tape(program, u"Big", dir / "KRZCode.tap");
    Bytes tape = test::read_bytes(dir / "KRZCode.tap");
    ASSERT_EQ(tape.size(), static_cast<std::size_t>(length) + 25);
    for (const Bytes& block : tape_blocks(tape)) EXPECT_EQ(xor_of(block), 0);
}

std::optional<fs::path> program_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t stop = dirs.find(':', start);
        if (stop == std::string::npos) stop = dirs.size();
        fs::path candidate = fs::path(dirs.substr(start, stop - start)) / name;
        if (!candidate.empty() && fs::exists(candidate)) return candidate;
        start = stop + 1;
    }
    return std::nullopt;
}

TEST(WriteTape, TzxlistPassesBothChecksums) {
    auto tzxlist = program_on_path("tzxlist");
    if (!tzxlist) GTEST_SKIP() << "tzxlist (fuse-emulator-utils) is not installed";
    for (int screen_flag : {0, 1}) {
        test::TempDir dir;
        write_loader_tape(example_program(screen_flag), u"Game", dir / "T.tap");
        test::ProcessResult listed = test::run_process({tzxlist->string(), (dir / "T.tap").string()});
        SCOPED_TRACE(listed.out + listed.err);
        EXPECT_EQ(listed.exit_code, 0);
        EXPECT_EQ(listed.out.find("FAIL"), std::string::npos);
        EXPECT_NE(listed.out.find("Program: \"Game      \" LINE 0"), std::string::npos);
        std::size_t passes = 0;
        for (std::size_t at = listed.out.find("(PASS)"); at != std::string::npos;
             at = listed.out.find("(PASS)", at + 1))
            ++passes;
        EXPECT_EQ(passes, 2u);
    }
}

TEST(WriteTape, ListbasicListsTheLoaderLines) {
    auto listbasic = program_on_path("listbasic");
    if (!listbasic) GTEST_SKIP() << "listbasic (fuse-emulator-utils) is not installed";
    const std::string first_lines =
        "   10 REM Tunefuse 1.6.1 Kestrin 2017\n"
        "   20 REM Music : Tune Memusic.pt3\n"
        "   30 BORDER VAL \"0\": PAPER VAL \"0\": INK VAL \"0\": CLEAR VAL \"25499\"\n"
        "   40 POKE 23739,111\n"
        "   50 LOAD \"\"CODE \n";
    const std::string without_screen = first_lines +
                                       "   60 RANDOMIZE USR VAL \"25500\"\n"
                                       "   70 LOAD \"\"CODE \n"
                                       "   80 RANDOMIZE USR VAL \"25511\"\n"
                                       "   90 RANDOMIZE USR VAL \"32000\"\n"
                                       "  100 GO TO 90\n";
    const std::string with_screen = first_lines +
                                    "   60 LOAD \"\"CODE \n"
                                    "   70 RANDOMIZE USR VAL \"25500\"\n"
                                    "   80 LOAD \"\"CODE \n"
                                    "   90 RANDOMIZE USR VAL \"25511\"\n"
                                    "  100 RANDOMIZE USR VAL \"32000\"\n"
                                    "  110 GO TO 100\n";
    for (int screen_flag : {0, 1}) {
        test::TempDir dir;
        write_loader_tape(example_program(screen_flag), u"Game", dir / "T.tap");
        test::ProcessResult listed = test::run_process({listbasic->string(), (dir / "T.tap").string()});
        EXPECT_EQ(listed.exit_code, 0) << listed.err;
        EXPECT_EQ(listed.out, screen_flag ? with_screen : without_screen);
    }
}

}  // namespace
