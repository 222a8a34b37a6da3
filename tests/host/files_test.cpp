// Numbered files against the real file system: what is written comes back and lands on disk,
// text lines, the file table, and the sharing that keeps the join from emptying game.tap.
#include "host/files.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "host/failure.hpp"
#include "host/platform.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
using test::Bytes;
constexpr bool windows = host::host_kind == host::HostKind::windows;

class Files : public ::testing::Test {
protected:
    void TearDown() override { host::close_all_files(); }
    Text name(const std::string& file) const { return host::from_utf8((dir / file).string()); }
    std::string on_disk(const std::string& file) const { return test::read_string(dir / file); }
    int next_byte(int number = 0) {
        std::uint8_t byte = 0;
        return host::read_block(number, &byte, 1) == 1 ? byte : -1;
    }
    test::TempDir dir;
};

// Writes in the given pieces (a piece of 1 through write_byte), then reads back in others.
struct RoundTrip {
    std::vector<int> writes, reads;
};

TEST_F(Files, WhatIsWrittenInAnyPiecesIsOnDiskAndReadsBackInAnyPieces) {
    for (const RoundTrip& c : {RoundTrip{{1, 1, 1}, {2, 5}}, RoundTrip{std::vector<int>(4097, 1), {4097}},
                               RoundTrip{{4095, 1, 5000, 3}, {1, 4096, 4095, 4096}},
                               RoundTrip{{10000, 10000}, {10, 9000, 5, 4096, 20000}}}) {
        Bytes data;
        ASSERT_NE(host::create_file(0, name("out.bin")), 0);
        for (int count : c.writes) {
            Bytes piece(static_cast<std::size_t>(count));
            for (auto& byte : piece) byte = static_cast<std::uint8_t>(data.size() * 7 + data.size() / 251);
            data.insert(data.end(), piece.begin(), piece.end());
            EXPECT_EQ(count == 1 ? host::write_byte(0, piece[0]) : host::write_block(0, piece.data(), count),
                      count);
        }
        EXPECT_EQ(host::file_length(0), static_cast<std::int64_t>(data.size()));
        host::close_file(0);
        EXPECT_EQ(test::read_bytes(dir / "out.bin"), data);
        ASSERT_NE(host::open_file(0, name("out.bin"), host::read_only | host::share_read), 0);
        Bytes back(data.size() + 20000);
        std::int64_t got = 0;
        for (int count : c.reads) got += host::read_block(0, back.data() + got, count);
        back.resize(static_cast<std::size_t>(got));
        EXPECT_EQ(back, data) << c.writes.size() << " writes";
        EXPECT_EQ(next_byte(), -1);
    }
}

TEST_F(Files, ReadingAndWritingInTurnKeepTheirPlace) {
    test::write_string(dir / "in.bin", "abcdefgh");
    ASSERT_NE(host::open_file(0, name("in.bin")), 0);
    Bytes got(3);
    EXPECT_EQ(host::read_block(0, got.data(), 3), 3);
    EXPECT_EQ(host::write_block(0, test::bytes_of("XY").data(), 2), 2);
    EXPECT_EQ(next_byte(), 'f');
    EXPECT_EQ(host::write_byte(0, 0x1234), 1);
    EXPECT_NE(host::seek_file(0, 1), 0);
    EXPECT_EQ(next_byte(), 'b');
    EXPECT_EQ(host::seek_file(0, -1), 0);
    host::close_file(0);
    EXPECT_EQ(on_disk("in.bin"), "abcXYf4h");
}

// The single-byte reading of the music header: where a text stops and where reading goes on.
TEST_F(Files, ReadTextStopsAtZeroLineEndsAndTheLimit) {
    struct Case {
        const char* bytes;
        int limit;
        Text text;
        int next;  // the byte read afterwards, -1 at the end of the file
    };
    for (const Case& c :
         {Case{"61 62", 33, u"ab", -1}, Case{"61 62 00 63", 33, u"ab", 'c'},
          Case{"61 62 0D 0A 63", 33, u"ab", 'c'}, Case{"61 62 0D 63", 33, u"ab", 'c'},
          Case{"61 0A 0D 62", 33, u"a", 0x0D}, Case{"61 62 0D 0A", 2, u"ab", 0x0D},
          Case{"61 0D 0A 62", 2, u"a", 'b'}, Case{"61 62", 0, u"", 'a'}, Case{"E9 41", 33, u"\u00E9A", -1}}) {
        test::write_bytes(dir / "in.bin", test::hex_bytes(c.bytes));
        ASSERT_NE(host::open_file(0, name("in.bin"), host::read_only | host::share_read), 0);
        EXPECT_EQ(host::read_text(0, host::encoding_single_byte, c.limit), c.text) << c.bytes;
        EXPECT_EQ(next_byte(), c.next) << c.bytes;
        host::close_file(0);
    }
}

TEST_F(Files, TextLinesReadBackInTheFilesEncoding) {
    const Text long_line(5000, u'x');
    for (int encoding : {host::encoding_single_byte, host::encoding_utf8, host::encoding_utf16le}) {
        const bool wide = encoding != host::encoding_single_byte;
        const std::vector<Text> lines{u"one", u"caf\u00E9", u"", long_line,
                                      wide ? u"\u20AC\U0001F3B5" : u"z"};
        ASSERT_NE(host::create_file(2, name("lines.txt"), static_cast<std::uint32_t>(encoding)), 0);
        for (const Text& line : lines) host::write_text_line(2, line);
        EXPECT_NE(host::seek_file(2, 0), 0);
        for (const Text& line : lines) EXPECT_EQ(host::read_text(2, host::encoding_of_file, 6000), line);
        host::close_file(2);
    }
    EXPECT_EQ(on_disk("lines.txt").substr(0, 4), std::string("o\0n\0", 4));
    ASSERT_NE(host::create_file(2, name("author.bin"), host::encoding_single_byte), 0);
    EXPECT_EQ(host::write_text_line(2, u"caf\u00E9 \u0416"), 2);
    host::close_file(2);
    EXPECT_EQ(on_disk("author.bin"), "caf\xE9 ?\r\n");  // ISO-8859-1 on POSIX, code page 1252 on Windows
}

// A UTF-16 unit read half before and half after a refill of the buffer, then given back.
TEST_F(Files, ALoneCrAcrossTheBufferEndIsReadOnce) {
    Bytes data{'X'};
    for (char16_t unit : Text(2046, u'a') + u"\rZY")
        data.insert(data.end(), {static_cast<std::uint8_t>(unit), 0});
    test::write_bytes(dir / "in.bin", data);
    ASSERT_NE(host::open_file(0, name("in.bin"), host::encoding_utf16le), 0);
    EXPECT_EQ(next_byte(), 'X');
    EXPECT_EQ(host::read_text(0, host::encoding_of_file, 5000), Text(2046, u'a'));
    EXPECT_EQ(host::read_text(0, host::encoding_of_file, 5000), u"ZY");
}

TEST_F(Files, OpeningKeepsOrCreatesCreatingEmptiesAndReadOnlyChangesNothing) {
    test::write_string(dir / "kept.bin", "keep me");
    test::write_string(dir / "old.bin", "old contents");
    ASSERT_NE(host::open_file(3, name("kept.bin"), host::share_read), 0);
    EXPECT_EQ(host::read_text(3, host::encoding_utf8, 100), u"keep me");
    ASSERT_NE(host::open_file(4, name("new.bin")), 0);
    ASSERT_NE(host::create_file(5, name("old.bin")), 0);
    host::write_byte(5, 'a');
    ASSERT_NE(host::create_file(5, name("other.bin")), 0);  // the earlier file is written out first
    EXPECT_EQ(on_disk("old.bin"), "a");
    EXPECT_EQ(host::open_file(6, name("missing.bin"), host::read_only), 0);
    host::close_file(3);
    ASSERT_NE(host::open_file(7, name("kept.bin"), host::read_only), 0);
    host::write_byte(7, 'z');
    const int first = host::create_file(host::new_number, name("a.bin"));
    const int second = host::open_file(host::new_number, name("b.bin"));
    EXPECT_TRUE(first < -1 && second < -1 && first != second);
    ASSERT_NE(host::create_file(1000, name("n1000")), 0);
    for (int number : {first, second, 5, 1000}) host::write_byte(number, 'b');
    host::close_all_files();
    EXPECT_EQ(on_disk("kept.bin") + "|" + on_disk("new.bin"), "keep me|");
    for (const char* file : {"other.bin", "a.bin", "b.bin", "n1000"}) EXPECT_EQ(on_disk(file), "b") << file;
    EXPECT_FALSE(test::fs::exists(dir / "missing.bin"));
    for (int number : {INT_MAX, -2, INT_MIN}) EXPECT_EQ(host::create_file(number, name("refused")), 0);
    for (const char* bad : {"no/such/folder.bin", ""})
        EXPECT_EQ(host::create_file(host::new_number, name(bad)), 0);
    for (int number : {3, 100000, -1, first})
        EXPECT_EQ(host::file_length(number) + host::write_byte(number, 1), -1);
}

// Sharing holds between the openings this program makes, as Windows holds it between all; a
// refused opening leaves the file as it was.
TEST_F(Files, ASecondOpeningIsAllowedOnlyWhereTheFirstShares) {
    constexpr std::uint32_t reader = host::read_only | host::share_read;
    struct Case {
        std::uint32_t first;
        bool create;  // the second opening creates (empties) the file
        std::uint32_t second;
        bool allowed;
    };
    for (const Case& c :
         {Case{reader, false, reader, true}, Case{reader, true, 0, false},
          Case{reader, true, host::share_all, false}, Case{host::share_read, false, host::share_read, false},
          Case{host::share_read, true, host::share_all, false},
          Case{host::share_all, true, host::share_all, true}, Case{host::share_all, false, 0, false},
          Case{host::share_all, true, host::share_read, false}, Case{0, false, reader, false},
          Case{host::read_only, false, host::read_only | host::share_all, false},
          Case{0, true, host::share_all, false}}) {
        test::write_string(dir / "game.tap", "game");
        ASSERT_NE(host::open_file(1, name("game.tap"), c.first), 0);
        const int second = c.create ? host::create_file(2, name("game.tap"), c.second)
                                    : host::open_file(2, name("game.tap"), c.second);
        EXPECT_EQ(second != 0, c.allowed) << c.first << (c.create ? " create " : " open ") << c.second;
        EXPECT_TRUE(c.allowed || host::last_failure().cause == host::Cause::in_use);
        host::close_all_files();
        EXPECT_EQ(on_disk("game.tap"), c.allowed && c.create ? "" : "game");
    }
}

TEST_F(Files, AFileOpenExclusivelyIsHeldUnderEveryNameButNotAfterItIsReplaced) {
    if (windows) GTEST_SKIP() << "links need privileges on Windows, and an open file is not deleted there";
    test::write_string(dir / "game.tap", "precious");
    test::fs::create_hard_link(dir / "game.tap", dir / "hard.tap");
    test::fs::create_symlink(dir / "game.tap", dir / "soft.tap");
    ASSERT_NE(host::open_file(host::new_number, name("game.tap")), 0);
    for (const char* other : {"./game.tap", "hard.tap", "soft.tap"})
        EXPECT_EQ(host::create_file(7, name(other), host::share_all), 0) << other;
    EXPECT_EQ(on_disk("game.tap"), "precious");
    test::fs::remove(dir / "game.tap");
    EXPECT_NE(host::create_file(7, name("game.tap"), host::share_all), 0);
}

// The console event handler closes every file from its own thread while the main thread works.
TEST_F(Files, ClosingEveryFileFromAnotherThreadWhileWritingIsSafe) {
    std::atomic<bool> stop{false};
    std::thread closer([&] {
        for (; !stop; std::this_thread::yield()) host::close_all_files();
    });
    const Bytes block(5000, 0x5A);
    for (int round = 0; round < 300; ++round) {
        host::create_file(0, name("busy.bin"), host::share_all);
        host::write_byte(0, round);
        host::write_block(0, block.data(), 5000);
        host::seek_file(0, 1);
        host::read_text(0, host::encoding_utf8, 100);
    }
    stop = true;
    closer.join();
}

TEST(FilesAtTheEnd, NoFileOpensAfterTheFilesAreClosedForGood) {
    test::TempDir dir;
    const Text late = host::from_utf8((dir / "late.tap").string());
    EXPECT_EXIT(
        (host::close_all_files_for_good(), std::exit(host::create_file(7, late) + host::open_file(-1, late))),
        ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(test::fs::exists(dir / "late.tap"));
}

}  // namespace
