// The host layer's small services on both hosts: texts and their conversion at the system's
// boundary, the program's command line, whole-file operations, and the console.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <chrono>
#include <climits>
#include <thread>

#include "host/command_line.hpp"
#include "host/failure.hpp"
#include "host/file_system.hpp"
#include "host/platform.hpp"
#include "host/process.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
namespace fs = std::filesystem;
constexpr bool windows = host::host_kind == host::HostKind::windows;

Text text_of(const fs::path& path) {
    return host::from_utf8(path.string());
}

TEST(Texts, NumbersAndPlainTexts) {
    EXPECT_EQ(host::decimal_text(INT64_MIN) + host::decimal_text(0) + host::decimal_text(INT64_MAX),
              u"-922337203685477580809223372036854775807");
    for (auto [bytes, kb] : {std::pair{1023, 0}, {1536, 1}, {2048, 2}, {-2048, -2}})
        EXPECT_EQ(host::kilobytes(bytes), kb) << bytes;
    EXPECT_EQ(host::trim_spaces(u"  a b\t ") + host::trim_spaces(u"   "), u"a b\t");
}

TEST(Texts, Utf8AtTheSystemsBoundary) {
    const Text text = u"Gr\u00FC\u00DFe \u20AC \U0001F3B5";
    EXPECT_EQ(host::from_utf8(host::to_utf8(text)), text);
    EXPECT_EQ(host::to_utf8(u"\u00E9\U0001F3B5"), "\xC3\xA9\xF0\x9F\x8E\xB5");
    EXPECT_EQ(host::to_utf8(Text(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    struct Case {
        std::string bytes;
        Text text;
    };
    for (const Case& c : {Case{"a\x80z", u"a\uFFFDz"}, Case{"\xC3(", u"\uFFFD("}, Case{"\xE2\x82", u"\uFFFD"},
                          Case{"\xC0\xAF", u"\uFFFD\uFFFD"}, Case{"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                          Case{std::string("ab\0cd", 5), u"ab"}})
        EXPECT_EQ(host::from_utf8(c.bytes), c.text) << c.bytes;
}

TEST(CommandLine, TheProgramsOwnCommandLineSplitsIntoParameters) {
    struct Case {
        Text line;
        std::vector<Text> parameters;
    };
    for (const Case& c :
         {Case{u"P", {}}, Case{u"P   a   b   ", {u"a", u"b"}}, Case{u"P \"a b\"c d", {u"a b", u"c", u"d"}},
          Case{u"P a\"b c\"d e", {u"ab cd", u"e"}}, Case{u"P \"\" x", {u"", u"x"}},
          Case{u"P \"abc", {u"abc"}}, Case{u"P a\tb", {u"a\tb"}}, Case{u"P a\\\"b", {u"a\\b"}},
          Case{u"\"C:\\Program Files\\t.exe\" \"D:\\my music\\a.pt3\"", {u"D:\\my music\\a.pt3"}}}) {
        std::vector<Text> tokens = host::split_command_line(c.line);
        ASSERT_FALSE(tokens.empty());
        EXPECT_EQ(std::vector<Text>(tokens.begin() + 1, tokens.end()), c.parameters) << host::to_utf8(c.line);
    }
    struct Parts {
        Text path, directory, file;
    };
    for (const Parts& c :
         {Parts{u"D:\\games\\t.exe", u"D:\\games\\", u"t.exe"}, Parts{u"t.pt3", u"", u"t.pt3"},
          Parts{u"\"/a b/t\"", u"/a b/", u"t"}, Parts{u"a/b|c/d", u"a/", u"d"}})
        EXPECT_EQ(host::path_part(c.path) + u"*" + host::file_part(c.path), c.directory + u"*" + c.file);
}

#ifdef _WIN32
// Started again as its own child with TUNEFUSE_SHOW_PARAMETERS set, this program prints what
// program_parameter gives for its real command line and ends before any test runs.
const bool parameter_report = [] {
    if (std::getenv("TUNEFUSE_SHOW_PARAMETERS") == nullptr) return false;
    for (int index = 0; index < 4; ++index)
        std::printf("[%s]", host::to_utf8(host::program_parameter(index)).c_str());
    std::fflush(stdout);
    ExitProcess(0);
}();

TEST(CommandLine, ParametersComeFromTheRealCommandLine) {
    test::ProcessOptions options;
    options.env["TUNEFUSE_SHOW_PARAMETERS"] = "1";
    EXPECT_EQ(test::run_process({host::to_utf8(host::program_file_name()), "a", "b"}, options).out,
              "[a][b][][]");
}
#endif

TEST(FileSystem, SizesOfFilesFoldersAndPatterns) {
    test::TempDir dir;
    test::write_bytes(dir / "music.pt3", test::Bytes(2048, 1));
    test::write_bytes(dir / "empty.scr", {});
    fs::create_directories(dir / "bin");
    // "\" separates on Windows alone; elsewhere it is part of a name.
    if (!windows) test::write_bytes(dir / "back\\slash", test::Bytes(7, 1));
    struct Size {
        Text name;
        std::int64_t posix, windows;  // -1 for no such file, -2 for a folder
    };
    for (const Size& c :
         {Size{u"/music.pt3", 2048, 2048}, Size{u"\\music.pt3", -1, 2048}, Size{u"/empty.scr", 0, 0},
          Size{u"/missing", -1, -1}, Size{u"/bin", -2, -2}, Size{u"/bin//", -2, -2}, Size{u"/bin\\", -1, -2},
          Size{u"/back\\slash", 7, -1}, Size{u"/mus*.pt?", 2048, 2048}, Size{u"/nothing*", -1, -1}})
        EXPECT_EQ(host::file_size(text_of(dir.path()) + c.name), windows ? c.windows : c.posix)
            << host::to_utf8(c.name);
    EXPECT_EQ(host::file_size(u""), -1);
    EXPECT_EQ(host::file_size(u"C:") + host::file_size(u"C:\\") + host::file_size(u"C:/"), windows ? -6 : -3);
}

TEST(FileSystem, CopyDeleteAndCurrentFolder) {
    test::TempDir dir;
    auto name = [&](const char* file) { return text_of(dir / file); };
    test::write_string(dir / "a", "new contents");
    test::write_string(dir / "b", "old contents that are longer");
    EXPECT_NE(host::copy_file(name("a"), name("b")), 0);
    EXPECT_EQ(test::read_string(dir / "b"), "new contents");
    EXPECT_TRUE(host::same_file(name("a"), name("./a")));
    EXPECT_EQ(host::copy_file(name("a"), name("./a")) + host::copy_file(name("none"), name("c")), 0);
    EXPECT_EQ(test::read_string(dir / "a"), "new contents") << "copied onto itself, a file would be emptied";
    EXPECT_EQ(host::last_failure().path + u": " + host::failure_words(host::last_failure()),
              name("none") + u": no such file or folder");
    EXPECT_FALSE(fs::exists(dir / "c"));
    // A write-protected file is left in place by a plain delete.
    fs::permissions(dir / "a", fs::perms::owner_read);
    EXPECT_EQ(host::delete_file(name("a")) + host::delete_file(u"") + host::copy_file(u"", name("c")), 0);
    EXPECT_TRUE(fs::exists(dir / "a"));
    EXPECT_NE(host::delete_file(name("a"), host::delete_force), 0);
    EXPECT_FALSE(fs::exists(dir / "a"));
    const fs::path before = fs::current_path();
    EXPECT_NE(host::set_current_directory(text_of(dir.path()) + (windows ? u"\\" : u"/")), 0);
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.path()));
    EXPECT_EQ(host::set_current_directory(name("missing")) + host::set_current_directory(u""), 0);
    fs::current_path(before);
}

#ifndef _WIN32
// A colour of 16 or more changes nothing. (Redirected, the report has no colour: the fault table
// compares whole reports on both hosts.)
TEST(Console, TerminalOutputIsColoured) {
    if (system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no 'script' to make a terminal";
    test::TempDir dir;
    const auto result = test::run_process(
        {"script", "-qec", test::helper("fake_tool").string() + " colours", (dir / "typescript").string()});
    // 15/0 is bright white on black, 10/0 bright green; 7/0 gives the terminal its own colours back.
    EXPECT_NE(result.out.find("\x1b[97;40mwhite\r\nstill white\x1b[92;40m green\r\n\x1b[0m\r\n"),
              std::string::npos)
        << result.out;
}

// The terminal going away (SIGHUP) writes out the files first; nohup keeps the run going;
// an interrupt ends it at once.
TEST(Console, HangupWritesOutTheFilesNohupIgnoresItAndInterruptEndsAtOnce) {
    for (auto [sent, ignored, ends_by, written] : {std::tuple{SIGHUP, false, SIGHUP, 100u},
                                                   {SIGHUP, true, SIGKILL, 0u},
                                                   {SIGINT, false, SIGINT, 0u}}) {
        test::TempDir dir;
        const pid_t pid = fork();
        if (pid == 0) {
            if (ignored) signal(SIGHUP, SIG_IGN);
            if (!std::freopen((dir / "out").c_str(), "w", stdout)) _exit(126);
            execl(test::helper("fake_tool").c_str(), "fake_tool", ("hold:" + (dir / "data").string()).c_str(),
                  nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && (!fs::exists(dir / "out") ||
                                    test::read_string(dir / "out").find("ready") == std::string::npos);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(fs::file_size(dir / "data"), 0u) << "the bytes wait in the buffer";
        kill(pid, sent);
        std::this_thread::sleep_for(std::chrono::milliseconds(ignored ? 300 : 0));
        if (ignored) kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : -1, ends_by);
        EXPECT_EQ(fs::file_size(dir / "data"), written);
    }
}
#endif

}  // namespace
