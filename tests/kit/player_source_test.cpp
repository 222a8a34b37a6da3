// The player source assembled by pasmo as the program does, at the limits it states: the entry
// table, each size's layout, only the compressed music on tape, refusals that name the limits.
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
    std::size_t main_limit = stated_limit("max_module_size"), packed_limit = stated_limit("max_packed_size");
    ASSERT_TRUE(main_limit > 1000 && packed_limit > 1000 && stated_limit("max_banked_module_size") == 16384)
        << "asm/tunefuse.asm no longer states its limits";
    auto bytes = [](std::size_t size) { return std::to_string(size) + " bytes"; };
    struct Case {
        const char* name;
        Bytes module;
        bool banked;
        std::vector<std::string> refusal;  // what the message names; empty when it fits
    };
    const Case cases[] = {
        {"largest module for main memory", module_of_size(main_limit), false, {}},
        {"one byte more goes to a bank", module_of_size(main_limit + 1), true, {}},
        {"largest module for a bank", module_of_size(16384), true, {}},
        {"over a bank", module_of_size(16385), true, {"at most 16384 bytes", "up to " + bytes(main_limit)}},
        {"packed too large for a bank",
         module_of_size(packed_limit, true),
         true,
         {"at most " + bytes(packed_limit), "more than " + bytes(main_limit)}},
        {"packed too large for main memory", module_of_size(main_limit, true), false, {"must end by 31999"}}};
    test::TempDir dir;
    fs::copy(test::kit_dir() / "asm", dir / "asm");
    fs::create_directories(dir / "bin");
    test::write_string(dir / "bin/author.bin", "Tunefuse 1.6.1 Kestrin 2017-Song/Someone/music.pt3\r\n");
    Bytes launch{7, 0x38, 0x38, 0, 0x00, 0x7D, 0};
    launch.resize(64);  // the default launch, as long as the build allows
    test::write_bytes(dir / "bin/launch.bin", launch);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_bytes(dir / "bin/music.pt3", c.module);
        fs::remove(dir / "bin/music.pt3.zx7");
        fs::remove(dir / "tunefuse.bin");
        auto packed =
            test::run_process({(test::kit_dir() / "tools/zx7").string(), (dir / "bin/music.pt3").string()});
        ASSERT_EQ(packed.exit_code, 0) << packed.err;
        test::ProcessOptions options;
        options.working_directory = dir.path();
        auto run = test::run_process(
            {(test::kit_dir() / "tools/pasmo").string(), "--err", "asm/tunefuse.asm", "tunefuse.bin"},
            options);
        if (!c.refusal.empty()) {
            // pasmo --err puts errors on standard output and warnings on standard error.
            EXPECT_NE(run.exit_code, 0);
            EXPECT_FALSE(fs::exists(dir / "tunefuse.bin"));
            EXPECT_NE(run.err.find("The music does not fit"), std::string::npos) << run.err;
            for (const auto& named : c.refusal) EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
            continue;
        }
        ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
        Bytes code = test::read_bytes(dir / "tunefuse.bin");
        ASSERT_GT(code.size(), 20u);  // the entries, the module's address and its bank
        for (int entry : {25500, 25503, 25506, 25511}) {
            std::size_t at = static_cast<std::size_t>(entry - 25500);
            int target = code[at + 1] | code[at + 2] << 8;
            EXPECT_TRUE(code[at] == 0xC3 && target > player_music_bank && target < 32000)
                << "entry " << entry;
        }
        int module_address = code[9] | code[10] << 8, bank = code[player_music_bank - 25500];
        if (c.banked) {
            EXPECT_EQ(bank, static_cast<int>(stated_limit("music_bank_number")));
            EXPECT_EQ(module_address, music_bank_address);
        } else {
            EXPECT_EQ(bank, 0);
            EXPECT_GT(module_address, player_music_bank);
            EXPECT_LE(module_address + static_cast<int>(c.module.size()), 32000);
            EXPECT_LE(25500 + static_cast<int>(code.size()), 32000);
        }
        Bytes music = test::read_bytes(dir / "bin/music.pt3.zx7");
        EXPECT_NE(std::search(code.begin(), code.end(), music.begin(), music.end()), code.end());
        for (std::size_t at = 0; at + 64 <= c.module.size(); at += 500)
            EXPECT_EQ(std::search(code.begin(), code.end(), c.module.begin() + static_cast<long>(at),
                                  c.module.begin() + static_cast<long>(at) + 64),
                      code.end())
                << "raw module bytes from offset " << at << " travel on tape";
    }
}

}  // namespace
