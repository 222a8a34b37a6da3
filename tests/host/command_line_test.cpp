#include "host/command_line.hpp"

#include <gtest/gtest.h>

#include "host/platform.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
using Words = std::vector<Text>;

// The program's own command line: P is the program's name, Q a double quote.
TEST(CommandLine, SplittingTable) {
    struct Case {
        Text line;
        Words parameters;
    };
    for (const Case& c :
         {Case{u"P", {}}, Case{u"P   a   b   ", {u"a", u"b"}}, Case{u"P \"a b\"c d", {u"a b", u"c", u"d"}},
          Case{u"P a\"b c\"d e", {u"ab cd", u"e"}}, Case{u"P \"\" x", {u"", u"x"}},
          Case{u"P \"abc", {u"abc"}}, Case{u"P a\tb", {u"a\tb"}},
          Case{u"\"C:\\Program Files\\t.exe\" \"D:\\my music\\a.pt3\"", {u"D:\\my music\\a.pt3"}},
          Case{u"P a\\\"b", {u"a\\b"}}}) {
        Words tokens = host::split_command_line(c.line);
        ASSERT_FALSE(tokens.empty());
        EXPECT_EQ(Words(tokens.begin() + 1, tokens.end()), c.parameters) << test::fs::path(c.line).string();
    }
}

// How a Windows C runtime program splits the command line it is given.
TEST(CommandLine, CRuntimeSplittingTable) {
    struct Case {
        Text line;
        Words words;
    };
    for (const Case& c : {Case{u"\"/a b/tool\" x y", {u"/a b/tool", u"x", u"y"}}, Case{u"\"/t\"", {u"/t"}},
                          Case{u"\"/t\" ", {u"/t"}}, Case{u"t \"a b\" c", {u"t", u"a b", u"c"}},
                          Case{u"t a\\\\\"b c\"", {u"t", u"a\\b c"}}, Case{u"t a\\\"b", {u"t", u"a\"b"}},
                          Case{u"t a\\b\\", {u"t", u"a\\b\\"}}, Case{u"t \"\"", {u"t", u""}},
                          Case{u"t a\tb", {u"t", u"a", u"b"}}, Case{u"t \"a\"\"b\"", {u"t", u"a\"b"}},
                          Case{u"\"C:\\x\\\"y z", {u"C:\\x\\y", u"z"}}})
        EXPECT_EQ(host::split_like_c_runtime(c.line), c.words) << test::fs::path(c.line).string();
}

TEST(CommandLine, PathParts) {
    struct Case {
        Text path, directory, file;
    };
    for (const Case& c :
         {Case{u"D:\\games\\tool.exe", u"D:\\games\\", u"tool.exe"}, Case{u"music.pt3", u"", u"music.pt3"},
          Case{u"D:/games/x", u"D:/games/", u"x"}, Case{u"D:\\games\\", u"D:\\games\\", u""},
          Case{u"\"D:\\games\\tool.exe\"", u"D:\\games\\", u"tool.exe"},
          Case{u"/home/a b/kit/tunefuse", u"/home/a b/kit/", u"tunefuse"}, Case{u"a/b|c/d", u"a/", u"d"}}) {
        EXPECT_EQ(host::path_part(c.path), c.directory);
        EXPECT_EQ(host::file_part(c.path), c.file);
    }
}

TEST(CommandLine, ProgramParameterRemovesQuotes) {
    if (host::host_kind == host::HostKind::windows)
        GTEST_SKIP() << "Windows reads the whole command line; windows_host_test covers it";
    char program[] = "tunefuse", first[] = "\"my \"song.pt3", second[] = "";
    char* argv[] = {program, first, second};
    host::remember_arguments(3, argv);
    EXPECT_EQ(host::program_parameter(0), u"my song.pt3");
    EXPECT_EQ(host::program_parameter(1), u"");
    EXPECT_EQ(host::program_parameter(2), u"");
    EXPECT_EQ(host::program_parameter(-1), u"");
}

TEST(CommandLine, ProgramFileNameIsThisExecutable) {
    Text name = host::program_file_name();
    EXPECT_TRUE(test::fs::exists(host::to_utf8(name)));
    const bool windows = host::host_kind == host::HostKind::windows;
    EXPECT_EQ(host::path_part(name).back(), windows ? u'\\' : u'/');
    EXPECT_EQ(host::file_part(name), windows ? u"host_command_line_test.exe" : u"host_command_line_test");
}

}  // namespace
