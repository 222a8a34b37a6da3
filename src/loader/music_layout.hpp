// Where the tunes of a tape go. Tune 1 (the one the player starts) lies in main memory when it
// is small enough, carried in the player block and played on every Spectrum with an AY. Every
// other tune, and tune 1 when it is larger, lies in a RAM bank of a 128K: banks 6, 4, 3 and 1,
// which neither a game's usual layout (banks 5, 2 and 0) nor the 128's editor (bank 7) uses,
// filled in that order, several small tunes to a bank. A banked tune travels compressed as a
// headerless block after the player block; the player's init loads it with the ROM's tape
// routine and unpacks it into its bank.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "loader/memory_map.hpp"

namespace loader {

inline constexpr int most_tunes = 9;  // numbered 1 to 9, as the number keys
inline constexpr int bank_size = 16384;
inline constexpr int bank_window = 0xC000;  // where a RAM bank is paged in
inline constexpr std::array<int, 4> music_banks = {6, 4, 3, 1};
// Main memory that init may load a compressed tune into when its bank has no room for it beside
// the unpacked tune: nothing lies there before the game loads.
inline constexpr int spare_load_address = 0x8000;
inline constexpr int spare_load_most = bank_window - spare_load_address;

struct TuneSize {
    int size = 0;    // the module's bytes
    int packed = 0;  // its compressed bytes
};

struct TunePlace {
    int bank = 0;     // 0: main memory, in the player block
    int address = 0;  // banked: where the module is unpacked
    int load = 0;     // banked: where init loads the compressed block
};

enum class Refusal {
    none,
    too_long,     // a module longer than a bank
    banks_full,   // the tunes before it took the banks' room
    packed_long,  // a compressed form too long to load anywhere
};

struct MusicLayout {
    std::vector<TunePlace> places;  // one per tune, when nothing is refused
    TunePlace effects;              // where the sound effects lie: bank 0 is main memory
    Refusal refusal = Refusal::none;
    int refused = -1;  // the refused tune, counted from 0; the number of tunes: the effects
};

// The tunes' places, and the sound effects' (bin/sfx.afb; size 0 for none). Main memory goes to
// tune 1 first, as there it plays on every Spectrum; the effects go in a bank, after the tunes,
// when they do not fit there too.
MusicLayout place_tunes(std::span<const TuneSize> tunes, TuneSize effects = {});

// The player source's description of the music (bin/tunes.asm): for each of the nine tune numbers
// its size, compressed size, bank, address and load address, zeros for tunes not there; the same
// for the sound effects.
std::string tunes_source(std::span<const TuneSize> tunes, const MusicLayout& layout, TuneSize effects = {});

// A PT3 module starts with the identification of the tracker that saved it.
bool is_pt3_module(std::span<const std::uint8_t> module);

// TurboSound files hold two modules one after the other, one for each of two AY chips; a Spectrum
// with one AY plays the first. Its length in the file, or the whole length for an ordinary module.
std::size_t first_module_length(std::span<const std::uint8_t> module);

}  // namespace loader
