#include "loader/loader_program.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using host::Text;
using loader::LoaderProgram;
using test::Bytes;
using test::hex_bytes;

const Text banner = u"Tunefuse 1.6.1 Kestrin 2017";

struct Line {
    int number = 0;
    int length = 0;
    Bytes bytes;  // number, length and text
};

// Splits program slots 1 to length into lines by their length fields. Fails the test when
// a line runs past the end.
std::vector<Line> lines_of(const LoaderProgram& program, int length) {
    std::vector<Line> lines;
    int position = 1;
    while (position <= length) {
        if (position + 3 > length) {
            ADD_FAILURE() << "line header cut off at slot " << position;
            break;
        }
        Line line;
        line.number = program.buffer[position] * 256 + program.buffer[position + 1];
        line.length = program.buffer[position + 2] + program.buffer[position + 3] * 256;
        int next = position + 4 + line.length;
        if (next - 1 > length) {
            ADD_FAILURE() << "line " << line.number << " runs past the program";
            break;
        }
        line.bytes.assign(program.buffer.begin() + position, program.buffer.begin() + next);
        lines.push_back(line);
        position = next;
    }
    return lines;
}

LoaderProgram ready_program() {
    LoaderProgram program;
    loader::build_token_texts(program);
    return program;
}

int compose_example(LoaderProgram& program, int screen_flag) {
    return loader::compose_loader(program, banner, u"Tune", u"Me", u"music.pt3", screen_flag);
}

// The ten lines of the loader for title Tune, author Me and music.pt3, without a screen.
const std::vector<Line> example_lines = {
    {10, 29,
     hex_bytes(
         "00 0A 1D 00 EA 54 75 6E 65 66 75 73 65 20 31 2E 36 2E 31 20 4B 65 73 74 72 69 6E 20 32 30 31 37 "
         "0D")},
    {20, 26,
     hex_bytes("00 14 1A 00 EA 4D 75 73 69 63 20 3A 20 54 75 6E 65 20 4D 65 6D 75 73 69 63 2E 70 74 33 0D")},
    {30, 28,
     hex_bytes(
         "00 1E 1C 00 E7 B0 22 30 22 3A DA B0 22 30 22 3A D9 B0 22 30 22 3A FD B0 22 32 35 34 39 39 22 0D")},
    {40, 23, hex_bytes("00 28 17 00 F4 32 33 37 33 39 0E 00 00 BB 5C 00 2C 31 31 31 0E 00 00 6F 00 00 0D")},
    {50, 5, hex_bytes("00 32 05 00 EF 22 22 AF 0D")},
    {60, 11, hex_bytes("00 3C 0B 00 F9 C0 B0 22 32 35 35 30 30 22 0D")},
    {70, 5, hex_bytes("00 46 05 00 EF 22 22 AF 0D")},
    {80, 11, hex_bytes("00 50 0B 00 F9 C0 B0 22 32 35 35 31 31 22 0D")},
    {90, 11, hex_bytes("00 5A 0B 00 F9 C0 B0 22 33 32 30 30 30 22 0D")},
    {100, 10, hex_bytes("00 64 0A 00 EC 39 30 0E 00 00 5A 00 00 0D")},
};

TEST(ComposeLoader, WorkedExampleWithoutScreenMatchesByteForByte) {
    LoaderProgram program = ready_program();
    ASSERT_EQ(compose_example(program, 0), 199);
    EXPECT_EQ(program.loader_length, 199);
    EXPECT_EQ(program.buffer[0], 0) << "slot 0 is never written";
    std::vector<Line> lines = lines_of(program, 199);
    ASSERT_EQ(lines.size(), example_lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(example_lines[i].number));
        EXPECT_EQ(lines[i].number, example_lines[i].number);
        EXPECT_EQ(lines[i].length, example_lines[i].length);
        EXPECT_EQ(lines[i].bytes, example_lines[i].bytes);
    }
    EXPECT_EQ(program.buffer[200], 0) << "nothing is written after the program";
}

TEST(ComposeLoader, ScreenAddsLoadLineAtSixtyAndGoesBackToOneHundred) {
    LoaderProgram program = ready_program();
    ASSERT_EQ(compose_example(program, 1), 209);
    std::vector<Line> lines = lines_of(program, 209);
    ASSERT_EQ(lines.size(), 11u);
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].number, 10 * static_cast<int>(i + 1));
    const Bytes load_code = hex_bytes("EF 22 22 AF 0D");
    for (std::size_t index : {4u, 5u, 7u}) {
        SCOPED_TRACE("line " + std::to_string(lines[index].number));
        EXPECT_EQ(Bytes(lines[index].bytes.begin() + 4, lines[index].bytes.end()), load_code);
    }
    EXPECT_EQ(lines[10].bytes, hex_bytes("00 6E 0B 00 EC 31 30 30 0E 00 00 64 00 00 0D"));
    // Lines 70 to 100 are the example's lines 60 to 90 under new numbers.
    for (std::size_t i = 6; i < 10; ++i)
        EXPECT_EQ(Bytes(lines[i].bytes.begin() + 2, lines[i].bytes.end()),
                  Bytes(example_lines[i - 1].bytes.begin() + 2, example_lines[i - 1].bytes.end()));
}

TEST(ComposeLoader, OnlyScreenFlagOneAddsTheScreenLine) {
    for (int flag : {0, 2, -1, 255}) {
        LoaderProgram program = ready_program();
        EXPECT_EQ(compose_example(program, flag), 199) << "screen flag " << flag;
    }
}

TEST(ComposeLoader, EmptyTitleAndAuthorKeepTheSeparatingSpace) {
    LoaderProgram program = ready_program();
    int length = loader::compose_loader(program, banner, u"", u"", u"music.pt3", 0);
    EXPECT_EQ(length, 199 - 6);
    std::vector<Line> lines = lines_of(program, length);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].bytes,
              hex_bytes("00 14 14 00 EA 4D 75 73 69 63 20 3A 20 20 6D 75 73 69 63 2E 70 74 33 0D"));
}

TEST(ComposeLoader, TitleAndAuthorAreTakenUntrimmed) {
    LoaderProgram program = ready_program();
    int length = loader::compose_loader(program, banner, u" T  ", u"A ", u"m", 0);
    std::vector<Line> lines = lines_of(program, length);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Bytes(lines[1].bytes.begin() + 4, lines[1].bytes.end()),
              hex_bytes("EA 4D 75 73 69 63 20 3A 20 20 54 20 20 20 41 20 6D 0D"));
}

TEST(ComposeLoader, EscapeCharacterInAnyTextBecomesZeroByte) {
    const Text escape(1, u'\u00D3');
    struct Case {
        const char* where;
        Text banner, title, author, file;
        std::size_t line;
    };
    const Case cases[] = {
        {"banner", escape, u"T", u"A", u"f", 0},
        {"title", u"B", escape, u"A", u"f", 1},
        {"author", u"B", u"T", escape, u"f", 1},
        {"file name", u"B", u"T", u"A", escape, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        LoaderProgram program = ready_program();
        int length = loader::compose_loader(program, c.banner, c.title, c.author, c.file, 0);
        std::vector<Line> lines = lines_of(program, length);
        ASSERT_GE(lines.size(), 2u);
        const Bytes& text = lines[c.line].bytes;
        int zeros = 0, escapes = 0;
        for (std::size_t i = 4; i < text.size(); ++i) {
            zeros += text[i] == 0x00;
            escapes += text[i] == 0xD3;
        }
        EXPECT_EQ(zeros, 1);
        EXPECT_EQ(escapes, 0);
    }
}

struct EscapeCase {
    char16_t code;
    std::uint8_t byte;
};

TEST(AddLine, EachCharacterBecomesOneByteWithTheEscapeTestedBeforeCutting) {
    const EscapeCase cases[] = {
        {0xD3, 0x00}, {467, 0xD3},   {300, 44},     {0x41, 0x41},   {0x0D, 0x0D},
        {0xFF, 0xFF}, {0x100, 0x00}, {0x1FF, 0xFF}, {0xFFFF, 0xFF}, {0xD3D3, 0xD3},
    };
    for (const EscapeCase& c : cases) {
        LoaderProgram program;
        ASSERT_EQ(loader::add_line(program, 10, Text(1, c.code)), 6);
        EXPECT_EQ(program.buffer[5], c.byte) << "code " << static_cast<int>(c.code);
        EXPECT_EQ(program.buffer[6], 0x0D);
    }
}

struct LayoutCase {
    int number;
    std::size_t text_length;
    const char* number_and_length;
};

TEST(AddLine, NumberIsHighByteFirstAndLengthLowByteFirstCountingTheLineEnd) {
    const LayoutCase cases[] = {
        {10, 28, "00 0A 1D 00"},    {100, 0, "00 64 01 00"},     {300, 4, "01 2C 05 00"},
        {9999, 299, "27 0F 2C 01"}, {65535, 255, "FF FF 00 01"},
    };
    for (const LayoutCase& c : cases) {
        LoaderProgram program;
        int end = loader::add_line(program, c.number, Text(c.text_length, u'x'));
        EXPECT_EQ(end, static_cast<int>(c.text_length) + 5);
        EXPECT_EQ(Bytes(program.buffer.begin() + 1, program.buffer.begin() + 5),
                  hex_bytes(c.number_and_length))
            << "line " << c.number;
        EXPECT_EQ(program.buffer[end], 0x0D);
    }
}

TEST(AddLine, LinesFollowEachOtherFromTheWritePosition) {
    LoaderProgram program;
    EXPECT_EQ(loader::add_line(program, 1, u"A"), 6);
    EXPECT_EQ(loader::add_line(program, 2, u"BC"), 13);
    EXPECT_EQ(Bytes(program.buffer.begin(), program.buffer.begin() + 15),
              hex_bytes("00 00 01 02 00 41 0D 00 02 03 00 42 43 0D 00"));
}

TEST(AddLine, LineThatWouldNotFitTheBufferIsLeftOut) {
    LoaderProgram program;
    const int last_slot = loader::program_buffer_slots - 1;
    // A line that ends exactly in the last slot still fits.
    ASSERT_EQ(loader::add_line(program, 10, Text(last_slot - 5, u'a')), last_slot);
    EXPECT_EQ(program.buffer[last_slot], 0x0D);
    EXPECT_EQ(loader::add_line(program, 20, u""), last_slot);

    LoaderProgram other;
    EXPECT_EQ(loader::add_line(other, 10, Text(last_slot - 4, u'a')), 0);
    EXPECT_EQ(loader::add_line(other, 10, Text(70000, u'a')), 0) << "length would not fit 16 bits";
    EXPECT_EQ(other.buffer[1], 0) << "nothing of a left-out line is written";
    EXPECT_EQ(loader::add_line(other, 10, u"ok"), 7) << "a later line that fits is still added";
}

TEST(AddLine, WritePositionOutsideTheBufferWritesNothing) {
    for (int position : {-1, -100000, loader::program_buffer_slots, 1 << 30}) {
        LoaderProgram program;
        program.write_position = position;
        EXPECT_EQ(loader::add_line(program, 10, u"x"), position);
    }
}

Text random_text(std::mt19937& random, std::size_t max_length) {
    std::uniform_int_distribution<std::size_t> length(0, max_length);
    std::uniform_int_distribution<int> code(0, 0xFFFF);
    Text text(length(random), u'\0');
    for (char16_t& c : text) c = static_cast<char16_t>(code(random));
    return text;
}

TEST(ComposeLoader, RandomTextsOfAnyLengthStayInsideTheBuffer) {
    std::mt19937 random(20171);
    for (int round = 0; round < 60; ++round) {
        std::size_t limit = round % 3 == 0 ? 100000 : 200;
        LoaderProgram program = ready_program();
        Text banner_text = random_text(random, limit), title = random_text(random, limit);
        Text author = random_text(random, limit), file = random_text(random, limit);
        int length = loader::compose_loader(program, banner_text, title, author, file, round % 2);
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_GE(length, 0);
        ASSERT_LT(length, loader::program_buffer_slots);
        EXPECT_EQ(program.buffer[0], 0);
        std::vector<Line> lines = lines_of(program, length);
        ASSERT_FALSE(lines.empty());
        // The closing GO TO is left out only when the buffer has no room left for it.
        const Bytes go_back = round % 2 ? hex_bytes("00 6E 0B 00 EC 31 30 30 0E 00 00 64 00 00 0D")
                                        : hex_bytes("00 64 0A 00 EC 39 30 0E 00 00 5A 00 00 0D");
        if (length + static_cast<int>(go_back.size()) < loader::program_buffer_slots) {
            EXPECT_EQ(lines.back().bytes, go_back);
        }
        for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_GT(lines[i].number, lines[i - 1].number);
    }
}

}  // namespace
