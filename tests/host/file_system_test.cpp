#include "host/file_system.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "host/platform.hpp"
#include "test_support.hpp"

namespace {

using host::Text;
namespace fs = std::filesystem;

Text text_of(const fs::path& path) {
    return host::from_utf8(path.string());
}

TEST(FileSystem, FileSizeTable) {
    test::TempDir dir;
    test::write_bytes(dir / "music.pt3", test::Bytes(2048, 1));
    test::write_bytes(dir / "empty.scr", {});
    fs::create_directories(dir / "bin");
    struct Case {
        Text name;
        std::int64_t size;
    };
    Text base = text_of(dir.path());
    // "\" separates on Windows alone; elsewhere it is part of a name, and names another file.
    const bool windows = host::host_kind == host::HostKind::windows;
    if (!windows) test::write_bytes(dir / "back\\slash", test::Bytes(7, 1));
    for (const Case& c :
         {Case{base + u"/music.pt3", 2048}, Case{base + u"\\music.pt3", windows ? 2048 : -1},
          Case{base + u"/empty.scr", 0}, Case{base + u"/missing", -1}, Case{u"", -1},
          Case{base + u"/bin", -2}, Case{base + u"/bin/", -2}, Case{base + u"/bin//", -2},
          Case{base + u"/bin\\", windows ? -2 : -1}, Case{base + u"/back\\slash", windows ? -1 : 7},
          Case{base + u"/mus*", 2048}, Case{base + u"/music.pt?", 2048}, Case{base + u"/nothing*", -1}})
        EXPECT_EQ(host::file_size(c.name), c.size) << host::to_utf8(c.name);
}

TEST(FileSystem, CopyReplacesTarget) {
    test::TempDir dir;
    test::write_string(dir / "a", "new contents");
    test::write_string(dir / "b", "old contents that are longer");
    EXPECT_NE(host::copy_file(text_of(dir / "a"), text_of(dir / "b")), 0);
    EXPECT_EQ(test::read_string(dir / "b"), "new contents");
    EXPECT_EQ(host::copy_file(text_of(dir / "missing"), text_of(dir / "c")), 0);
    EXPECT_FALSE(fs::exists(dir / "c"));
    EXPECT_EQ(host::copy_file(u"", text_of(dir / "c")), 0);
}

TEST(FileSystem, CopyOntoItselfKeepsTheFile) {
    test::TempDir dir;
    test::write_string(dir / "a", "precious");
    EXPECT_EQ(host::copy_file(text_of(dir / "a"), text_of(dir / "." / "a")), 0);
    EXPECT_EQ(test::read_string(dir / "a"), "precious");
    EXPECT_TRUE(host::same_file(text_of(dir / "a"), text_of(dir / "." / "a")));
}

TEST(FileSystem, DeleteWithAndWithoutForce) {
    test::TempDir dir;
    test::write_string(dir / "locked", "x");
    fs::permissions(dir / "locked", fs::perms::owner_read);
    EXPECT_EQ(host::delete_file(text_of(dir / "locked")), 0);
    EXPECT_TRUE(fs::exists(dir / "locked"));
    EXPECT_NE(host::delete_file(text_of(dir / "locked"), host::delete_force), 0);
    EXPECT_FALSE(fs::exists(dir / "locked"));
    EXPECT_EQ(host::delete_file(text_of(dir / "locked")), 0);
    EXPECT_EQ(host::delete_file(u""), 0);
}

TEST(FileSystem, SetCurrentDirectory) {
    test::TempDir dir;
    fs::path before = fs::current_path();
    EXPECT_NE(host::set_current_directory(text_of(dir.path()) + u"/"), 0);
    EXPECT_EQ(fs::current_path(), fs::canonical(dir.path()));
    EXPECT_EQ(host::set_current_directory(text_of(dir / "missing")), 0);
    EXPECT_EQ(host::set_current_directory(u""), 0);
    fs::current_path(before);
}

}  // namespace
