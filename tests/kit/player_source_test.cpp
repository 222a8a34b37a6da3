// The player source assembled by the real pasmo, outside the emulator: the entry table the
// loader relies on, the layout each module size gets, and the limits at which assembly must
// stop with a clear message.
#include <gtest/gtest.h>

#include <cstdlib>

#include "player_limit.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;

constexpr int load_address = 25500;
constexpr int game_address = 32000;
constexpr std::uint8_t jp_opcode = 0xC3;

// A PT3-like module of `size` bytes that compresses well, as real modules do.
Bytes module_of_size(std::size_t size) {
    Bytes module(size);
    for (std::size_t i = 0; i < size; ++i) module[i] = static_cast<std::uint8_t>((i % 7) * 3 + (i / 50) % 5);
    return module;
}

// `size` bytes that do not compress at all.
Bytes noise_of_size(std::size_t size) {
    Bytes module(size);
    std::uint32_t state = 12345;
    for (auto& byte : module) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return module;
}

class PlayerSource : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(test::kit_dir() / "tools" / "pasmo"))
            GTEST_SKIP() << "the kit has no tools/pasmo (apt-get install pasmo)";
        fs::create_directories(dir_.path() / "asm");
        fs::create_directories(dir_.path() / "bin");
        // The player source and the PT3 player it includes.
        for (const auto& entry : fs::directory_iterator(test::kit_dir() / "asm"))
            fs::copy_file(entry.path(), dir_.path() / "asm" / entry.path().filename());
        test::write_string(dir_ / "bin/author.bin", "Tunefuse 1.6.1 Kestrin 2017-Song/Someone/music.pt3\r\n");
    }

    // Compresses and assembles as the program does, from the program directory.
    test::ProcessResult assemble(const Bytes& module) {
        test::write_bytes(dir_ / "bin/music.pt3", module);
        fs::remove(dir_ / "bin/music.pt3.zx7");
        auto packed =
            test::run_process({(test::kit_dir() / "tools/zx7").string(), (dir_ / "bin/music.pt3").string()});
        EXPECT_EQ(packed.exit_code, 0) << packed.err;
        test::ProcessOptions options;
        options.working_directory = dir_.path();
        return test::run_process({(test::kit_dir() / "tools/pasmo").string(), "--err",
                                  (dir_ / "asm/tunefuse.asm").string(), (dir_ / "tunefuse.bin").string()},
                                 options);
    }

    test::TempDir dir_{"tunefuse-player"};
};

// Where the block says the module lies: in main memory (no bank), or at 0xC000 of a RAM bank.
struct Layout {
    int module_address = 0;
    int bank = 0;
};

Layout layout_of(const Bytes& code) {
    return {code.at(9) | code.at(10) << 8, code.at(player_music_bank - load_address)};
}

TEST_F(PlayerSource, EntryTableHoldsTheLoadersTwoEntriesAndTheReservedOnesInBothLayouts) {
    for (std::size_t size : {std::size_t{1000}, std::size_t{8000}}) {
        SCOPED_TRACE("module of " + std::to_string(size) + " bytes");
        auto result = assemble(module_of_size(size));
        ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
        Bytes code = test::read_bytes(dir_ / "tunefuse.bin");
        ASSERT_GT(code.size(), 16u);
        for (int entry : {25500, 25503, 25506, 25511}) {
            std::size_t at = static_cast<std::size_t>(entry - load_address);
            EXPECT_EQ(code[at], jp_opcode) << "no jump at " << entry;
            int target = code[at + 1] | code[at + 2] << 8;
            EXPECT_GT(target, player_music_bank) << "entry " << entry << " jumps into the table";
            EXPECT_LT(target, game_address);
        }
        Layout layout = layout_of(code);
        if (size <= stated_module_limit()) {
            EXPECT_EQ(layout.bank, 0);
            EXPECT_GT(layout.module_address, player_music_bank);
            EXPECT_LE(layout.module_address + static_cast<int>(size), game_address);
        } else {
            EXPECT_EQ(layout.bank, static_cast<int>(stated_limit("music_bank_number")));
            EXPECT_EQ(layout.module_address, music_bank_address);
        }
    }
}

// The stated limits hold at their edges: the largest module for main memory, one byte more
// in a bank, the largest module a bank takes, and the two ways of not fitting, whose
// messages (standard error, which the program shows) name the limit.
TEST_F(PlayerSource, StatedLimitsHoldAtTheirEdges) {
    std::size_t main_limit = stated_module_limit();
    std::size_t bank_limit = stated_limit("max_banked_module_size");
    std::size_t packed_limit = stated_limit("max_packed_size");
    ASSERT_GT(main_limit, 1000u);
    ASSERT_EQ(bank_limit, 16384u);
    ASSERT_GT(packed_limit, 1000u);
    auto bytes = [](std::size_t limit) { return std::to_string(limit) + " bytes"; };
    struct Case {
        const char* name;
        Bytes module;
        bool banked;
        std::vector<std::string> refusal;  // what the message names; empty when it fits
    };
    const Case cases[] = {
        {"largest module for main memory", module_of_size(main_limit), false, {}},
        {"one byte more goes to a bank", module_of_size(main_limit + 1), true, {}},
        {"largest module for a bank", module_of_size(bank_limit), true, {}},
        {"larger than a bank",
         module_of_size(bank_limit + 1),
         true,
         {"at most " + bytes(bank_limit), "up to " + bytes(main_limit)}},
        {"compressed form too large for a bank",
         noise_of_size(packed_limit),
         true,
         {"at most " + bytes(packed_limit), "more than " + bytes(main_limit)}},
        {"compressed form too large for main memory",
         noise_of_size(main_limit),
         false,
         {"must end by 31999"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "tunefuse.bin");
        auto result = assemble(c.module);
        if (!c.refusal.empty()) {
            EXPECT_NE(result.exit_code, 0);
            EXPECT_FALSE(fs::exists(dir_ / "tunefuse.bin"));
            // pasmo --err puts errors on standard output and warnings on standard error.
            EXPECT_NE(result.err.find("The music does not fit"), std::string::npos) << result.err;
            for (const auto& named : c.refusal)
                EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
            EXPECT_NE(result.out.find("does not fit"), std::string::npos) << result.out;
            continue;
        }
        ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
        Bytes code = test::read_bytes(dir_ / "tunefuse.bin");
        EXPECT_EQ(layout_of(code).bank != 0, c.banked);
        if (!c.banked) {
            EXPECT_LE(load_address + static_cast<int>(code.size()), game_address);
        }
    }
}

// In both layouts the block carries the compressed music whole and no piece of the raw module,
// though pasmo measured the module inside the block.
TEST_F(PlayerSource, OnlyTheCompressedMusicTravelsOnTape) {
    for (std::size_t size : {std::size_t{3000}, std::size_t{9000}}) {
        SCOPED_TRACE("module of " + std::to_string(size) + " bytes");
        Bytes module = module_of_size(size);
        auto result = assemble(module);
        ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
        Bytes code = test::read_bytes(dir_ / "tunefuse.bin");
        Bytes packed = test::read_bytes(dir_ / "bin/music.pt3.zx7");
        EXPECT_NE(std::search(code.begin(), code.end(), packed.begin(), packed.end()), code.end());
        for (std::size_t at = 0; at + 64 <= module.size(); at += 500) {
            Bytes raw_piece(module.begin() + static_cast<long>(at),
                            module.begin() + static_cast<long>(at) + 64);
            EXPECT_EQ(std::search(code.begin(), code.end(), raw_piece.begin(), raw_piece.end()), code.end())
                << "raw module bytes from offset " << at;
        }
    }
}

}  // namespace
