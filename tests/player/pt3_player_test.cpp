// The PT3 player, assembled with the real pasmo and run on an emulated Z80: what it writes
// to the AY, frame by frame, against the expected register frames of the corpus modules.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

#include "test_support.hpp"
#include "z80_machine.hpp"

namespace {

namespace fs = std::filesystem;
using player_test::AyFrame;
using player_test::read_pasmo_symbols;
using player_test::Z80Machine;

constexpr int kFrames = 500;
constexpr long kCallLimit = 200000;  // T-states; a frame of the Spectrum is about 70000
constexpr std::uint16_t kWorkArea = 0xE000;

struct PlayerImage {
    test::Bytes binary;
    std::map<std::string, std::uint16_t> symbols;
    std::uint16_t origin = 0;

    std::uint16_t symbol(const std::string& name) const {
        auto found = symbols.find(name);
        if (found == symbols.end()) throw std::runtime_error("no symbol " + name);
        return found->second;
    }
};

// Assembles the player at `origin` with the module right after it (after `gap` spare bytes,
// so that tests can move the module) and the work area at kWorkArea.
PlayerImage assemble_player(const test::Bytes& module, std::uint16_t origin, int gap = 0) {
    test::TempDir dir("pt3-player");
    test::write_bytes(dir / "music.pt3", module);
    std::ostringstream source;
    source << "pt3_work equ " << kWorkArea << "\n"
           << "        org " << origin << "\n"
           << "        include \"" << PT3_PLAYER_SOURCE << "\"\n"
           << "pt3_player_end:\n"
           << "        ds " << gap << "\n"
           << "pt3_module:\n"
           << "        incbin \"music.pt3\"\n";
    test::write_string(dir / "wrapper.asm", source.str());
    test::ProcessOptions options;
    options.working_directory = dir.path();
    auto result = test::run_process({PASMO_PROGRAM, "wrapper.asm", "wrapper.bin", "wrapper.sym"}, options);
    if (result.exit_code != 0) throw std::runtime_error("pasmo failed: " + result.out + result.err);
    PlayerImage image;
    image.binary = test::read_bytes(dir / "wrapper.bin");
    image.symbols = read_pasmo_symbols(dir / "wrapper.sym");
    image.origin = origin;
    return image;
}

std::string frame_line(const AyFrame& frame) {
    std::string line;
    for (int reg = 0; reg < 14; ++reg) {
        char text[4];
        if (frame.written[reg]) std::snprintf(text, sizeof text, "%02x", frame.value[reg]);
        if (!line.empty()) line += ' ';
        line += frame.written[reg] ? text : (reg == 13 ? "ff" : "--");
    }
    return line;
}

std::vector<std::string> read_lines(const fs::path& file) {
    std::istringstream in(test::read_string(file));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// A player loaded into a machine with its module, initialised and ready to play.
struct LoadedPlayer {
    PlayerImage image;
    Z80Machine machine;

    explicit LoadedPlayer(const test::Bytes& module, std::uint16_t origin = 0x8000, int gap = 0)
        : image(assemble_player(module, origin, gap)) {
        machine.load(image.origin, image.binary);
        machine.allow_writes(kWorkArea, image.symbol("PT3_WORK_SIZE"));
    }

    bool init() { return machine.call(image.symbol("pt3_init"), image.symbol("pt3_module"), kCallLimit * 4); }
    bool play() { return machine.call(image.symbol("pt3_play"), 0, kCallLimit); }
    bool mute() { return machine.call(image.symbol("pt3_mute"), 0, kCallLimit); }
};

std::optional<fs::path> module_path(const std::string& name) {
    auto corpus = test::corpus_dir();
    if (!corpus) return std::nullopt;
    return *corpus / "pt3" / (name + ".pt3");
}

// Plays `module` and compares each frame with the expected lines; reports the first
// difference, which is what one needs to find the rule that went wrong.
void expect_frames(LoadedPlayer& player, const std::vector<std::string>& expected) {
    ASSERT_TRUE(player.init()) << "pt3_init did not return";
    int matching = 0;
    std::string first_difference;
    for (std::size_t frame = 0; frame < expected.size(); ++frame) {
        ASSERT_TRUE(player.play()) << "pt3_play did not return in frame " << frame + 1;
        std::string actual = frame_line(player.machine.frame());
        if (actual == expected[frame]) {
            ++matching;
        } else if (first_difference.empty()) {
            first_difference = "frame " + std::to_string(frame + 1) + "\n  expected " + expected[frame] +
                               "\n  actual   " + actual;
        }
    }
    EXPECT_EQ(matching, static_cast<int>(expected.size())) << "first difference at " << first_difference;
    EXPECT_TRUE(player.machine.faults().empty()) << player.machine.faults().front();
}

class ExpectedFrames : public testing::TestWithParam<std::string> {};

TEST_P(ExpectedFrames, EveryFrameMatchesTheReference) {
    auto shared = test::shared_dir();
    auto module = module_path(GetParam());
    if (!shared || !module || !fs::exists(*module)) GTEST_SKIP() << "the shared corpus is not here";
    auto expected = read_lines(*shared / "pt3-frames" / (GetParam() + ".frames.txt"));
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(kFrames));
    LoadedPlayer player(test::read_bytes(*module));
    expect_frames(player, expected);
}

INSTANTIATE_TEST_SUITE_P(CorpusModules, ExpectedFrames,
                         testing::Values("shiru_oldlove", "shiru_a_little_journey", "shiru_snowball_game",
                                         "z88dk_vt2_music"));

// Nothing in the player depends on where it or the module lies.
TEST(Pt3Player, PlaysTheSameAtAnotherAddress) {
    auto shared = test::shared_dir();
    auto module = module_path("shiru_a_little_journey");
    if (!shared || !module || !fs::exists(*module)) GTEST_SKIP() << "the shared corpus is not here";
    auto expected = read_lines(*shared / "pt3-frames" / "shiru_a_little_journey.frames.txt");
    LoadedPlayer player(test::read_bytes(*module), 0x6123, 0x1F01);
    expect_frames(player, expected);
}

// Every corpus module, with or without reference frames: each call returns, writes R0..R12
// with values the AY can take, and touches no memory outside the work area and the stack.
// (bench/player_bench.sh measures the time.)
TEST(Pt3Player, PlaysEveryCorpusModuleCleanly) {
    auto corpus = test::corpus_dir();
    if (!corpus) GTEST_SKIP() << "the shared corpus is not here";
    int modules = 0;
    for (const auto& entry : fs::directory_iterator(*corpus / "pt3")) {
        if (entry.path().extension() != ".pt3") continue;
        SCOPED_TRACE(entry.path().filename().string());
        ++modules;
        LoadedPlayer player(test::read_bytes(entry.path()));
        ASSERT_TRUE(player.init());
        long slowest = 0;
        for (int frame = 1; frame <= kFrames; ++frame) {
            ASSERT_TRUE(player.play()) << "frame " << frame << " did not return";
            const AyFrame& ay = player.machine.frame();
            for (int reg = 0; reg <= 12; ++reg)
                ASSERT_TRUE(ay.written[reg]) << "frame " << frame << " R" << reg;
            EXPECT_LE(ay.value[1] | ay.value[3] | ay.value[5], 15) << "frame " << frame;
            EXPECT_LE(ay.value[6], 31) << "frame " << frame;
            EXPECT_EQ(ay.value[7] & 0xC0, 0) << "frame " << frame;
            for (int reg = 8; reg <= 10; ++reg) EXPECT_LE(ay.value[reg], 31) << "frame " << frame;
            if (ay.written[13]) {
                EXPECT_LE(ay.value[13], 15) << "frame " << frame;
            }
            slowest = std::max(slowest, player.machine.tstates());
        }
        EXPECT_TRUE(player.machine.faults().empty()) << player.machine.faults().front();
        std::cout << entry.path().filename().string() << ": slowest frame " << slowest << " T-states\n";
    }
    EXPECT_GT(modules, 0);
}

// The period and level tables printed in the format description, by name
// ("PT_new", "vol:old", ...), as plain lists of numbers.
std::map<std::string, std::vector<int>> read_format_tables(const fs::path& file) {
    std::map<std::string, std::vector<int>> tables;
    std::istringstream in(test::read_string(file));
    std::string line, name;
    for (; std::getline(in, line);) {
        if (line.rfind("<!-- /", 0) == 0) {
            name.clear();
        } else if (line.rfind("<!-- ", 0) == 0) {
            name = line.substr(5, line.find(' ', 5) - 5);
            if (name.rfind("tone:", 0) == 0) name = name.substr(5);
        } else if (!name.empty() && line.size() > 2 && line[0] == '|' && std::isdigit(line[2])) {
            std::istringstream cells(line.substr(line.find('|', 1) + 1));
            for (std::string cell; std::getline(cells, cell, '|');)
                if (cell.find_first_not_of(' ') != std::string::npos)
                    tables[name].push_back(std::stoi(cell, nullptr, 16));
        }
    }
    return tables;
}

std::optional<std::map<std::string, std::vector<int>>> format_tables() {
    auto shared = test::shared_dir();
    if (!shared || !fs::exists(*shared / "pt3-format.md")) return std::nullopt;
    return read_format_tables(*shared / "pt3-format.md");
}

// The smallest useful module: one position, channel A plays `stream_a` with sample 1 (given
// as its positions, 4 bytes each) and ornament 0 (no change); B and C stay silent. With a
// `looped_pattern`, position 1 plays that on channel A and the song loops back to position 1.
test::Bytes make_module(char version, const test::Bytes& stream_a, const test::Bytes& sample_positions,
                        std::uint8_t tone_table = 0, std::uint8_t speed = 1,
                        const test::Bytes& looped_pattern = {}) {
    bool looped = !looped_pattern.empty();
    test::Bytes module(201, ' ');
    const std::string id = "ProTracker 3.";
    std::copy(id.begin(), id.end(), module.begin());
    module[13] = static_cast<std::uint8_t>(version);
    module[99] = tone_table;
    module[100] = speed;
    module[101] = looped ? 2 : 1;
    module[102] = looped ? 1 : 0;
    auto put_word = [&](std::size_t at, std::size_t value) {
        module[at] = value & 0xFF;
        module[at + 1] = (value >> 8) & 0xFF;
    };
    for (std::size_t at = 103; at < 201; ++at) module[at] = 0;
    module.push_back(0);  // position 0: pattern 0
    if (looped) module.push_back(3);
    module.push_back(0xFF);
    std::size_t pattern_table = module.size();
    module.resize(module.size() + (looped ? 12 : 6));
    std::size_t silent = module.size();
    module.insert(module.end(), {0xD0, 0x00});
    std::size_t stream = module.size();
    module.insert(module.end(), stream_a.begin(), stream_a.end());
    std::size_t second_stream = module.size();
    module.insert(module.end(), looped_pattern.begin(), looped_pattern.end());
    std::size_t sample = module.size();
    module.push_back(0);
    module.push_back(static_cast<std::uint8_t>(sample_positions.size() / 4));
    module.insert(module.end(), sample_positions.begin(), sample_positions.end());
    std::size_t ornament = module.size();
    module.insert(module.end(), {0, 1, 0});
    put_word(103, pattern_table);
    put_word(pattern_table, stream);
    put_word(pattern_table + 2, silent);
    put_word(pattern_table + 4, silent);
    if (looped) {
        put_word(pattern_table + 6, second_stream);
        put_word(pattern_table + 8, silent);
        put_word(pattern_table + 10, silent);
    }
    put_word(105 + 2, sample);
    put_word(169, ornament);
    return module;
}

// Tone table byte 99 (4 and up play as 3) and the version digit choose the note periods.
TEST(Pt3Player, BuildsEveryToneTableVariant) {
    auto tables = format_tables();
    if (!tables) GTEST_SKIP() << "the format description is not here";
    const char* names[] = {"PT", "ST", "ASM", "REAL"};
    for (int byte99 : {0, 1, 2, 3, 4, 200}) {
        for (char version : {'0', '3', '4', '5', '7', '9', 'r'}) {
            int table = std::min(byte99, 3);
            bool old_variant = version <= '3';
            std::string name =
                table == 1 ? "ST" : std::string(names[table]) + (old_variant ? "_old" : "_new");
            SCOPED_TRACE("byte 99 = " + std::to_string(byte99) + ", version " + version + ": " + name);
            LoadedPlayer player(
                make_module(version, {0xD0, 0x00}, {0, 0, 0, 0}, static_cast<std::uint8_t>(byte99)));
            ASSERT_TRUE(player.init());
            const auto& expected = tables->at(name);
            ASSERT_EQ(expected.size(), 96u);
            std::uint16_t at = player.image.symbol("pt3_tone_table");
            for (int note = 0; note < 96; ++note) {
                int period = player.machine.peek(at + 2 * note) | player.machine.peek(at + 2 * note + 1) << 8;
                ASSERT_EQ(period, expected[note]) << "note " << note;
            }
        }
    }
}

// Channel volume v with sample amplitude a gives the level in row v, column a of the version's
// volume table: one row per volume command, one amplitude per frame.
TEST(Pt3Player, UsesTheVolumeTableOfTheVersion) {
    auto tables = format_tables();
    if (!tables) GTEST_SKIP() << "the format description is not here";
    test::Bytes stream = {0xB1, 16};
    for (int volume = 1; volume <= 15; ++volume)
        stream.insert(stream.end(), {static_cast<std::uint8_t>(0xC0 + volume), 0x68});
    stream.push_back(0x00);
    test::Bytes sample;
    for (int amplitude = 0; amplitude < 16; ++amplitude)
        sample.insert(sample.end(), {0, static_cast<std::uint8_t>(amplitude), 0, 0});
    for (char version : {'3', '4', '5', '6', '7'}) {
        SCOPED_TRACE(std::string("version ") + version);
        const auto& levels = tables->at(version <= '4' ? "vol:old" : "vol:new");
        LoadedPlayer player(make_module(version, stream, sample));
        ASSERT_TRUE(player.init());
        for (int volume = 1; volume <= 15; ++volume) {
            for (int amplitude = 0; amplitude < 16; ++amplitude) {
                ASSERT_TRUE(player.play());
                ASSERT_EQ(player.machine.frame().value[8], levels[volume * 16 + amplitude])
                    << "volume " << volume << ", amplitude " << amplitude;
            }
        }
    }
}

// A downward portamento leaves the channel sounding for good (its distance must not spill
// into the on/off effect).
TEST(Pt3Player, PortamentoKeepsTheChannelOn) {
    LoadedPlayer player(
        make_module('5', {0xB1, 1, 0x68, 0xB1, 0, 0x02, 0x74, 1, 0, 0, 0x40, 0x00, 0x00}, {0, 0x0F, 0, 0}));
    ASSERT_TRUE(player.init());
    for (int frame = 1; frame <= 300; ++frame) {
        ASSERT_TRUE(player.play());
        ASSERT_EQ(player.machine.frame().value[8], 15) << "frame " << frame;
    }
}

// Muting silences the three channels, and initialisation starts silent without touching
// the envelope shape (an R13 write would restart the envelope).
TEST(Pt3Player, InitialisesAndMutesSilently) {
    LoadedPlayer player(make_module('5', {0xB1, 1, 0xCF, 0x68, 0x00}, {0, 0x0F, 0, 0}));
    ASSERT_TRUE(player.init());
    for (int reg = 8; reg <= 10; ++reg) {
        EXPECT_TRUE(player.machine.frame().written[reg]);
        EXPECT_EQ(player.machine.frame().value[reg], 0);
    }
    EXPECT_FALSE(player.machine.frame().written[13]);
    ASSERT_TRUE(player.play());
    EXPECT_EQ(player.machine.frame().value[8], 15);
    ASSERT_TRUE(player.mute());
    for (int reg = 8; reg <= 10; ++reg) EXPECT_EQ(player.machine.frame().value[reg], 0);
    EXPECT_TRUE(player.machine.faults().empty());
}

// Effects and sample lines the corpus does not use, with their timing worked out by hand: effect 5 keeps the
// channel on for n frames and off for f; a glissando with delay 0 makes one step one frame
// after its row from version 7 on, and no step before.
struct EffectCase {
    const char* name;
    char version;
    test::Bytes stream;
    int reg;                    // the register to watch: 8, or 0 for channel A's period
    std::vector<int> expected;  // its value in frames 1, 2, ...
    test::Bytes sample = {0, 0x0F, 0, 0};
    test::Bytes looped_pattern = {};
};

// A register pair read as one value: R0 with R1 is channel A's period, R11 with R12 the
// envelope period; any other register alone.
int watched_value(const AyFrame& ay, int reg) {
    if (reg == 0 || reg == 11) return ay.value[reg] | ay.value[reg + 1] << 8;
    return ay.value[reg];
}

// Envelope-mode sample lines (b1 bit 7): b0 bits 5..1 are a signed offset, so 0x3E is -1,
// 0x1E is +15 and 0x20 is -16; b1 bit 5 keeps the sum in the channel's accumulator. The
// channel's offset (offset + accumulator, 8-bit) is added to the base period 0x0008 as a
// signed byte: -1 gives 0x0007, -16 gives 0xFFF8. The -16 lines accumulate from frame 3 to
// 11, where the accumulator wraps from -128 to +112; frames 12 to 14 play the sample again on
// top of +112.
const test::Bytes negative_envelope_sample = {0x3E, 0x80, 0, 0, 0x1E, 0x80, 0, 0, 0x20, 0xA0, 0, 0,
                                              0x20, 0xA0, 0, 0, 0x20, 0xA0, 0, 0, 0x20, 0xA0, 0, 0,
                                              0x20, 0xA0, 0, 0, 0x20, 0xA0, 0, 0, 0x20, 0xA0, 0, 0,
                                              0x20, 0xA0, 0, 0, 0x20, 0xA0, 0, 0};

TEST(Pt3Player, PlaysEffectsTheCorpusLacks) {
    const EffectCase cases[] = {
        {"on/off 2 frames on, 3 off",
         '5',
         {0xB1, 64, 0x05, 0x68, 2, 3, 0x00},
         8,
         {15, 15, 0, 0, 0, 15, 15, 0, 0, 0, 15}},
        {"glissando delay 0, version 7",
         '7',
         {0xB1, 64, 0x01, 0x68, 0, 0x10, 0x00, 0x00},
         0,
         {0x308, 0x318, 0x318, 0x318}},
        {"glissando delay 0, version 6",
         '6',
         {0xB1, 64, 0x01, 0x68, 0, 0x10, 0x00, 0x00},
         0,
         {0x308, 0x308, 0x308, 0x308}},
        {"glissando delay 2, step -1",
         '5',
         {0xB1, 64, 0x01, 0x68, 2, 0xFF, 0xFF, 0x00},
         0,
         {0x308, 0x308, 0x307, 0x307, 0x306}},
        {"same effect twice reads its parameters once",
         '5',
         {0xB1, 64, 0x05, 0x03, 0x05, 0x68, 1, 1, 0x00},
         8,
         {15, 0, 15, 0}},
        {"portamento up an octave in steps of 0x40",
         '5',
         {0xB1, 1, 0x68, 0xB1, 64, 0x02, 0x74, 1, 0, 0, 0x40, 0x00, 0x00},
         0,
         {0x308, 0x308, 0x2C8, 0x288, 0x248, 0x208, 0x1C8, 0x188, 0x184, 0x184}},
        {"negative envelope offsets lower the envelope period",
         '5',
         {0x1E, 0x00, 0x08, 0x02, 0xB1, 64, 0x68, 0x00},
         11,
         {0x0007, 0x0017, 0xFFF8, 0xFFE8, 0xFFD8, 0xFFC8, 0xFFB8, 0xFFA8, 0xFF98, 0xFF88, 0x0078, 0x0077,
          0x0087, 0x0068},
         negative_envelope_sample},
        {"past the last position the song goes on from its loop position",
         '5',
         {0xB1, 1, 0x68, 0x00},
         0,
         {0x308, 0x184, 0x184, 0x184},
         {0, 0x0F, 0, 0},
         {0x74, 0x00}},
    };
    for (const auto& effect : cases) {
        SCOPED_TRACE(effect.name);
        LoadedPlayer player(
            make_module(effect.version, effect.stream, effect.sample, 0, 1, effect.looped_pattern));
        ASSERT_TRUE(player.init());
        for (std::size_t frame = 0; frame < effect.expected.size(); ++frame) {
            ASSERT_TRUE(player.play());
            EXPECT_EQ(watched_value(player.machine.frame(), effect.reg), effect.expected[frame])
                << "frame " << frame + 1;
        }
    }
}

}  // namespace
