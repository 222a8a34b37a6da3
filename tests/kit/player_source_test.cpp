// The player source assembled by the real pasmo, outside the emulator: the entry table the
// loader relies on, and the size limit at which assembly must stop with a clear message.
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

TEST_F(PlayerSource, EntryTableHoldsTheLoadersTwoEntriesAndTheReservedOnes) {
    auto result = assemble(module_of_size(1000));
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    Bytes code = test::read_bytes(dir_ / "tunefuse.bin");
    ASSERT_GT(code.size(), 16u);
    for (int entry : {25500, 25503, 25506, 25511}) {
        std::size_t at = static_cast<std::size_t>(entry - load_address);
        EXPECT_EQ(code[at], jp_opcode) << "no jump at " << entry;
        int target = code[at + 1] | code[at + 2] << 8;
        EXPECT_GT(target, 25514) << "entry " << entry << " jumps into the table";
        EXPECT_LT(target, load_address + static_cast<int>(code.size()));
    }
    int module = code[9] | code[10] << 8;
    EXPECT_GT(module, 25514);
    EXPECT_LE(module + 1000, game_address);
}

TEST_F(PlayerSource, TheLargestStatedModuleFitsAndOneByteMoreStopsTheAssembly) {
    std::size_t limit = stated_module_limit();
    ASSERT_GT(limit, 1000u) << "asm/tunefuse.asm no longer states max_module_size";

    auto fits = assemble(module_of_size(limit));
    ASSERT_EQ(fits.exit_code, 0) << fits.out << fits.err;
    auto size = static_cast<int>(fs::file_size(dir_ / "tunefuse.bin"));
    EXPECT_LE(load_address + size, game_address);

    fs::remove(dir_ / "tunefuse.bin");
    auto too_big = assemble(module_of_size(limit + 1));
    EXPECT_NE(too_big.exit_code, 0);
    EXPECT_FALSE(fs::exists(dir_ / "tunefuse.bin"));
    // pasmo --err puts errors on standard output and warnings on standard error; the
    // program shows only standard error, so the warning must name the sizes.
    EXPECT_NE(too_big.err.find("The music does not fit"), std::string::npos) << too_big.err;
    EXPECT_NE(too_big.err.find("at most " + std::to_string(limit) + " bytes"), std::string::npos)
        << too_big.err;
    EXPECT_NE(too_big.out.find("does not fit between 25500 and 31999"), std::string::npos) << too_big.out;
}

TEST_F(PlayerSource, OnlyTheCompressedMusicTravelsOnTape) {
    Bytes module = module_of_size(3000);
    auto result = assemble(module);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    Bytes code = test::read_bytes(dir_ / "tunefuse.bin");
    Bytes packed = test::read_bytes(dir_ / "bin/music.pt3.zx7");
    // The block ends with the compressed music; no 64-byte stretch of the raw module is left.
    ASSERT_GE(code.size(), packed.size());
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), code.end() - static_cast<long>(packed.size())));
    auto raw_piece = Bytes(module.begin() + 100, module.begin() + 164);
    EXPECT_EQ(std::search(code.begin(), code.end() - static_cast<long>(packed.size()), raw_piece.begin(),
                          raw_piece.end()),
              code.end() - static_cast<long>(packed.size()));
}

}  // namespace
