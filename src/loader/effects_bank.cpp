#include "loader/effects_bank.hpp"

#include <algorithm>

namespace loader {

namespace {

constexpr std::uint8_t tone_follows = 0x20, noise_follows = 0x40;
constexpr std::uint8_t end_of_effect = 0x20;  // a noise period this high ends the effect

Text number(std::int64_t value) {
    return host::decimal_text(value);
}

std::size_t entry_start(std::span<const std::uint8_t> bank, std::size_t effect) {
    const std::size_t entry = 1 + 2 * effect;
    return entry + 1 + (bank[entry] | bank[entry + 1] << 8);
}

// Where the effect's end marker ends, or 0 when its frames run past `end` first.
std::size_t effect_end(std::span<const std::uint8_t> bank, std::size_t at, std::size_t end) {
    while (at < end) {
        const std::uint8_t info = bank[at++];
        if (info & tone_follows) at += 2;
        if (!(info & noise_follows)) continue;
        if (at >= end) return 0;
        if (bank[at++] >= end_of_effect) return at;
    }
    return 0;
}

// Past the marker: nothing, or one name ended by its only zero byte.
bool only_a_name(std::span<const std::uint8_t> bank, std::size_t from, std::size_t to) {
    if (from == to) return true;
    return bank[to - 1] == 0 && std::count(bank.begin() + static_cast<std::ptrdiff_t>(from),
                                           bank.begin() + static_cast<std::ptrdiff_t>(to), 0) == 1;
}

}  // namespace

EffectsBank check_effects_bank(std::span<const std::uint8_t> bank, const Text& bank_name) {
    EffectsBank result;
    if (bank.size() < 3) {
        result.refusal = bank_name + u" is no bank of sound effects: it has " +
                         number(static_cast<std::int64_t>(bank.size())) + u" bytes";
        return result;
    }
    // The table ends where effect 0 begins; its count is the truth, the count byte may have wrapped.
    const std::size_t first = entry_start(bank, 0);
    const std::size_t table = (first - 1) / 2;
    if (first > bank.size() || first < 3 || (first - 1) % 2 != 0 || 1 + 2 * table > bank.size()) {
        result.refusal = bank_name + u" is no bank of sound effects: its table's first entry points to " +
                         number(static_cast<std::int64_t>(first)) + u", outside the bank";
        return result;
    }
    for (std::size_t effect = 0; effect < table; ++effect) {
        const std::size_t start = entry_start(bank, effect);
        const std::size_t end = effect + 1 < table ? entry_start(bank, effect + 1) : bank.size();
        const Text where = bank_name + u", effect " + number(static_cast<std::int64_t>(effect)) +
                           u" (at offset " + number(static_cast<std::int64_t>(start)) + u"): ";
        if (end < start || end > bank.size()) {
            result.refusal = where + u"the next effect's entry points before it or past the bank's end";
            return result;
        }
        const std::size_t marker_end = effect_end(bank, start, end);
        if (marker_end == 0) {
            result.refusal = where + u"its frames run on past its end without the end marker (D0 20)";
            return result;
        }
        if (!only_a_name(bank, marker_end, end)) {
            result.refusal = where + u"after its end marker come " +
                             number(static_cast<std::int64_t>(end - marker_end)) +
                             u" bytes that are not a name";
            return result;
        }
    }
    const std::size_t byte = bank[0];
    if (byte != table)
        result.warnings.push_back(bank_name + u": its count byte says " +
                                  number(static_cast<std::int64_t>(byte)) + u" effects, its table holds " +
                                  number(static_cast<std::int64_t>(table)) +
                                  u"; the table's count is taken (the count byte holds it modulo 256)");
    if (table > most_effects)
        result.warnings.push_back(bank_name + u": effects " + number(most_effects) + u" to " +
                                  number(static_cast<std::int64_t>(table) - 1) +
                                  u" cannot be played: the player takes effect numbers 0 to 255");
    result.count = static_cast<int>(std::min<std::size_t>(table, most_effects));
    return result;
}

}  // namespace loader
