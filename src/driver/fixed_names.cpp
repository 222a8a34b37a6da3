#include "driver/fixed_names.hpp"

#include "host/platform.hpp"
#include "loader/memory_map.hpp"

namespace driver {

namespace {

constexpr FixedNames windows_names{
    u"music.pt3",
    u"bin\\music.pt3",
    u"bin\\music.pt3.zx7",
    u"bin\\author.bin",
    u"bin\\launch.bin",
    u"asm\\tunefuse.asm",
    u"tunefuse.bin",
    u"screen.scr",
    u"screen.bin",
    u"game.tap",
    u"KRZCode.tap",
    u".tap",
    u"Finished",
    u"tools\\zx7.exe",
    u"tools\\pasmo.exe",
    u"tools\\bin2tap",
    u"--err ",
    u"-append -o KRZCode.tap ",
    u" -a 16384",
    u" -a 25500",
    u"cmd.exe",
    u"/c ",
    u"bin\\tunefuse.lock",
    u"bin\\",
    u"music",
    u".pt3",
    u".zx7",
    u"bin\\tunes.asm",
    u".music.txt",
    u"asm\\preview.asm",
    u"preview.bin",
    u"bin\\titles.bin",
    u"sfx.afb",
    u"bin\\sfx.afb",
};

// POSIX executables carry no ".exe"; the tape is opened by the desktop's own opener.
constexpr FixedNames posix_names{
    u"music.pt3",
    u"bin/music.pt3",
    u"bin/music.pt3.zx7",
    u"bin/author.bin",
    u"bin/launch.bin",
    u"asm/tunefuse.asm",
    u"tunefuse.bin",
    u"screen.scr",
    u"screen.bin",
    u"game.tap",
    u"KRZCode.tap",
    u".tap",
    u"Finished",
    u"tools/zx7",
    u"tools/pasmo",
    u"tools/bin2tap",
    u"--err ",
    u"-append -o KRZCode.tap ",
    u" -a 16384",
    u" -a 25500",
    u"xdg-open",
    u"",
    u"bin/tunefuse.lock",
    u"bin/",
    u"music",
    u".pt3",
    u".zx7",
    u"bin/tunes.asm",
    u".music.txt",
    u"asm/preview.asm",
    u"preview.bin",
    u"bin/titles.bin",
    u"sfx.afb",
    u"bin/sfx.afb",
};

// bin2tap loads the player block where the memory map puts it.
static_assert(loader::written_number<char16_t>(std::u16string_view(windows_names.player_address), 0) ==
              loader::player_first_address);
static_assert(loader::written_number<char16_t>(std::u16string_view(posix_names.player_address), 0) ==
              loader::player_first_address);

constexpr FixedNames macos_names = [] {
    FixedNames names = posix_names;
    names.tape_opener = u"open";
    return names;
}();

}  // namespace

const FixedNames& fixed_names() {
    switch (host::host_kind) {
        case host::HostKind::windows: return windows_names;
        case host::HostKind::macos: return macos_names;
        default: return posix_names;
    }
}

}  // namespace driver
