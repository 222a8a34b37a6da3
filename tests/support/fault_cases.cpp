#include "fault_cases.hpp"

#include <algorithm>

#include "build_inputs.hpp"
#include "game_tape_cases.hpp"

namespace test {

namespace {

#ifdef _WIN32
constexpr bool windows = true;
#else
constexpr bool windows = false;
#endif

enum class Host { both, posix, windows };

auto game_tape(const Bytes& bytes) {
    return [bytes](const fs::path& dir) { write_bytes(dir / "game.tap", bytes); };
}

auto music(std::function<void(const fs::path&)> make) {
    return [make](const fs::path& dir) {
        fs::remove(dir / "music.pt3");
        make(dir / "music.pt3");
    };
}

auto module_of(std::size_t size) {
    return music([size](const fs::path& m) { write_bytes(m, make_module("Tune", "Me", size)); });
}

auto folder(const char* name) {
    return [name](const fs::path& dir) { fs::create_directories(dir / name); };
}

auto without(const char* name) {
    return [name](const fs::path& dir) { fs::remove_all(dir / name); };
}

FaultCase tool(const char* label, const char* variable, const char* mode, std::string problem = "") {
    return {.label = label, .env = {{variable, mode}, {"FAKE_TOOL_SECONDS", "2"}}, .problem = problem};
}

// A game whose tape header holds the name: refused (no output) or the tape it gives.
FaultCase game_named(const std::string& name, const std::string& output) {
    return {.label = "game named " + name,
            .prepare = game_tape(make_game_tape((name + std::string(10, ' ')).substr(0, 10))),
            .problem = output.empty() ? "could not create the output tape " + name + ".tap" : "",
            .output = output};
}

}  // namespace

std::vector<FaultCase> fault_cases() {
    std::vector<std::pair<Host, FaultCase>> table = {
        {Host::both, tool("compressor fails", "FAKE_ZX7_MODE", "fail", "the compressor exited with code 3")},
        {Host::both, tool("assembler fails", "FAKE_PASMO_MODE", "fail", "the assembler exited with code 3")},
        {Host::both, tool("bin2tap fails", "FAKE_BIN2TAP_MODE", "fail", "bin2tap exited with code 3")},
        {Host::both,
         tool("compressor killed", "FAKE_ZX7_MODE", "killed", "the compressor exited with code 137")},
        {Host::both,
         tool("assembler killed", "FAKE_PASMO_MODE", "killed", "the assembler exited with code 137")},
        {Host::both, tool("bin2tap killed", "FAKE_BIN2TAP_MODE", "killed", "bin2tap exited with code 137")},
        {Host::posix, tool("compressor hangs a while", "FAKE_ZX7_MODE", "hang")},
        {Host::both, tool("bin2tap writes 50 MB", "FAKE_BIN2TAP_MODE", "flood-out")},
        {Host::both, tool("compressor writes a partial line", "FAKE_ZX7_MODE", "partial-line")},
        {Host::both, tool("assembler writes a partial line", "FAKE_PASMO_MODE", "partial-line")},
        {Host::both, tool("bin2tap leaves one byte", "FAKE_BIN2TAP_MODE", "one-byte")},
        {Host::both, tool("compressor leaves one byte", "FAKE_ZX7_MODE", "one-byte")},

        {Host::both,
         {.label = "no bin folder",
          .prepare = without("bin"),
          .problem = "could not copy the music file to $kit/bin/music.pt3"}},
        {Host::both,
         {.label = "no tools folder",
          .prepare = without("tools"),
          .problem = std::string("could not start the compressor: $kit/tools/zx7") + TUNEFUSE_EXE_SUFFIX}},
        {Host::both,
         {.label = "no asm folder",
          .prepare = without("asm"),
          .problem = "the assembler exited with code 1"}},
        {Host::both,
         {.label = "loader tape is a folder",
          .prepare = folder("KRZCode.tap"),
          .problem = "could not write the loader tape KRZCode.tap"}},
        {Host::both,
         {.label = "output tape is a folder",
          .prepare =
              [](const fs::path& dir) {
                  fs::create_directories(dir / "demo.tap");
                  write_bytes(dir / "demo.tap" / "inside", {1, 2, 3});
              },
          .problem = "could not create the output tape demo.tap"}},
        {Host::posix,
         {.label = "player is a folder",
          .prepare = folder("tunefuse.bin"),
          .problem = "the assembled player was not produced: $kit/tunefuse.bin"}},
        {Host::posix,
         {.label = "work copy is a folder",
          .prepare = folder("bin/music.pt3"),
          .problem = "could not copy the music file to $kit/bin/music.pt3"}},

        {Host::both,
         {.label = "empty game tape",
          .prepare = game_tape({}),
          .problem =
              "game.tap is missing or empty: copy your game's tape into the program directory as game.tap",
          .messages = "tunefuse: error: game.tap is missing or empty: copy your game's tape into the program "
                      "directory as game.tap\ntunefuse: error: no output tape was written\n"}},

        // Names that would overwrite the user's game or the loader tape, leave the program
        // directory, or name an alternate stream or a device, are refused on every host.
        {Host::both, game_named("game", "")},
        {Host::both, game_named("KRZCode", "")},
        {Host::windows, game_named("GAME", "")},  // file names are not case sensitive there
        {Host::windows, game_named("krzcode", "")},
        {Host::posix, game_named("GAME", "GAME.tap")},
        {Host::both, game_named("a/b", "")},
        {Host::both, game_named("a\\b", "")},
        {Host::both, game_named("..", "")},
        {Host::both, game_named("../escape", "")},
        {Host::both, game_named("..\\escape", "")},
        {Host::both, game_named("/tmp/x", "")},
        {Host::both, game_named("a|b", "")},
        {Host::both, game_named("say \"hi\"", "")},
        {Host::both, game_named("why?", "")},
        {Host::both, game_named("a*b", "")},
        {Host::both, game_named("c:x", "")},
        {Host::both, game_named("CON", "")},
        {Host::both, game_named("nul.x", "")},
        {Host::both, game_named("com1", "")},
        {Host::both, game_named("\x01\x02      ab", "")},
        {Host::both, game_named("", "Finished.tap")},
        {Host::both, game_named("a&b", "a&b.tap")},
        {Host::both, game_named("my game", "my game.tap")},
        // Nothing reads the name as a command.
        {Host::posix, game_named("%PATH%", "%PATH%.tap")},
        {Host::posix, game_named("a;rm b", "a;rm b.tap")},
        {Host::posix, game_named("$(id)`id`", "$(id)`id`.tap")},
        // Ten bytes, seven characters: the name ends with its field, not in the length after it.
        {Host::posix, game_named("Gam\xC3\xA9\xE2\x98\x83", "Gam\xC3\xA9\xE2\x98\x83.tap")},
        // Bytes that are no UTF-8 become replacement characters, each a character a name may hold.
        {Host::posix, game_named("\xFF\xFE\x80game", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDgame.tap")},

        {Host::both,
         {.label = "music is a folder",
          .prepare = music([](const fs::path& m) { fs::create_directories(m); }),
          .problem = "music file is a folder: $kit/music.pt3"}},
        {Host::both,
         {.label = "music is empty",
          .prepare = music([](const fs::path& m) { write_bytes(m, {}); }),
          .problem = "music file is empty: $kit/music.pt3"}},
        {Host::both,
         {.label = "music is not a PT3",
          .prepare = music([](const fs::path& m) { write_string(m, std::string(500, '\x01')); }),
          .problem = "the music file is not a PT3 module: music.pt3"}},
        {Host::posix, {.label = "music of 98 bytes", .prepare = module_of(98)}},
        {Host::posix, {.label = "music of 1 MB", .prepare = module_of(1024 * 1024)}},
    };
    for (const GameTapeCase& c : game_tape_cases())
        table.push_back({Host::both,
                         {.label = c.label,
                          .prepare = game_tape(c.tape),
                          .problem = c.error,
                          .output = c.output,
                          .messages = game_tape_messages(c)}});

    std::vector<FaultCase> cases;
    for (auto& [host, c] : table)
        if (host == Host::both || (host == Host::windows) == windows) cases.push_back(std::move(c));
    return cases;
}

std::string problem_in(const FaultCase& fault_case, const fs::path& dir) {
    std::string text = fault_case.problem;
    const std::string marker = "$kit/";
    auto at = text.find(marker);
    if (at == std::string::npos) return text;
    std::string path = text.substr(at + marker.size());
    if (windows) std::replace(path.begin(), path.end(), '/', '\\');
    return text.substr(0, at) + (dir / path).string();
}

}  // namespace test
