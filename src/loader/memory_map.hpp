// The memory map the loader, the program and the music player share, in one place. The other
// places that state these numbers are checked against them when the program is built, so that a
// number moved here and not there (or there and not here) does not build:
//   - the loader's tokenised lines carry them as text (loader_program.cpp),
//   - bin2tap's load address for the player block (fixed_names.cpp),
//   - the player source's equ lines (asm/tunefuse.asm, read by CMake into a check).
#pragma once

#include <cstdint>
#include <span>

namespace loader {

inline constexpr int player_first_address = 25500;              // where the player block loads: CLEAR 25499
inline constexpr int player_init_entry = player_first_address;  // RANDOMIZE USR 25500, once loaded
inline constexpr int player_start_entry = 25511;                // RANDOMIZE USR 25511: background playback
inline constexpr int player_module_word = 25509;        // where the playing tune lies (tune 1's, on tape)
inline constexpr int player_stop_entry = 25506;         // silence, and no more background playback
inline constexpr int player_tune_entry = 25514;         // A = n: tune n from its start
inline constexpr int player_builder_bank_byte = 25518;  // the RAM bank of the player's table builder
inline constexpr int player_bank_byte = 25519;          // the playing tune's RAM bank, 0: main memory
inline constexpr int game_start_address = 32000;        // RANDOMIZE USR 32000
inline constexpr int player_last_address = game_start_address - 1;
inline constexpr int music_bank = 6;  // the 128K RAM bank of the banked layout
// The largest module the player unpacks into main memory, where it plays on every Spectrum; a
// larger one goes in a RAM bank of a 128K.
inline constexpr int main_memory_module_limit = 3890;
// The sound-effect player's resident bytes, code and state, which a bank of effects brings along.
inline constexpr int effects_player_bytes = 230;
// The same when the effects lie in a RAM bank: only the player, which pages them in, is resident.
inline constexpr int banked_effects_player_bytes = 273;
// The largest sound-effect bank main memory holds beside the player when tune 1 lies in a RAM bank.
inline constexpr int main_memory_effects_limit = 3281;

// The count-th number written in decimal digits (ASCII) in the text, counting from 0; -1 when
// there are not so many. For the checks at build time.
template <typename Unit>
constexpr int written_number(std::span<const Unit> text, int count) {
    const auto digit = [&](std::size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (!digit(at)) continue;
        int value = 0;
        for (; digit(at); ++at) value = value * 10 + static_cast<int>(text[at] - '0');
        if (count-- == 0) return value;
    }
    return -1;
}

}  // namespace loader
