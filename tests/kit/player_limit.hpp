// The limits the kit's player source states ("max_module_size equ N" and the like), so that
// the tests follow the player when it grows.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "loader/music_layout.hpp"
#include "test_support.hpp"

// The value of the named "equ" in asm/tunefuse.asm, or 0 when the source no longer states it:
// "max_module_size" is the largest module the player unpacks into main memory.
inline std::size_t stated_limit(const std::string& name) {
    std::string source = test::read_string(test::kit_dir() / "asm" / "tunefuse.asm");
    std::size_t at = source.find("\n" + name + " ");
    at = at == std::string::npos ? at : source.find("equ", at);
    return at == std::string::npos ? 0 : std::strtoul(source.c_str() + at + 3, nullptr, 10);
}

constexpr int music_bank_address = 0xC000;
constexpr int player_music_bank = 25519;  // the bank holding the music, 0 when none

// A tune as bin/tunes.asm gives it to the player source.
struct TunePlace {
    int size, packed, bank = 0, address = 0, load = 0;
};

// bin/tunes.asm for `tunes` and a bank of sound effects (size 0: none), placed by the build's own
// placement; a tune longer than a bank, which the build refuses, goes where a bank's worth would,
// so that the player source is seen to refuse it too. The effects' bank, 0 for main memory.
inline std::string tunes_asm(std::vector<TunePlace>& tunes, loader::TuneSize effects = {},
                             int* effects_bank = nullptr) {
    std::vector<loader::TuneSize> sizes, placed;
    for (const TunePlace& tune : tunes) {
        sizes.push_back({tune.size, tune.packed});
        placed.push_back({std::min(tune.size, loader::bank_size), tune.packed});
    }
    const auto layout = loader::place_tunes(placed, effects);
    for (std::size_t k = 0; k < layout.places.size(); ++k)
        tunes[k].bank = layout.places[k].bank, tunes[k].address = layout.places[k].address,
        tunes[k].load = layout.places[k].load;
    if (effects_bank) *effects_bank = layout.effects.bank;
    return loader::tunes_source(sizes, layout, effects);
}
