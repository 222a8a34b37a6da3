// The player source assembled by pasmo as the program does, at the limits it states: the entry
// table, tune 1 in main memory or banked, only compressed music on tape, refusals that name the
// limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "player_limit.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;

// A module that compresses well, as real ones do, or (`noise`) not at all.
Bytes module_of_size(std::size_t size, bool noise = false) {
    Bytes module(size);
    std::mt19937 random(12345);
    for (std::size_t i = 0; i < size; ++i)
        module[i] = static_cast<std::uint8_t>(noise ? random() : i % 7 * 3 + i / 50 % 5);
    return module;
}

TEST(PlayerSource, LayoutsAndRefusalsAtTheStatedLimits) {
    if (!fs::exists(test::kit_dir() / "tools/pasmo")) GTEST_SKIP() << "the kit has no tools/pasmo";
    std::size_t main_limit = stated_limit("max_module_size");
    ASSERT_TRUE(main_limit >= 3890 && stated_limit("max_banked_module_size") == 16384)
        << "asm/tunefuse.asm no longer states its limits";
    const std::size_t effects_player = stated_limit("effects_player_bytes"),
                      banked_effects = stated_limit("max_banked_effects_size"),
                      beside = main_limit - stated_limit("banked_effects_player_bytes");  // effects banked
    ASSERT_TRUE(effects_player > 0 && banked_effects > 0 && beside < main_limit)
        << "asm/tunefuse.asm no longer states its limits";
    struct Case {
        const char* name;
        std::vector<std::size_t> sizes;  // of tune 1, 2, ...
        std::size_t effects;             // bytes of sfx.afb
        bool banked;                     // tune 1 goes in a bank
        std::string refusal = "";        // what the message names; empty when it fits
        bool noise = false;
    };
    const auto with_eight_banked = [](std::size_t first) {
        return std::vector<std::size_t>{first, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000};
    };
    const std::size_t effects_room = main_limit - 1000 - effects_player;
    const Case cases[] = {
        {"largest module for main memory, with eight banked tunes", with_eight_banked(main_limit), 0, false},
        {"one byte more goes to a bank", {main_limit + 1}, 0, true},
        {"largest module for main memory, noise", {main_limit}, 0, false, "", true},
        {"largest module for a bank", {16384, 16384}, 0, true},
        {"over a bank", {main_limit, 16385}, 0, false, "at most 16384 bytes"},
        {"four full banks", {100, 16384, 16384, 16384, 16384}, 0, false, "room for its set-up code"},
        {"tune 1 and effects filling main memory", with_eight_banked(1000), effects_room, false},
        {"one byte more of effects sends them to a bank", {1000}, effects_room + 1, false},
        {"largest effects with tune 1 banked", with_eight_banked(main_limit + 1), banked_effects, true},
        {"one byte more of effects, both banked", with_eight_banked(main_limit + 1), banked_effects + 1,
         true},
        {"largest tune 1 beside effects in a bank", {beside}, 9000, false},
        {"one byte more of tune 1, both banked", {beside + 1}, 9000, true}};
    test::TempDir dir;
    fs::copy(test::kit_dir() / "asm", dir / "asm");
    fs::create_directories(dir / "bin");
    test::write_string(dir / "bin/author.bin", "Tunefuse 1.6.1 Kestrin 2017-Song/Someone/music.pt3\r\n");
    Bytes launch{7, 0x38, 0x38, 0, 0x00, 0x7D, 0};
    launch.resize(64);  // the default launch, as long as the build allows
    test::write_bytes(dir / "bin/launch.bin", launch);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TunePlace> tunes;
        Bytes music;
        for (std::size_t size : c.sizes) {
            test::write_bytes(dir / "bin/music.pt3", module_of_size(size, c.noise));
            auto packed = test::run_process(
                {(test::kit_dir() / "tools/zx7").string(), "-f", (dir / "bin/music.pt3").string()});
            ASSERT_EQ(packed.exit_code, 0) << packed.err;
            if (tunes.empty()) music = test::read_bytes(dir / "bin/music.pt3.zx7");
            tunes.push_back(
                {static_cast<int>(size), static_cast<int>(fs::file_size(dir / "bin/music.pt3.zx7"))});
        }
        test::write_bytes(dir / "bin/music.pt3.zx7", music);
        test::write_string(dir / "bin/tunes.asm", tunes_asm(tunes, {static_cast<int>(c.effects), 100}));
        test::write_bytes(dir / "bin/sfx.afb", Bytes(c.effects, 0));
        fs::remove(dir / "tunefuse.bin");
        auto run = test::run_process(
            {(test::kit_dir() / "tools/pasmo").string(), "--err", "asm/tunefuse.asm", "tunefuse.bin"},
            {.working_directory = dir.path()});
        if (!c.refusal.empty()) {
            // pasmo --err puts errors on standard output and warnings on standard error.
            EXPECT_NE(run.exit_code, 0);
            EXPECT_FALSE(fs::exists(dir / "tunefuse.bin"));
            EXPECT_TRUE(run.err.find("The music does not fit") != std::string::npos &&
                        run.err.find(c.refusal) != std::string::npos)
                << run.err;
            continue;
        }
        ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
        Bytes code = test::read_bytes(dir / "tunefuse.bin");
        ASSERT_GT(code.size(), 20u);  // the entries, the module's address and its bank
        for (int entry : {25500, 25503, 25506, 25511, 25514, 25520, 25523}) {
            std::size_t at = static_cast<std::size_t>(entry - 25500);
            int target = code[at + 1] | code[at + 2] << 8;
            EXPECT_TRUE(code[at] == 0xC3 && target > player_music_bank && target < 32000)
                << "entry " << entry;
        }
        // Tune 1's compressed music travels in the block exactly when it goes in main memory,
        // and the block then ends before the banked tunes' blocks load at 0x8000.
        bool carried = std::search(code.begin(), code.end(), music.begin(), music.end()) != code.end();
        EXPECT_EQ(carried, tunes[0].bank == 0);
        EXPECT_EQ(tunes[0].bank != 0, c.banked);
        EXPECT_LE(25500 + code.size(), tunes[0].bank == 0 || c.effects ? 0x8000u : 32000u);
        Bytes module = module_of_size(c.sizes[0], c.noise);
        for (std::size_t at = 0; at + 64 <= module.size(); at += 500)
            EXPECT_EQ(std::search(code.begin(), code.end(), module.begin() + static_cast<long>(at),
                                  module.begin() + static_cast<long>(at) + 64),
                      code.end())
                << "raw module bytes from offset " << at << " travel on tape";
    }
}

}  // namespace
