// A bank of sound effects as the AY Sound FX Editor saves it (.afb): a count byte, a table of
// self-relative words, one per effect, then the effects, each a run of frames ended by D0 20 and
// perhaps followed by its name. The build checks a bank before the player carries it: a player
// that ran off the end of an effect would play whatever memory follows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/text.hpp"

namespace loader {

using host::Text;

// The player plays effect n with A = n, so numbers 0 to 255.
inline constexpr int most_effects = 256;

struct EffectsBank {
    int count = 0;               // the effects the player may play; 0 when the bank is refused
    std::vector<Text> warnings;  // one line each, naming the bank
    Text refusal;                // why the bank cannot be used, naming the effect and offset; or empty
};

EffectsBank check_effects_bank(std::span<const std::uint8_t> bank, const Text& bank_name);

}  // namespace loader
