// Plays a finished tape in the built-in Spectrum before it is written: the loader's calls to the
// player (init at 25500, start at 25511), the game's blocks where the loader and the player's
// launch put them, then 500 frames of the game, on a 48K with an AY and on a 128K. It tells whether
// the music player kept writing the AY to the end, and if not, what the game did that stopped it.
//
// The ROM is a stand-in made here (see stand_in_rom): every routine returns at once, except the
// frame interrupt (counts FRAMES), LD-BYTES (serves the tape's next block), the calculator (passes
// over its literals), the error restart and address 0, which the check watches.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "emulator/machine.hpp"

namespace spectrum {

inline constexpr int checked_frames = 500;  // 10 seconds of the game
inline constexpr int frames_left_off = 50;  // a second with interrupts off counts as "left off"

enum class Cause {
    interrupts_off,          // DI (or the game started with them off) and no EI for a second
    interrupt_mode,          // IM 0 or IM 1: the player's vector table is not used
    own_vector_table,        // LD I,A with another table: the game's own IM 2 handler
    player_overwritten,      // a write into 25500..31999 (the player's code, state, vectors)
    music_bank_overwritten,  // a write into a RAM bank that holds music, while it is paged in
    stack_over_player,       // the game's stack ran into 25500..31999
    reset,                   // a jump to 0
    halt_interrupts_off,     // HALT with interrupts disabled: the game hangs
    empty_memory,            // PC in memory nothing was loaded into or written
    basic_error,             // RST 8: the game ends with a BASIC error report
    tape_ended,              // the game loads a block the tape does not carry
};

// Something the game did, frames counted from the game's start.
struct Event {
    Cause cause;
    int frame;
    std::uint16_t pc;  // the instruction's address
    int value = 0;     // IM n, the I register, the address written, the error code
    int bank = 0;      // the RAM bank written, for a write where music lies
};

struct Verdict {
    bool checked = false;          // the game was reached (false: the music needs a 128K, or init hung)
    bool needs_128k = false;       // a banked module on a 48K: init found no paging, the music never plays
    int last_music_frame = -1;     // the last frame in which the player wrote the AY (-1: none)
    bool plays_to_end = false;     // the player wrote the AY in the run's last frames
    bool stopped_by_game = false;  // the game called the player's stop entry (25506) when it stopped
    std::vector<Event> causes;     // why the music stops, as the author should hear it; may be empty
    std::vector<Event> events;     // the first of each kind of write, crash or error, music or not
    int game_ay_frame = -1;        // the first frame in which the game wrote the AY itself
    std::uint16_t game_ay_pc = 0;
    long long tstates = 0;  // emulated in the whole run, the loader's calls included
    // At frame 500: the last value the game (and the ROM's interrupt routine) wrote to each address
    // outside the player (25500..31999) and the interrupt's stack bytes, hashed; and the screen's.
    std::uint64_t writes_hash = 0, screen_hash = 0;
    // Where in the game's TAP bytes lies the IM 1 (ED 56) that alone stopped the music, run with
    // interrupts on and I = 100, so that IM 2 there would keep the player's interrupt (-1: none).
    long long mend_at = -1;
};

struct TapeParts {
    std::span<const std::uint8_t> player;       // the assembled player block, for 25500
    std::span<const std::uint8_t> game_blocks;  // TAP bytes: the first code block, then the rest
    // TAP bytes: the banked tunes' blocks, which lie between the player and the game; init loads
    // them on a 128K, and LOAD "" CODE passes over them on a 48K.
    std::span<const std::uint8_t> music_blocks = {};
    unsigned music_banks = 0;  // bit n set: RAM bank n holds music
    bool first_tune_banked = false;  // the tune start plays lies in a bank: no paging, no music
};

// The ROM the check runs with: 16K of our own bytes.
std::vector<std::uint8_t> stand_in_rom();

Verdict check_tape(Model model, const TapeParts& parts);

// The game's TAP bytes with IM 2 (ED 5E) for the IM 1 at `at` (a Verdict's mend_at), the block's
// checksum made right again.
std::vector<std::uint8_t> with_im2(std::span<const std::uint8_t> game_blocks, long long at);

}  // namespace spectrum
