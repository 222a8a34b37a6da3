// The Windows host services through the real system calls: the console's redirected output,
// the ANSI code page, the program's own command line, drive roots, read-only files and the
// sharing modes of the numbered files.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/command_line.hpp"
#include "host/console.hpp"
#include "host/file_system.hpp"
#include "host/files.hpp"
#include "host/process.hpp"
#include "host/process_backend.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
using test::Bytes;
namespace fs = std::filesystem;

Text text_of(const fs::path& path) {
    return host::from_utf8(path.string());
}

// Started again as its own child with TUNEFUSE_SHOW_PARAMETERS set, this test program prints
// what program_parameter gives for its command line and ends before any test runs.
struct ParameterReport {
    ParameterReport() {
        if (std::getenv("TUNEFUSE_SHOW_PARAMETERS") == nullptr) return;
        for (int index = 0; index < 4; ++index)
            std::printf("[%s]\n", host::to_utf8(host::program_parameter(index)).c_str());
        std::fflush(stdout);
        ExitProcess(0);
    }
} parameter_report;

// What the child sees of the arguments after the program name, one line per parameter.
std::vector<std::string> parameters_seen(const std::string& arguments) {
    SetEnvironmentVariableW(L"TUNEFUSE_SHOW_PARAMETERS", L"1");
    host::StartResult start = host::start_program(host::program_file_name(), host::from_utf8(arguments),
                                                  Text(), host::start_keep_open | host::start_read_output);
    SetEnvironmentVariableW(L"TUNEFUSE_SHOW_PARAMETERS", nullptr);
    std::vector<std::string> lines;
    if (!start.started) return lines;
    for (Text line; !(line = host::read_program_line(start.child)).empty();)
        lines.push_back(host::to_utf8(line));
    host::release_program(start.child);
    return lines;
}

TEST(WindowsCommandLine, ParametersComeFromTheRealCommandLine) {
    struct Case {
        const char* arguments;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"", {"[]", "[]", "[]", "[]"}},
        {"   a    b   ", {"[a]", "[b]", "[]", "[]"}},
        {"\"a b\"c d", {"[a b]", "[c]", "[d]", "[]"}},
        {"a\"b c\"d e", {"[ab cd]", "[e]", "[]", "[]"}},
        {"\"\" x", {"[]", "[x]", "[]", "[]"}},
        {"\"abc", {"[abc]", "[]", "[]", "[]"}},
        {"a\tb", {"[a\tb]", "[]", "[]", "[]"}},
        {"\"C:\\my games\\song one.pt3\"", {"[C:\\my games\\song one.pt3]", "[]", "[]", "[]"}},
        {"a\\\"b c", {"[a\\b c]", "[]", "[]", "[]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(parameters_seen(c.arguments), c.expected);
    }
}

TEST(WindowsCommandLine, ProgramFileNameHasNoLongPathPrefix) {
    const Text name = host::program_file_name();
    EXPECT_NE(name.rfind(u"\\\\?\\", 0), 0u);
    EXPECT_EQ(host::file_part(name), u"host_windows_host_test.exe");
    EXPECT_TRUE(fs::exists(host::to_utf8(name)));
}

// Standard output redirected to a file for the length of one test.
class RedirectedOutput {
public:
    explicit RedirectedOutput(const fs::path& file) {
        handle_ = CreateFileW(file.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, handle_);
        host::open_console();
    }
    ~RedirectedOutput() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        host::open_console();
        CloseHandle(handle_);
    }
    RedirectedOutput(const RedirectedOutput&) = delete;
    RedirectedOutput& operator=(const RedirectedOutput&) = delete;

private:
    HANDLE handle_;
    HANDLE saved_;
};

TEST(WindowsConsole, RedirectedOutputIsUtf16WithoutByteOrderMark) {
    test::TempDir dir;
    {
        RedirectedOutput redirected(dir / "report.txt");
        host::print_line(u"Done");
    }
    EXPECT_EQ(test::read_bytes(dir / "report.txt"), test::hex_bytes("44 00 6F 00 6E 00 65 00 0D 00 0A 00"));
}

TEST(WindowsConsole, ColoursAndTextsOnRedirectedOutput) {
    test::TempDir dir;
    {
        RedirectedOutput redirected(dir / "report.txt");
        host::set_colour(14, 0);  // no console: the attribute goes nowhere, no bytes appear
        host::print_text(u"Creating Loader\t: ");
        host::set_colour(16, 0);
        host::print_line(u"\u00E9\u20AC");
        host::print_line(u"");
        host::pause(1);
        host::pause(1);
    }
    Bytes expected;
    for (char16_t unit : Text(u"Creating Loader\t: \u00E9\u20AC\r\n\r\n")) {
        expected.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        expected.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    EXPECT_EQ(test::read_bytes(dir / "report.txt"), expected);
}

TEST(WindowsText, SingleByteTextIsTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << GetACP() << ", not 1252";
    EXPECT_EQ(host::from_single_byte("caf\xE9\x80"), u"caf\u00E9\u20AC");
    EXPECT_EQ(host::to_single_byte(u"caf\u00E9\u20AC"), "caf\xE9\x80");
    EXPECT_EQ(host::to_single_byte(u"\u0416"), "?");
    EXPECT_EQ(host::from_single_byte(std::string("ab\0c", 4)), u"ab");
}

TEST(WindowsFileSystem, DriveRootsAreDirectories) {
    EXPECT_EQ(host::file_size(u"C:"), host::is_directory);
    EXPECT_EQ(host::file_size(u"C:\\"), host::is_directory);
    EXPECT_EQ(host::file_size(u"C:/"), host::is_directory);
    // Wine gives letters only to C: and the Unix root; a letter near the end is free.
    wchar_t root[] = L"Y:\\";
    if (GetDriveTypeW(root) > DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "drive Y: exists here";
    EXPECT_EQ(host::file_size(u"Y:"), host::no_such_file);
    EXPECT_EQ(host::file_size(u"Y:\\"), host::no_such_file);
    EXPECT_EQ(host::file_size(u"Y:x"), host::no_such_file);  // judged as a drive, as documented
}

TEST(WindowsFileSystem, SizesOfFilesDirectoriesAndPatterns) {
    test::TempDir dir;
    test::write_bytes(dir / "music.pt3", Bytes(1234, 1));
    test::write_bytes(dir / "empty.scr", {});
    fs::create_directories(dir / "bin");
    const std::string base = dir.path().string();
    EXPECT_EQ(host::file_size(host::from_utf8(base + "\\music.pt3")), 1234);
    EXPECT_EQ(host::file_size(host::from_utf8(base + "/music.pt3")), 1234);
    EXPECT_EQ(host::file_size(host::from_utf8(base + "\\empty.scr")), 0);
    EXPECT_EQ(host::file_size(host::from_utf8(base + "\\missing.scr")), host::no_such_file);
    EXPECT_EQ(host::file_size(host::from_utf8(base + "\\bin")), host::is_directory);
    EXPECT_EQ(host::file_size(host::from_utf8(base + "\\bin\\\\/")), host::is_directory);
    EXPECT_EQ(host::file_size(host::from_utf8(base + "\\mus*.pt?")), 1234);
    EXPECT_EQ(host::file_size(u""), host::no_such_file);
}

TEST(WindowsFileSystem, PlainDeleteLeavesAReadOnlyFileAndForceRemovesIt) {
    test::TempDir dir;
    test::write_string(dir / "KRZCode.tap", "tape");
    const std::wstring wide = (dir / "KRZCode.tap").wstring();
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
    const Text name = text_of(dir / "KRZCode.tap");
    EXPECT_EQ(host::delete_file(name), 0);
    EXPECT_TRUE(fs::exists(dir / "KRZCode.tap"));
    EXPECT_NE(host::delete_file(name, host::delete_force), 0);
    EXPECT_FALSE(fs::exists(dir / "KRZCode.tap"));
    EXPECT_EQ(host::delete_file(name), 0);
}

TEST(WindowsFileSystem, CopyReplacesButNeverOntoTheSameFile) {
    test::TempDir dir;
    test::write_string(dir / "screen.scr", "screen");
    test::write_string(dir / "screen.bin", "older and longer");
    EXPECT_NE(host::copy_file(text_of(dir / "screen.scr"), text_of(dir / "screen.bin")), 0);
    EXPECT_EQ(test::read_string(dir / "screen.bin"), "screen");
    // The same file under another spelling: left as it is.
    const std::string other = dir.path().string() + "\\.\\SCREEN.SCR";
    EXPECT_TRUE(host::same_file(text_of(dir / "screen.scr"), host::from_utf8(other)));
    EXPECT_EQ(host::copy_file(text_of(dir / "screen.scr"), host::from_utf8(other)), 0);
    EXPECT_EQ(test::read_string(dir / "screen.scr"), "screen");
    EXPECT_EQ(host::copy_file(u"", text_of(dir / "x")), 0);
}

TEST(WindowsFileSystem, CurrentDirectoryWithTrailingSeparator) {
    test::TempDir dir;
    const fs::path before = fs::current_path();
    EXPECT_NE(host::set_current_directory(host::from_utf8(dir.path().string() + "\\")), 0);
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.path()));
    EXPECT_EQ(host::set_current_directory(u""), 0);
    EXPECT_EQ(host::set_current_directory(text_of(dir / "missing")), 0);
    fs::current_path(before);
}

// Another program's view of a file the numbered files hold open.
bool other_program_can_open(const fs::path& file, DWORD access, DWORD sharing) {
    HANDLE handle = CreateFileW(file.wstring().c_str(), access, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

TEST(WindowsFiles, SharingModesHoldAgainstEveryOpener) {
    test::TempDir dir;
    const fs::path game = dir / "game.tap";
    test::write_string(game, "precious");
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

    ASSERT_NE(host::open_file(6, text_of(game)), 0);  // exclusive
    EXPECT_EQ(host::open_file(7, text_of(game)), 0);
    EXPECT_EQ(host::create_file(7, text_of(game), host::share_all), 0);
    EXPECT_FALSE(other_program_can_open(game, GENERIC_READ, all));
    host::close_file(6);
    EXPECT_EQ(test::read_string(game), "precious");

    ASSERT_NE(host::open_file(6, text_of(game), host::share_read), 0);
    EXPECT_TRUE(other_program_can_open(game, GENERIC_READ, all));
    EXPECT_FALSE(other_program_can_open(game, GENERIC_WRITE, all));
    host::close_file(6);

    ASSERT_NE(host::open_file(6, text_of(game), host::share_all), 0);
    EXPECT_TRUE(other_program_can_open(game, GENERIC_READ | GENERIC_WRITE, all));
    host::close_all_files();
}

TEST(WindowsFiles, TheJoinCannotEmptyTheGameTapeItReads) {
    // A game named "game": the output tape has the name of the game tape being read.
    test::TempDir dir;
    const Bytes game =
        test::hex_bytes("13 00 00 00 67 61 6D 65 20 20 20 20 20 20 02 00 00 00 02 00 0B 04 00 FF 01 02 FC");
    test::write_bytes(dir / "game.tap", game);
    test::write_string(dir / "KRZCode.tap", "loader");
    ASSERT_NE(host::open_file(5, text_of(dir / "KRZCode.tap")), 0);
    ASSERT_NE(host::open_file(6, text_of(dir / "game.tap")), 0);
    EXPECT_EQ(host::create_file(7, text_of(dir / "game.tap")), 0);
    host::close_all_files();
    EXPECT_EQ(test::read_bytes(dir / "game.tap"), game);
}

TEST(WindowsFiles, LargeWritesAndLengthsThroughTheSystem) {
    test::TempDir dir;
    const Text name = text_of(dir / "join.tap");
    ASSERT_NE(host::create_file(7, name), 0);
    const Bytes block(10000, 0x5A);
    const std::int64_t writes_before = host::operating_system_writes();
    EXPECT_EQ(host::write_block(7, block.data(), 10000), 10000);
    EXPECT_EQ(host::operating_system_writes() - writes_before, 1);
    for (int i = 0; i < 3; ++i) host::write_byte(7, i);
    EXPECT_EQ(host::file_length(7), 10003);
    ASSERT_NE(host::seek_file(7, 9999), 0);
    std::uint8_t tail[4] = {};
    EXPECT_EQ(host::read_block(7, tail, 4), 4);
    EXPECT_EQ(tail[0], 0x5A);
    EXPECT_EQ(tail[3], 2);
    host::close_file(7);
    EXPECT_EQ(fs::file_size(dir / "join.tap"), 10003u);
}

}  // namespace
