// The limits the kit's player source states ("max_module_size equ N" and the like), so that
// the tests follow the player when it grows.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

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

// bin/tunes.asm for `tunes` and `effects` bytes of sfx.afb, placed as the build places them: tune 1
// in main memory when it fits there with the effects and their player, the others first-fit in
// banks 6, 4, 3, 1, each block loaded at the top of its bank when it unpacks in place there, else
// at 0x8000.
inline std::string tunes_asm(std::vector<TunePlace>& tunes, int effects = 0) {
    std::ostringstream equs;
    equs << "tune_count equ " << tunes.size() << "\neffects_size equ " << effects << "\n";
    const int banks[] = {6, 4, 3, 1};
    const int main_room = static_cast<int>(stated_limit("max_module_size")) -
                          (effects ? effects + static_cast<int>(stated_limit("effects_player_bytes")) : 0);
    int next[] = {0xC000, 0xC000, 0xC000, 0xC000}, b = 0;
    for (std::size_t k = 0; k < 9; ++k) {
        TunePlace none{0, 0}, &tune = k < tunes.size() ? tunes[k] : none;
        if (k < tunes.size() && (k > 0 || tune.size > main_room)) {
            for (b = 0; b < 3 && next[b] + tune.size > 0x10000;) ++b;
            tune.bank = banks[b], tune.address = next[b], next[b] += tune.size;
            bool in_place = tune.address + tune.size + tune.size / 8 + 4 <= 0x10000 &&
                            0x10000 - tune.packed >= tune.address;
            tune.load = in_place ? 0x10000 - tune.packed : 0x8000;
        }
        const std::pair<const char*, int> values[] = {{"size", tune.size},
                                                      {"packed", tune.packed},
                                                      {"bank", tune.bank},
                                                      {"address", tune.address},
                                                      {"load", tune.load}};
        for (auto [name, value] : values) equs << "tune" << k + 1 << "_" << name << " equ " << value << "\n";
    }
    return equs.str();
}
