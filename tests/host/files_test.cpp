// Numbered files against the real file system: buffering, text reading and
// writing, the file table, and the sharing modes that keep the join from emptying game.tap.
#include "host/files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/platform.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
using test::Bytes;
using test::fs::path;

Text text_of(const path& file) {
    return host::from_utf8(file.string());
}

class FilesTest : public ::testing::Test {
protected:
    void TearDown() override { host::close_all_files(); }

    path file(const std::string& name) const { return dir / name; }
    Text name(const std::string& name) const { return text_of(dir / name); }
    std::uintmax_t size_on_disk(const std::string& name) const { return test::fs::file_size(dir / name); }

    // Puts bytes in a file and opens it under number 0 with the given flags.
    void open_with(const Bytes& bytes, std::uint32_t flags = 0) {
        test::write_bytes(file("in.bin"), bytes);
        ASSERT_NE(host::open_file(0, name("in.bin"), flags), 0);
    }

    // The next byte read_block gives from number 0, or -1 at the end of the file.
    int next_byte(int number = 0) {
        std::uint8_t byte = 0;
        return host::read_block(number, &byte, 1) == 1 ? byte : -1;
    }

    test::TempDir dir;
};

// Buffered writing ---------------------------------------------------------------------------

struct WriteCase {
    const char* title;
    std::vector<int> writes;     // byte counts in order: 1 goes through write_byte, more through write_block
    std::int64_t system_writes;  // how many reached the system before the file is closed
    std::uintmax_t on_disk;      // and how many bytes they hold
};

class BufferedWriteTest : public FilesTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(BufferedWriteTest, BytesWaitInOne4096ByteBufferAndLargeBlocksGoStraightThrough) {
    const WriteCase& c = GetParam();
    ASSERT_NE(host::create_file(0, name("out.bin")), 0);
    const auto writes_before = host::operating_system_writes();
    Bytes all;
    for (int count : c.writes) {
        Bytes bytes(static_cast<std::size_t>(count));
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(all.size() * 7 + all.size() / 256);
            all.push_back(byte);
        }
        if (count == 1)
            ASSERT_EQ(host::write_byte(0, bytes[0]), 1);
        else
            ASSERT_EQ(host::write_block(0, bytes.data(), count), count);
    }
    EXPECT_EQ(host::operating_system_writes() - writes_before, c.system_writes);
    EXPECT_EQ(size_on_disk("out.bin"), c.on_disk);
    EXPECT_EQ(host::file_length(0), static_cast<std::int64_t>(all.size()));
    host::close_file(0);
    const std::int64_t waiting = all.size() > c.on_disk ? 1 : 0;
    EXPECT_EQ(host::operating_system_writes() - writes_before, c.system_writes + waiting)
        << "closing writes what waits in one write";
    EXPECT_EQ(test::read_bytes(file("out.bin")), all);
}

const WriteCase write_cases[] = {
    {"ThreeBytesWait", {1, 1, 1}, 0, 0},
    {"Bytes4095Wait", std::vector<int>(4095, 1), 0, 0},
    {"The4096thByteWritesTheFirst4095", std::vector<int>(4096, 1), 1, 4095},
    {"ABlockFillingTheBufferWaits", {4095}, 0, 0},
    {"AByteAfterAFullBufferWritesIt", {4095, 1}, 1, 4095},
    {"A10000ByteBlockGoesInOneWrite", {10000}, 1, 10000},
    {"ALargeBlockWritesTheWaitingBytesFirst", {1, 1, 5000}, 2, 5002},
};

INSTANTIATE_TEST_SUITE_P(Examples, BufferedWriteTest, ::testing::ValuesIn(write_cases),
                         [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.title; });

TEST_F(FilesTest, WriteByteKeepsTheLow8BitsAndNoSourceWritesNothing) {
    ASSERT_NE(host::create_file(0, name("out.bin")), 0);
    for (int value : {0x1234, -1, 256}) EXPECT_EQ(host::write_byte(0, value), 1);
    std::uint8_t byte = 1;
    EXPECT_EQ(host::write_block(0, nullptr, 10), 0);
    EXPECT_EQ(host::write_block(0, &byte, 0), 0);
    EXPECT_EQ(host::write_block(0, &byte, -5), 0);
    host::close_file(0);
    EXPECT_EQ(test::read_bytes(file("out.bin")), test::hex_bytes("34 FF 00"));
}

// Reading and writing in turn ----------------------------------------------------------------

TEST_F(FilesTest, WritingAfterReadingStartsWhereTheReadingStopped) {
    open_with(test::bytes_of("abcdefgh"));
    Bytes got(3);
    ASSERT_EQ(host::read_block(0, got.data(), 3), 3);
    EXPECT_EQ(got, test::bytes_of("abc"));
    host::write_block(0, test::bytes_of("XY").data(), 2);
    EXPECT_EQ(next_byte(), 'f');
    EXPECT_EQ(next_byte(), 'g');
    host::close_file(0);
    EXPECT_EQ(test::read_string(file("in.bin")), "abcXYfgh");
}

TEST_F(FilesTest, ReadingAfterWritingContinuesAfterTheWrittenBytes) {
    ASSERT_NE(host::create_file(0, name("out.bin")), 0);
    host::write_block(0, test::bytes_of("0123456789").data(), 10);
    host::seek_file(0, 2);
    EXPECT_EQ(host::read_text(0, 24, 3), u"234");
    host::write_block(0, test::bytes_of("ZZ").data(), 2);
    EXPECT_EQ(next_byte(), '7');
    host::seek_file(0, 0);
    EXPECT_EQ(host::read_text(0, 24, 100), u"01234ZZ789");
    EXPECT_EQ(next_byte(), -1);
}

TEST_F(FilesTest, WritingAfterATextReadStartsAtThePushedBackUnit) {
    open_with(test::hex_bytes("61 62 0D 63 64"), 0x18);
    EXPECT_EQ(host::read_text(0, 0, 10), u"ab");
    host::write_byte(0, 'X');
    host::close_file(0);
    EXPECT_EQ(test::read_bytes(file("in.bin")), test::hex_bytes("61 62 0D 58 64"));
}

TEST_F(FilesTest, SeekingFlushesAndMoves) {
    ASSERT_NE(host::create_file(0, name("out.bin")), 0);
    host::write_block(0, test::bytes_of("hello").data(), 5);
    EXPECT_NE(host::seek_file(0, 1), 0);
    EXPECT_EQ(size_on_disk("out.bin"), 5u);
    EXPECT_EQ(next_byte(), 'e');
    EXPECT_NE(host::seek_file(0, 5), 0);
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(host::seek_file(0, -1), 0);
}

TEST_F(FilesTest, BlocksOf4096OrMoreAreReadWhole) {
    Bytes data(20000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
    open_with(data);
    Bytes got(13111 + 20000);  // room for the last read's whole request, past the end of the file
    ASSERT_EQ(host::read_block(0, got.data(), 10), 10);
    ASSERT_EQ(host::read_block(0, got.data() + 10, 9000), 9000);  // 4086 from the buffer, the rest direct
    ASSERT_EQ(host::read_block(0, got.data() + 9010, 5), 5);
    ASSERT_EQ(host::read_block(0, got.data() + 9015, 4096), 4096);
    ASSERT_EQ(host::read_block(0, got.data() + 13111, 20000), 20000 - 13111);
    got.resize(data.size());
    EXPECT_EQ(got, data);
    EXPECT_EQ(host::read_block(0, got.data(), 1), 0);
}

// Reading texts ------------------------------------------------------------------------------

struct TextCase {
    const char* title;
    const char* bytes;  // hex
    std::uint32_t flags;
    int encoding;
    int limit;
    Text expected;
    int next;  // the byte read_block returns afterwards, -1 for the end of the file
};

void PrintTo(const TextCase& c, std::ostream* out) {
    *out << c.title;
}

// Beyond ASCII, single-byte text is ISO-8859-1 on POSIX hosts but the ANSI code page on Windows.
bool windows_code_page_decides(int encoding, const Text& text) {
    if (host::host_kind != host::HostKind::windows || encoding != host::encoding_single_byte) return false;
    for (char16_t unit : text)
        if (unit >= 0x80) return true;
    return false;
}

class ReadTextTest : public FilesTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(ReadTextTest, ReadsOneTextAndStopsAtTheFirstStop) {
    const TextCase& c = GetParam();
    if (windows_code_page_decides(c.encoding, c.expected))
        GTEST_SKIP() << "single-byte text is the ANSI code page on Windows; windows_host_test covers it";
    open_with(test::hex_bytes(c.bytes), c.flags);
    EXPECT_EQ(host::read_text(0, c.encoding, c.limit), c.expected);
    EXPECT_EQ(next_byte(), c.next);
}

const TextCase text_cases[] = {
    {"PlainText", "61 62", 0, 24, 33, u"ab", -1},
    {"StopsAtZero", "61 62 00 63 64", 0, 24, 33, u"ab", 0x63},
    {"CrLfIsConsumed", "61 62 0D 0A 63 64", 0, 24, 33, u"ab", 0x63},
    {"CrAlonePushesBack", "61 62 0D 63 64", 0, 24, 33, u"ab", 0x63},
    {"LfStops", "61 62 0A 63", 0, 24, 33, u"ab", 0x63},
    {"CrAtEndOfFile", "61 62 0D", 0, 24, 33, u"ab", -1},
    {"LfCrIsTwoStops", "61 0A 0D 62", 0, 24, 33, u"a", 0x0D},
    {"CrAfterLimitIsNotRead", "61 62 0D 0A", 0, 24, 2, u"ab", 0x0D},
    {"CrAtLimitStillTakesItsLf", "61 0D 0A 62", 0, 24, 2, u"a", 0x62},
    {"EmptyFile", "", 0, 24, 33, u"", -1},
    {"ZeroLimit", "61 62", 0, 24, 0, u"", 0x61},
    {"NegativeLimit", "61 62", 0, 24, -3, u"", 0x61},
    {"SingleByteIsLatin1", "E9 FF 80", 0, 24, 33, u"\u00E9\u00FF\u0080", -1},
    {"OtherCodesReadLike24", "E9 41", 0, 7, 33, u"\u00E9A", -1},
    {"FileEncoding24", "E9 41", 0x18, 0, 33, u"\u00E9A", -1},
    {"FileEncodingDefaultsToUtf8", "C3 A9 41", 0, 0, 33, u"\u00E9A", -1},
    {"Utf8TwoByteCountsAsOne", "68 C3 A9 6C 6C 6F", 0, 2, 2, u"h\u00E9", 0x6C},
    {"Utf8ThreeAndFourBytes", "E2 82 AC F0 9F 8E B5 21", 0, 2, 2, u"\u20AC\U0001F3B5", 0x21},
    {"Utf8ContinuationByteAloneIsQuestionMark", "41 80 42", 0, 2, 33, u"A?B", -1},
    {"Utf8F8IsQuestionMark", "F8 FF 41", 0, 2, 33, u"??A", -1},
    {"Utf8BrokenSequenceBecomesReplacement", "C3 41 42", 0, 2, 33, u"\uFFFDAB", -1},
    {"Utf8TruncatedAtEndIsDropped", "61 62 E2 82", 0, 2, 33, u"ab", -1},
    {"Utf8FollowingBytesAreNotStops", "C3 0A 41", 0, 2, 33, u"\uFFFD\nA", -1},
    {"Utf8FollowingZeroEndsTheConversion", "41 C3 00 42 43", 0, 2, 3, u"A\uFFFD", 0x43},
    {"Utf8CrPushesBackOneByte", "61 0D C3 A9", 0, 2, 33, u"a", 0xC3},
    {"Utf16Plain", "61 00 62 00", 0, 25, 33, u"ab", -1},
    {"Utf16HighUnits", "AC 20 3C D8 B5 DF", 0, 25, 33, u"\u20AC\U0001F3B5", -1},
    {"Utf16StopsAtZeroUnit", "61 00 00 00 62 00", 0, 25, 33, u"a", 0x62},
    {"Utf16ZeroLowByteIsNoStop", "00 01 61 00", 0, 25, 33, u"\u0100a", -1},
    {"Utf16CrLf", "61 00 0D 00 0A 00 63 00", 0, 25, 33, u"a", 0x63},
    {"Utf16CrPushesBackTwoBytes", "61 00 0D 00 63 00", 0, 25, 33, u"a", 0x63},
    {"Utf16OddByteAtEnd", "61 00 62", 0, 25, 33, u"a", -1},
    {"Utf16ByFileEncoding", "61 00 62 00", 0x19, 0, 1, u"a", 0x62},
};

INSTANTIATE_TEST_SUITE_P(Examples, ReadTextTest, ::testing::ValuesIn(text_cases),
                         [](const ::testing::TestParamInfo<TextCase>& info) { return info.param.title; });

TEST_F(FilesTest, TheMusicHeaderReadsOfTheMetadataStage) {
    Bytes module(200, ' ');
    const std::string title = "Title of the tune";
    const std::string author = "by someone with a very long name indeed";
    std::copy(title.begin(), title.end(), module.begin() + 30);
    std::copy(author.begin(), author.end(), module.begin() + 66);
    open_with(module, host::share_read);
    host::seek_file(0, 30);
    EXPECT_EQ(host::read_text(0, 24, 33), host::ascii_text(title + std::string(33 - title.size(), ' ')));
    host::seek_file(0, 66);
    EXPECT_EQ(host::read_text(0, 24, 33), host::ascii_text(author.substr(0, 33)));
}

TEST_F(FilesTest, ReadOnlyOpeningReadsButNeitherCreatesNorWrites) {
    EXPECT_EQ(host::open_file(1, name("missing.tap"), host::read_only), 0);
    EXPECT_FALSE(test::fs::exists(file("missing.tap")));

    open_with(test::bytes_of("abc"), host::read_only | host::share_read);
    EXPECT_EQ(next_byte(), 'a');
    host::write_byte(0, 'z');
    host::close_file(0);
    EXPECT_EQ(test::read_string(file("in.bin")), "abc");
}

TEST_F(FilesTest, AUnitPushedBackAcrossTheBufferEndIsReadAgain) {
    // One byte first, so that the 16-bit units straddle the end of the 4096-byte buffer: the
    // unit after the CR comes half from one refill and half from the next.
    Bytes data{'X'};
    for (int i = 0; i < 2046; ++i) data.insert(data.end(), {'a', 0});
    data.insert(data.end(), {0x0D, 0, 'Z', 0, 'Y', 0});
    ASSERT_EQ(data.size(), 4099u);
    open_with(data);
    EXPECT_EQ(next_byte(), 'X');
    EXPECT_EQ(host::read_text(0, 25, 5000), Text(2046, u'a'));
    EXPECT_EQ(host::read_text(0, 25, 5000), u"ZY");
}

TEST_F(FilesTest, ReadTextAcrossManyRefills) {
    std::string lines;
    for (int i = 0; i < 2000; ++i) lines += "line " + std::to_string(i) + "\r\n";
    open_with(test::bytes_of(lines));
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(host::read_text(0, 2, 100), host::ascii_text("line " + std::to_string(i)));
    }
    EXPECT_EQ(host::read_text(0, 2, 100), u"");
}

// Writing text lines -------------------------------------------------------------------------

struct LineCase {
    const char* title;
    std::uint32_t flags;
    Text text;
    const char* bytes;  // hex
    int result;
};

void PrintTo(const LineCase& c, std::ostream* out) {
    *out << c.title;
}

class WriteTextLineTest : public FilesTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(WriteTextLineTest, WritesTheTextAndCrLfInTheFilesEncoding) {
    const LineCase& c = GetParam();
    if (windows_code_page_decides(static_cast<int>(c.flags & 0x1F), c.text))
        GTEST_SKIP() << "single-byte text is the ANSI code page on Windows; windows_host_test covers it";
    ASSERT_NE(host::create_file(2, name("author.bin"), c.flags), 0);
    EXPECT_EQ(host::write_text_line(2, c.text), c.result);
    host::close_file(2);
    EXPECT_EQ(test::read_bytes(file("author.bin")), test::hex_bytes(c.bytes));
}

const LineCase line_cases[] = {
    {"SingleByte", 0x18, u"abc", "61 62 63 0D 0A", 2},
    {"SingleByteLatin1", 0x18, u"caf\u00E9", "63 61 66 E9 0D 0A", 2},
    {"SingleByteUnmappableIsQuestionMark", 0x18, u"\u20AC1", "3F 31 0D 0A", 2},
    {"Utf16le", 25, u"abc", "61 00 62 00 63 00 0D 00 0A 00", 4},
    {"Utf16leHighUnits", 25, u"\u20AC", "AC 20 0D 00 0A 00", 4},
    {"Utf8", 2, u"caf\u00E9", "63 61 66 C3 A9 0D 0A", 2},
    {"NoEncodingMeansUtf8", 0, u"\u20AC", "E2 82 AC 0D 0A", 2},
    {"SharingBitsKeepTheEncoding", 0x40000 | 25, u"a", "61 00 0D 00 0A 00", 4},
    {"EmptyTextStillEndsTheLine", 0x18, u"", "0D 0A", 2},
    {"EmptyTextUtf16", 25, u"", "0D 00 0A 00", 4},
};

INSTANTIATE_TEST_SUITE_P(Examples, WriteTextLineTest, ::testing::ValuesIn(line_cases),
                         [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.title; });

TEST_F(FilesTest, WriteTextLinesFollowEachOther) {
    ASSERT_NE(host::create_file(2, name("lines.txt"), 0x18), 0);
    host::write_text_line(2, u"one");
    host::write_text_line(2, u"two");
    host::close_file(2);
    EXPECT_EQ(test::read_string(file("lines.txt")), "one\r\ntwo\r\n");
}

// Opening, closing and the file table --------------------------------------------------------

TEST_F(FilesTest, OpenKeepsOrCreatesAndCreateEmpties) {
    test::write_string(file("kept.bin"), "keep me");
    test::write_string(file("old.bin"), "old contents");
    ASSERT_NE(host::open_file(3, name("kept.bin")), 0);
    EXPECT_EQ(host::file_length(3), 7);
    EXPECT_EQ(host::read_text(3, 2, 100), u"keep me");
    ASSERT_NE(host::open_file(4, name("missing.bin")), 0);
    EXPECT_TRUE(test::fs::exists(file("missing.bin")));
    EXPECT_EQ(host::file_length(4), 0);
    ASSERT_NE(host::create_file(5, name("old.bin")), 0);
    EXPECT_EQ(host::file_length(5), 0);
    EXPECT_EQ(size_on_disk("old.bin"), 0u);
}

TEST_F(FilesTest, CreateFileReplacesAWriteOnlyFile) {
    // Where the owner may not read the file, the second attempt opens it for writing alone
    // (as root the first attempt already succeeds).
    test::write_string(file("writeonly.bin"), "old contents");
    test::fs::permissions(file("writeonly.bin"), test::fs::perms::owner_write);
    ASSERT_NE(host::create_file(3, name("writeonly.bin")), 0);
    host::write_block(3, test::bytes_of("new").data(), 3);
    host::close_file(3);
    test::fs::permissions(file("writeonly.bin"), test::fs::perms::owner_all);
    EXPECT_EQ(test::read_string(file("writeonly.bin")), "new");
}

TEST_F(FilesTest, OpeningFailsInAMissingFolderAndLeavesTheNumberFree) {
    EXPECT_EQ(host::open_file(3, name("no/such/folder.bin")), 0);
    EXPECT_EQ(host::create_file(4, name("no/such/folder.bin")), 0);
    EXPECT_EQ(host::create_file(-1, name("no/such/folder.bin")), 0);
    EXPECT_EQ(host::open_file(5, Text()), 0);
    EXPECT_EQ(host::create_file(5, name("")), 0);  // the folder itself
    EXPECT_EQ(host::file_length(3), -1);
    EXPECT_EQ(host::file_length(4), -1);
    EXPECT_EQ(host::file_length(5), -1);
}

TEST_F(FilesTest, ReopeningAFixedNumberFlushesTheEarlierFile) {
    ASSERT_NE(host::create_file(0, name("first.bin")), 0);
    for (int i = 0; i < 3; ++i) host::write_byte(0, 'a' + i);
    EXPECT_EQ(size_on_disk("first.bin"), 0u);
    ASSERT_NE(host::create_file(0, name("second.bin")), 0);
    EXPECT_EQ(test::read_string(file("first.bin")), "abc");
    host::write_byte(0, 'z');
    host::close_file(0);
    EXPECT_EQ(test::read_string(file("second.bin")), "z");
}

TEST_F(FilesTest, ReopeningAFixedNumberOnTheSameExclusiveFileWorks) {
    ASSERT_NE(host::create_file(0, name("same.bin")), 0);
    host::write_byte(0, 'a');
    ASSERT_NE(host::open_file(0, name("same.bin")), 0);
    EXPECT_EQ(host::read_text(0, 24, 10), u"a");
}

TEST_F(FilesTest, CloseAllFilesClosesFixedNumbersUpwardThenNewNumbersNewestFirst) {
    // Every file is the same file, shared, and holds its bytes for position 0 in its buffer:
    // each close writes over the earlier ones, so what is left shows the order of the closes.
    test::write_string(file("order.bin"), "");
    const Text order = name("order.bin");
    auto open_shared = [&](int number) {
        const int got = host::open_file(number, order, host::share_all);
        EXPECT_NE(got, 0);
        return got;
    };
    auto write_text = [](int number, const std::string& text) {
        host::write_block(number, test::bytes_of(text).data(), static_cast<std::int64_t>(text.size()));
    };
    const int older = open_shared(-1);
    open_shared(40);  // beyond the first 16 slots
    open_shared(7);
    open_shared(5);
    const int newer = open_shared(-1);
    open_shared(6);
    write_text(5, "555555");
    write_text(6, "66666");
    write_text(7, "7777");
    write_text(40, "444");
    write_text(newer, "NN");
    write_text(older, "O");
    EXPECT_EQ(size_on_disk("order.bin"), 0u);

    host::close_all_files();
    EXPECT_EQ(test::read_string(file("order.bin")), "ON4765");
    for (int number : {5, 6, 7, 40, newer, older}) EXPECT_EQ(host::file_length(number), -1);
}

TEST_F(FilesTest, TheTableGrowsForLargeNumbers) {
    for (int number : {15, 16, 40, 1000}) {
        const std::string file_name = "n" + std::to_string(number);
        ASSERT_NE(host::create_file(number, name(file_name)), 0) << number;
        host::write_byte(number, number & 0xFF);
    }
    for (int number : {15, 16, 40, 1000}) EXPECT_EQ(host::file_length(number), 1) << number;
    EXPECT_EQ(host::file_length(41), -1);
    EXPECT_EQ(host::file_length(999), -1);
    EXPECT_EQ(host::file_length(1001), -1);
    host::close_file(40);
    EXPECT_EQ(host::file_length(40), -1);
    EXPECT_EQ(host::file_length(1000), 1);
}

TEST_F(FilesTest, AnUnreasonableNumberIsRefused) {
    EXPECT_EQ(host::create_file(INT32_MAX, name("big.bin")), 0);
    EXPECT_EQ(host::create_file(-2, name("minus.bin")), 0);
    EXPECT_EQ(host::create_file(INT32_MIN, name("minus.bin")), 0);
}

TEST_F(FilesTest, NewNumbersAreDistinctAndBelowMinusOne) {
    const int first = host::create_file(host::new_number, name("a.bin"));
    const int second = host::open_file(host::new_number, name("b.bin"));
    EXPECT_LT(first, -1);
    EXPECT_LT(second, -1);
    EXPECT_NE(first, second);
    host::write_byte(first, 'a');
    host::write_byte(second, 'b');
    host::close_file(first);
    EXPECT_EQ(host::file_length(first), -1);
    EXPECT_EQ(host::file_length(second), 1);
    EXPECT_EQ(host::file_length(-1), -1);
    EXPECT_EQ(test::read_string(file("a.bin")), "a");
    host::close_file(second);
    EXPECT_EQ(test::read_string(file("b.bin")), "b");
}

TEST_F(FilesTest, NumbersThatAreNotOpenGiveTheirFailureValues) {
    for (int number : {0, 3, 15, 16, 100000, -1, -2, -12345, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(number);
        std::uint8_t bytes[4] = {1, 2, 3, 4};
        host::close_file(number);
        EXPECT_EQ(host::seek_file(number, 0), 0);
        EXPECT_EQ(host::file_length(number), -1);
        EXPECT_EQ(host::read_text(number, 24, 33), u"");
        EXPECT_EQ(host::write_text_line(number, u"abc"), 0);
        EXPECT_EQ(host::write_byte(number, 1), 0);
        EXPECT_EQ(host::read_block(number, bytes, 4), 0);
        EXPECT_EQ(host::write_block(number, bytes, 4), 0);
    }
}

// Sharing ------------------------------------------------------------------------------------

struct SharingCase {
    const char* title;
    std::uint32_t first;   // how the file is open already
    bool create;           // whether the second opening creates (empties) the file
    std::uint32_t second;  // how it is opened again
    bool allowed;
};

class SharingTest : public FilesTest, public ::testing::WithParamInterface<SharingCase> {};

// Sharing holds between the openings this program makes, as it does on Windows: a refused
// opening leaves the file as it was.
TEST_P(SharingTest, ASecondOpeningIsAllowedOnlyWhereTheFirstShares) {
    const SharingCase& c = GetParam();
    test::write_string(file("game.tap"), "game");
    ASSERT_NE(host::open_file(1, name("game.tap"), c.first), 0);
    const int second = c.create ? host::create_file(2, name("game.tap"), c.second)
                                : host::open_file(2, name("game.tap"), c.second);
    EXPECT_EQ(second != 0, c.allowed);
    host::close_all_files();
    if (!c.allowed) {
        EXPECT_EQ(test::read_string(file("game.tap")), "game");
    }
    ASSERT_NE(host::create_file(3, name("game.tap")), 0) << "closed, it opens exclusively again";
}

constexpr std::uint32_t reader = host::read_only | host::share_read;

const SharingCase sharing_cases[] = {
    {"ReadersBesideAReader", reader, false, reader, true},
    {"NoWriterBesideAReader", reader, true, 0, false},
    {"NoWriterBesideAReadWriteFileSharingReads", host::share_read, false, host::share_read, false},
    {"NoSharingWriterBesideAFileSharingReads", host::share_read, false, host::share_all, false},
    {"NoCreateBesideAFileSharingReads", host::share_read, true, host::share_all, false},
    {"SharedWithAllBesideSharedWithAll", host::share_all, false, host::share_all, true},
    {"CreateSharedWithAllBesideSharedWithAll", host::share_all, true, host::share_all, true},
    {"NoExclusiveBesideShared", host::share_all, false, 0, false},
    {"NoCreateSharingOnlyReadsBesideShared", host::share_all, true, host::share_read, false},
    {"NothingBesideAnExclusiveFile", 0, false, host::share_all, false},
};

INSTANTIATE_TEST_SUITE_P(Examples, SharingTest, ::testing::ValuesIn(sharing_cases),
                         [](const ::testing::TestParamInfo<SharingCase>& info) { return info.param.title; });

TEST_F(FilesTest, TheJoinCannotEmptyTheGameTapeItReads) {
    if (host::host_kind == host::HostKind::windows)
        GTEST_SKIP() << "the test reads game.tap while it is open exclusively, which Windows refuses; "
                        "windows_host_test has the join";
    // The join of a game named "game": the output tape is game.tap itself.
    const Bytes game =
        test::hex_bytes("13 00 00 00 67 61 6D 65 20 20 20 20 20 20 02 00 00 00 02 00 0B 04 00 FF 01 02 FC");
    test::write_bytes(file("game.tap"), game);
    test::write_string(file("KRZCode.tap"), "loader");
    ASSERT_NE(host::open_file(5, name("KRZCode.tap")), 0);
    ASSERT_NE(host::open_file(6, name("game.tap")), 0);
    EXPECT_EQ(host::file_length(6), static_cast<std::int64_t>(game.size()));

    EXPECT_EQ(host::create_file(7, name("game.tap")), 0);
    EXPECT_EQ(test::read_bytes(file("game.tap")), game);
    EXPECT_EQ(host::file_length(7), -1);

    Bytes read_back(game.size());
    EXPECT_EQ(host::read_block(6, read_back.data(), static_cast<std::int64_t>(read_back.size())),
              static_cast<std::int64_t>(game.size()));
    EXPECT_EQ(read_back, game);
    host::close_all_files();
    EXPECT_EQ(test::read_bytes(file("game.tap")), game);
}

TEST_F(FilesTest, AnExclusiveFileCannotBeOpenedAgainByAnyName) {
    if (host::host_kind == host::HostKind::windows)
        GTEST_SKIP()
            << "symbolic links need privileges on Windows; windows_host_test covers exclusive opening";
    test::write_string(file("game.tap"), "precious");
    test::fs::create_hard_link(file("game.tap"), file("hard.tap"));
    test::fs::create_symlink(file("game.tap"), file("soft.tap"));
    ASSERT_NE(host::open_file(6, name("game.tap")), 0);

    for (const path& other :
         {file("game.tap"), dir.path() / "." / "game.tap", file("hard.tap"), file("soft.tap")}) {
        SCOPED_TRACE(other.string());
        EXPECT_EQ(host::create_file(7, text_of(other)), 0);
        EXPECT_EQ(host::open_file(8, text_of(other)), 0);
        EXPECT_EQ(host::open_file(-1, text_of(other), host::share_all), 0);
        EXPECT_EQ(host::create_file(9, text_of(other), host::share_read), 0);
    }
    EXPECT_EQ(test::read_string(file("game.tap")), "precious");

    host::close_file(6);
    ASSERT_NE(host::create_file(7, name("game.tap")), 0);
    EXPECT_EQ(size_on_disk("game.tap"), 0u);
}

TEST_F(FilesTest, ANewNumberFileOpenExclusivelyIsProtectedToo) {
    if (host::host_kind == host::HostKind::windows)
        GTEST_SKIP() << "the test reads the file while it is open exclusively, which Windows refuses; "
                        "windows_host_test covers it";
    test::write_string(file("game.tap"), "precious");
    const int game = host::open_file(-1, name("game.tap"));
    ASSERT_NE(game, 0);
    EXPECT_EQ(host::create_file(7, name("game.tap")), 0);
    EXPECT_EQ(host::create_file(-1, name("game.tap")), 0);
    EXPECT_EQ(test::read_string(file("game.tap")), "precious");
    host::close_file(game);
    EXPECT_NE(host::create_file(7, name("game.tap")), 0);
}

TEST_F(FilesTest, AReplacedFileAtTheSamePathIsAnotherFile) {
    if (host::host_kind == host::HostKind::windows)
        GTEST_SKIP() << "Windows does not delete a file that is open without delete sharing";
    // Deleting an open file and making a new one under its name (as the loader tape writer does) gives a
    // file of its own, which the old opening does not hold.
    test::write_string(file("KRZCode.tap"), "old");
    ASSERT_NE(host::open_file(0, name("KRZCode.tap")), 0);
    test::fs::remove(file("KRZCode.tap"));
    ASSERT_NE(host::open_file(1, name("KRZCode.tap"), host::share_all), 0);
    EXPECT_EQ(host::file_length(1), 0);
}

// Threads ------------------------------------------------------------------------------------

TEST_F(FilesTest, CloseAllFilesFromAnotherThreadWhileWriting) {
    std::atomic<bool> stop{false};
    std::thread closer([&] {
        while (!stop) {
            host::close_all_files();
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    const Text out = name("busy.bin");
    const Bytes block(5000, 0x5A);
    for (int round = 0; round < 300; ++round) {
        host::create_file(0, out, host::share_all);
        const int other = host::open_file(-1, out, host::share_all);
        for (int i = 0; i < 50; ++i) host::write_byte(0, i);
        host::write_block(other, block.data(), static_cast<std::int64_t>(block.size()));
        host::write_text_line(0, u"line");
        host::seek_file(0, 1);
        host::read_text(0, 2, 100);
        host::file_length(other);
        host::close_file(other);
    }
    stop = true;
    closer.join();
}

}  // namespace

namespace {

// The end of a run cut short: once every file is closed for good, a late create makes nothing.
TEST(FilesAtTheEnd, NoFileOpensAfterTheFilesAreClosedForGood) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir dir;
    const std::string path = (dir / "late.tap").string();
    EXPECT_EXIT(
        {
            host::close_all_files_for_good();
            const bool opened = host::create_file(7, host::from_utf8(path)) != 0 ||
                                host::open_file(host::new_number, host::from_utf8(path)) != 0;
            std::exit(opened ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(test::fs::exists(path));
}

}  // namespace
