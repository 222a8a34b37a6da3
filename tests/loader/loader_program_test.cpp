#include "loader/loader_program.hpp"

#include <gtest/gtest.h>

#include <cstdint>
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

// listbasic judges the listing of the loader (tape_blocks_test); what it does not show is the
// five-byte form the ROM keeps after each number in a line, which is what the ROM actually uses.
// Each must be the number written before it, as a small integer: 0x0E 00 00 low high 00.
TEST(ComposeLoader, EveryNumberCarriesItsOwnHiddenValue) {
    for (int screen_flag : {0, 1}) {
        SCOPED_TRACE(screen_flag);
        LoaderProgram program = ready_program();
        const int length = compose_example(program, screen_flag);
        ASSERT_EQ(length, screen_flag ? 209 : 199);
        EXPECT_EQ(program.buffer[0], 0) << "slot 0 is never written";
        EXPECT_EQ(program.buffer[length + 1], 0) << "nothing is written after the program";
        int numbers = 0;
        for (const Line& line : lines_of(program, length)) {
            if (line.bytes[4] == 0xEA) continue;  // REM: the texts are the user's
            for (std::size_t at = 4; at < line.bytes.size(); ++at) {
                if (line.bytes[at] != 0x0E) continue;
                std::size_t digits = at;
                while (digits > 4 && line.bytes[digits - 1] >= '0' && line.bytes[digits - 1] <= '9') --digits;
                ASSERT_LT(digits, at) << "line " << line.number << ": a hidden number without digits";
                const int value =
                    std::stoi(std::string(line.bytes.begin() + digits, line.bytes.begin() + at));
                ASSERT_LE(at + 6, line.bytes.size());
                EXPECT_EQ(Bytes(line.bytes.begin() + at + 1, line.bytes.begin() + at + 6),
                          (Bytes{0, 0, static_cast<std::uint8_t>(value & 0xFF),
                                 static_cast<std::uint8_t>(value >> 8), 0}))
                    << "line " << line.number << ", number " << value;
                ++numbers;
                at += 5;
            }
        }
        EXPECT_EQ(numbers, 3) << "POKE 23739,111 and the closing GO TO";
    }
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

}  // namespace
