// The music files a build takes besides the module: banks of sound effects, checked before the
// player carries them, and TurboSound files, of which one AY plays the first module.
#include <gtest/gtest.h>

#include "loader/effects_bank.hpp"
#include "loader/music_layout.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using test::Bytes;

std::optional<fs::path> corpus(const std::string& name) {
    auto dir = test::shared_dir("corpus");
    if (!dir || !fs::exists(*dir / name)) return std::nullopt;
    return *dir / name;
}

// The corpus banks with the counts their sources give, and banks broken as real files are.
TEST(EffectsBank, ParsesTheCorpusAndRefusesBrokenBanks) {
    struct Case {
        std::string name;  // a corpus bank, or a label
        Bytes bytes;       // the bank when it is not a corpus file
        int count;         // 0: refused
        std::string says;  // the start of the refusal, or of the first warning
    };
    const std::string miscounted = "sfx.afb: its count byte says 6 effects, its table holds 262",
                      effect_0 = "sfx.afb, effect 0 (at offset 3): ",
                      no_bank = "sfx.afb is no bank of sound effects: ";
    const Case cases[] = {
        {"afx/siriokds_testeffects.afb", {}, 1, ""},
        {"afx/remy_example.afb", {}, 6, ""},
        {"afx/siriokds_zxgames.afb", {}, 94, ""},
        {"afx/siriokds_zxmsxdemos.afb", {}, 237, ""},
        {"afx/siriokds_streetofrage2.afb", {}, 256, miscounted},
        {"no marker", {1, 1, 0, 0x8F, 0x8F}, 0, effect_0 + "its frames run on past"},
        {"tone cut short", {1, 1, 0, 0xAF, 0x01}, 0, effect_0 + "its frames run on past"},
        {"stray bytes", {1, 1, 0, 0xD0, 0x20, 'a', 'b'}, 0, effect_0 + "after its end marker"},
        {"a name", {1, 1, 0, 0xD0, 0x20, 'a', 0}, 1, ""},
        {"table outside", {2, 9, 0, 0xD0, 0x20}, 0, no_bank + "its table's first"},
        {"too short", {1, 1}, 0, no_bank + "it has 2 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bank = c.bytes;
        if (bank.empty()) {
            auto path = corpus(c.name);
            if (!path) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
            bank = test::read_bytes(*path);
        }
        const loader::EffectsBank checked = loader::check_effects_bank(bank, u"sfx.afb");
        EXPECT_EQ(checked.count, c.count);
        const std::string said = host::to_utf8(
            checked.count ? (checked.warnings.empty() ? u"" : checked.warnings[0]) : checked.refusal);
        EXPECT_TRUE(said.starts_with(c.says) && (said.empty() == c.says.empty())) << said;
    }
}

// Two corpus modules one after the other, with Vortex Tracker's TurboSound footer or without:
// the first module's length; an ordinary module is all its own.
TEST(TurboSound, TakesTheFirstModule) {
    auto first = corpus("pt3/shiru_oldlove.pt3"), second = corpus("pt3/z88dk_vt2_music.pt3");
    if (!first || !second) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    const Bytes a = test::read_bytes(*first), b = test::read_bytes(*second);
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    const auto word = [](std::size_t n) {
        return std::string{static_cast<char>(n), static_cast<char>(n >> 8)};
    };
    const std::string footer = "PT3!" + word(a.size()) + "PT3!" + word(b.size()) + "02TS";
    Bytes footed = joined;
    footed.insert(footed.end(), footer.begin(), footer.end());
    EXPECT_EQ(loader::first_module_length(joined), a.size());
    EXPECT_EQ(loader::first_module_length(footed), a.size());
    EXPECT_EQ(loader::first_module_length(a), a.size());
    EXPECT_EQ(loader::first_module_length(b), b.size());
}

}  // namespace
