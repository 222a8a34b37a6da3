// The PT3 player, assembled with the real pasmo and run on an emulated Z80: what it writes to
// the AY, frame by frame, against the expected frames of the corpus and the format's tables.
#include <gtest/gtest.h>

#include <sstream>

#include "ayfx_decoder.hpp"
#include "test_support.hpp"
#include "z80_machine.hpp"

namespace {

namespace fs = std::filesystem;
using player_test::Bytes;

// The player at an odd address (nothing may depend on where it lies), the module further on;
// initialising silences the channels without an R13 write (which restarts the envelope). Writing
// outside the work area and the stack is a fault. call() gives R0 to R13 as the frames files do.
// With an effect bank, the effect player comes too, its state just before the work area, and
// start_effect(L = effect, H = channel) calls ayfx_start.
struct Player : player_test::Z80Machine {
    player_test::Assembly image;
    explicit Player(const Bytes& module, player_test::Core core = player_test::Core::z80ex,
                    const Bytes& bank = {})
        : Z80Machine(core) {
        test::TempDir dir("pt3-player");
        test::write_bytes(dir / "music.pt3", module);
        test::write_bytes(dir / "bank.afb", bank);
        test::write_string(
            dir / "player.asm",
            bank.empty() ? "pt3_work equ 0xE000\n org 0x6123\n include \"" PT3_PLAYER_SOURCE
                           "\"\npt3_player_end:\n ds 0x1F01\npt3_module:\n incbin \"music.pt3\"\n"
                         : "pt3_with_ayfx equ 1\n org 0x4123\n include \"" PT3_PLAYER_SOURCE
                           "\"\n include \"" AYFX_PLAYER_SOURCE
                           "\"\npt3_work: ds PT3_WORK_SIZE\nstart_effect: ld a,l\n ld b,h\n jp "
                           "ayfx_start\npt3_module: incbin \"music.pt3\"\nayfx_bank: incbin \"bank.afb\"\n");
        image = player_test::assemble(PASMO_PROGRAM, dir.path(), "player.asm");
        int origin = bank.empty() ? 0x6123 : 0x4123, work = image.symbols["pt3_work"];
        load(origin, image.code);
        allowed_first = bank.empty() ? work : image.symbols.at("ayfx_state");
        allowed_size = work + image.symbols.at("PT3_WORK_SIZE") - allowed_first;
        std::string init = call("pt3_init", image.symbols.at("pt3_module"));
        EXPECT_EQ(init.substr(24, 9) + init.substr(39), "00 00 00 ff");
    }
    ~Player() { EXPECT_EQ(faults, std::vector<std::string>{}); }
    std::string call(const std::string& routine, std::uint16_t hl = 0) {
        EXPECT_TRUE(Z80Machine::call(image.symbols.at(routine), hl, 1000000))
            << routine << " hangs";  // a frame has 69,888
        std::string line;
        for (int reg = 0, value; reg < 14; ++reg) {
            char text[4] = "--";  // R13 shows ff when it was not written
            if ((value = ay[reg]) >= 0 || reg == 13) std::snprintf(text, 4, "%02x", value & 0xFF);
            line += (reg ? " " : "") + std::string(text);
        }
        return line;
    }
    std::string play() { return call("pt3_play"); }
};

// Every corpus module plays cleanly; those with expected frames match them all, on z80ex and on
// the built-in Spectrum's Z80 alike.
TEST(Pt3Player, PlaysTheCorpus) {
    auto shared = test::shared_dir();
    if (!shared || !fs::exists(*shared / "corpus/pt3")) GTEST_SKIP() << "the shared corpus is not here";
    int compared = 0;
    for (auto core : {player_test::Core::z80ex, player_test::Core::own})
        for (const auto& entry : fs::directory_iterator(*shared / "corpus/pt3")) {
            std::string name = entry.path().stem().string(), line;
            SCOPED_TRACE(name + (core == player_test::Core::own ? " on the built-in Z80" : " on z80ex"));
            Player player(test::read_bytes(entry.path()), core);
            fs::path frames = *shared / "pt3-frames" / (name + ".frames.txt");
            std::istringstream expected(fs::exists(frames) ? test::read_string(frames) : "");
            compared += fs::exists(frames);
            long slowest = 0;
            for (int frame = 1; frame <= 500; ++frame) {
                std::string actual = player.play();
                if (!std::getline(expected, line)) line = actual;  // no expected frames
                ASSERT_EQ(actual, line) << "frame " << frame << ", the first difference";
                slowest = std::max(slowest, player.tstates);
            }
            std::cout << name << ": slowest frame " << slowest << " T-states\n";
        }
    EXPECT_EQ(compared, 8);
}

// The smallest useful module: channel A plays `stream` with sample 1 (`sample`: its 4-byte lines)
// and ornament 0, which changes nothing; B and C are silent. A `loop` stream plays on a second
// position, where the song loops back to.
Bytes make_module(char version, const Bytes& stream, const Bytes& sample, int tone_table = 0,
                  const Bytes& loop = {}) {
    std::string id = "ProTracker 3." + std::string(1, version);
    Bytes module(id.begin(), id.end());
    module.resize(201);
    module[98] = ' ';  // as in every tracker's files: the first pattern is position 0's
    module[99] = tone_table, module[100] = 1, module[101] = 1 + !loop.empty(), module[102] = !loop.empty();
    auto add = [&](const Bytes& bytes) {
        module.insert(module.end(), bytes.begin(), bytes.end());
        return module.size() - bytes.size();
    };
    auto put = [&](int at, std::size_t word) { module[at] = word & 0xFF, module[at + 1] = word >> 8; };
    add(loop.empty() ? Bytes{0, 0xFF} : Bytes{0, 3, 0xFF});
    std::size_t patterns = add(Bytes(12, 0));  // two patterns, a stream for each channel
    put(103, patterns);
    for (int at : {2, 4, 8, 10}) put(patterns + at, add({0xD0, 0x00}));
    put(patterns, add(stream));
    put(patterns + 6, add(loop));
    put(107, add({0, static_cast<std::uint8_t>(sample.size() / 4)}));
    add(sample);
    put(169, add({0, 1, 0}));
    return module;
}

// Byte 99 (4 and up count as 3) and the version choose the note periods of the format
// description's tables; the version its volume table, where channel volume v with sample
// amplitude a gives the level in row v, column a (the stream sets volumes 1 to 15 in turn, the
// sample goes through amplitudes 0 to 15).
TEST(Pt3Player, TakesItsTablesFromTheVersionAndByte99) {
    auto shared = test::shared_dir();
    if (!shared || !fs::exists(*shared / "pt3-format.md")) GTEST_SKIP() << "no format description";
    std::map<std::string, std::vector<int>> tables;  // by their marks: "tone:PT_new", "vol:old", ...
    std::istringstream in(test::read_string(*shared / "pt3-format.md"));
    std::string name;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("<!-- ", 0) == 0) name = line[5] == '/' ? "" : line.substr(5, line.find(' ', 5) - 5);
        if (name.empty() || line.size() < 3 || line[0] != '|' || !std::isdigit(line[2])) continue;
        std::istringstream cells(line.substr(line.find('|', 1) + 1));
        for (std::string cell; cells >> cell;)
            if (cell != "|") tables[name].push_back(std::stoi(cell, nullptr, 16));
    }
    Bytes stream = {0xB1, 16}, sample;
    for (int v = 1; v <= 15; ++v) stream.insert(stream.end(), {std::uint8_t(0xC0 + v), 0x68});
    for (int a = 0; a < 16; ++a) sample.insert(sample.end(), {0, std::uint8_t(a), 0, 0});
    const std::string names[] = {"PT", "ST", "ASM", "REAL"};
    for (char version : {'0', '3', '4', '5', '6', '7', '9', 'r'})
        for (int byte99 : {0, 1, 2, 3, 4, 200}) {
            int table = std::min(byte99, 3);
            name = "tone:" + names[table] + (table == 1 ? "" : version <= '3' ? "_old" : "_new");
            SCOPED_TRACE(name + ", version " + version + ", byte 99 = " + std::to_string(byte99));
            Player player(make_module(version, stream, sample, byte99));
            const auto& memory = player.memory;
            for (int note = 0, at = player.image.symbols.at("pt3_tone_table"); note < 96; ++note, at += 2)
                ASSERT_EQ(memory[at] | memory[at + 1] << 8, tables.at(name).at(note)) << "note " << note;
            const auto& levels = tables.at(version <= '4' ? "vol:old" : "vol:new");
            for (int level = 16; byte99 == 0 && level < 256; ++level)
                ASSERT_EQ((player.play(), player.ay[8]), levels.at(level)) << "volume*16+amplitude " << level;
        }
}

// Effects and sample lines the corpus does not use, their timing worked out by hand from the
// format's rules; after them, muting silences the channels.
struct EffectCase {
    const char* name;
    char version;
    Bytes stream;
    int reg;                    // the register watched: 8, or 0 or 11 for a period (with R1, R12)
    std::vector<int> expected;  // its value in frames 1, 2, ...
    Bytes sample = {0, 0x0F, 0, 0}, loop = {};
};
TEST(Pt3Player, PlaysEffectsTheCorpusLacks) {
    // Envelope-mode sample lines: b0 bits 5..1 are a signed offset (0x3E -1, 0x1E +15, 0x20 -16), b1
    // bit 5 keeps the sum. Offset plus sum (8-bit) is added to period 8 as a signed byte: the -16
    // lines add up from frame 3 to 11, where the sum wraps from -128 to +112, then all plays again.
    Bytes envelope = {0x3E, 0x80, 0, 0, 0x1E, 0x80, 0, 0};
    for (int line = 0; line < 9; ++line) envelope.insert(envelope.end(), {0x20, 0xA0, 0, 0});
    // clang-format off
    const EffectCase cases[] = {
        {"on/off: 2 frames on, 3 off", '5', {0xB1, 64, 0x05, 0x68, 2, 3, 0x00}, 8,
         {15, 15, 0, 0, 0, 15, 15, 0, 0, 0, 15}},
        {"glissando delay 0, version 7", '7', {0xB1, 64, 0x01, 0x68, 0, 0x10, 0x00, 0x00}, 0,
         {0x308, 0x318, 0x318, 0x318}},
        {"glissando delay 0, version 6", '6', {0xB1, 64, 0x01, 0x68, 0, 0x10, 0x00, 0x00}, 0,
         {0x308, 0x308, 0x308, 0x308}},
        {"glissando delay 2, step -1", '5', {0xB1, 64, 0x01, 0x68, 2, 0xFF, 0xFF, 0x00}, 0,
         {0x308, 0x308, 0x307, 0x307, 0x306}},
        {"the same effect twice reads its parameters once", '5',
         {0xB1, 64, 0x05, 0x03, 0x05, 0x68, 1, 1, 0x00}, 8, {15, 0, 15, 0}},
        {"portamento up an octave in steps of 0x40", '5',
         {0xB1, 1, 0x68, 0xB1, 64, 0x02, 0x74, 1, 0, 0, 0x40, 0, 0}, 0,
         {0x308, 0x308, 0x2C8, 0x288, 0x248, 0x208, 0x1C8, 0x188, 0x184, 0x184}},
        {"a portamento down leaves the channel on (its distance is not an on/off time)", '5',
         {0xB1, 1, 0x68, 0xB1, 0, 0x02, 0x74, 1, 0, 0, 0x40, 0, 0}, 8, std::vector<int>(300, 15)},
        {"negative envelope offsets lower the envelope period", '5',
         {0x1E, 0x00, 0x08, 0x02, 0xB1, 64, 0x68, 0x00}, 11,
         {7, 0x17, 0xFFF8, 0xFFE8, 0xFFD8, 0xFFC8, 0xFFB8, 0xFFA8, 0xFF98, 0xFF88, 0x78, 0x77, 0x87, 0x68},
         envelope},
        {"past the last position the song goes on from its loop position", '5', {0xB1, 1, 0x68, 0x00}, 0,
         {0x308, 0x184, 0x184, 0x184}, {0, 0x0F, 0, 0}, {0x74, 0x00}},
    };
    // clang-format on
    for (const auto& effect : cases) {
        SCOPED_TRACE(effect.name);
        Player player(make_module(effect.version, effect.stream, effect.sample, 0, effect.loop));
        const auto& ay = player.ay;
        for (std::size_t frame = 0; frame < effect.expected.size(); ++frame) {
            std::string line = player.play();
            ASSERT_EQ(ay[effect.reg] | (effect.reg == 8 ? 0 : ay[effect.reg + 1]) << 8,
                      effect.expected[frame])
                << "frame " << frame + 1 << ": " << line;
        }
        EXPECT_EQ(player.call("pt3_mute").substr(24, 8), "00 00 00");
    }
}

struct SfxCase {
    const char *name, *module, *bank;
    std::vector<std::array<int, 3>> starts;  // frame, effect (-1: ayfx_stop, -2: the whole bank), channel
    int frames;
};
// Sound effects over the music. A frame's expected registers are the music's (its expected
// frames, past them the player without effects, which PlaysTheCorpus holds to them) with the
// effect's frame laid over them by test::EffectDecoder.
TEST(Pt3Player, MixesSoundEffectsIntoTheMusic) {
    auto shared = test::shared_dir();
    if (!shared || !fs::exists(*shared / "corpus/afx")) GTEST_SKIP() << "the shared corpus is not here";
    // clang-format off
    const SfxCase cases[] = {
        {"stopped midway on channel A", "shiru_snowball_game", "siriokds_zxgames", {{1, 64, 0}, {30, -1, 0}}, 60},
        {"replaced by one on channel C", "shiru_snowball_game", "siriokds_zxgames", {{3, 64, 0}, {20, 5, 2}}, 60},
        // Effect 64 leaves tone 156 and noise 16; the music's A is silent, its B in oldlove too:
        // the effect's tone periods must not stay after it.
        {"the next effect starts without tone or noise values: from 0", "z88dk_vt2_music",
         "siriokds_zxgames", {{2, 64, 0}, {13, 27, 0}}, 40},
        {"a number past the last effect changes nothing; stopped on tone 152", "shiru_oldlove",
         "siriokds_zxgames", {{1, 64, 1}, {5, 94, 0}, {20, -1, 0}}, 30},
        {"262 effects behind a count byte of 6; channel 7 is C", "shiru_a_little_journey",
         "siriokds_streetofrage2", {{4, 200, 7}}, 100},
        {"an empty effect ends at once", "shiru_oldlove", "siriokds_testeffects", {{2, 0, 1}, {3, 1, 0}}, 10},
        {"every effect in turn on A, B, C and 3", "shiru_snowball_game", "siriokds_zxgames", {{1, -2, 0}}, 4000},
    };
    // clang-format on
    for (const auto& sfx : cases) {
        SCOPED_TRACE(sfx.name);
        Bytes module = test::read_bytes(*shared / "corpus/pt3" / (sfx.module + std::string(".pt3")));
        test::EffectDecoder effect{
            test::read_bytes(*shared / "corpus/afx" / (sfx.bank + std::string(".afb")))};
        Player player(module, player_test::Core::z80ex, effect.bank), music(module);
        fs::path frames = *shared / "pt3-frames" / (sfx.module + std::string(".frames.txt"));
        std::istringstream expected(fs::exists(frames) ? test::read_string(frames) : "");
        bool whole_bank = false;
        for (int frame = 1, channel = 0; frame <= sfx.frames; ++frame) {
            for (auto [at, number, on] : sfx.starts)
                if (at == frame && number == -1)
                    player.call("ayfx_stop"), effect.playing = false;
                else if (at == frame && number == -2)
                    whole_bank = true;
                else if (at == frame)
                    player.call("start_effect", number | on << 8), effect.start(number, on);
            if (whole_bank && !effect.playing && effect.next < static_cast<std::size_t>(effect.count())) {
                player.call("start_effect", effect.next | channel << 8);
                effect.start(static_cast<int>(effect.next++), channel), channel = (channel + 1) % 4;
            }
            std::string line, past = music.play();
            if (!std::getline(expected, line)) line = past;
            std::vector<int> reg = test::registers(line);
            effect.frame(reg);
            ASSERT_EQ(test::registers(player.play()), reg) << "frame " << frame << ", music " << line;
        }
        EXPECT_FALSE(effect.playing);
        EXPECT_EQ(effect.next, whole_bank ? static_cast<std::size_t>(effect.count()) : 0u);
    }
}

}  // namespace
