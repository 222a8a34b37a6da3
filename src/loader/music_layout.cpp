#include "loader/music_layout.hpp"

#include <algorithm>
#include <string_view>

namespace loader {

namespace {

// Unpacking in place is safe when the compressed data ends this far past the unpacked module: a
// ZX7 stream never spends more than 9 bits on a byte, plus its end marker and a last bit byte.
int unpack_margin(int size) {
    return size / 8 + 4;
}

// Where init loads a banked tune: at the end of its bank, when the module can be unpacked from
// there in place without touching the tunes below it; else in spare main memory. 0: nowhere.
int load_address(int offset, const TuneSize& tune) {
    const int at = bank_size - tune.packed;
    if (at >= offset && offset + tune.size + unpack_margin(tune.size) <= bank_size) return bank_window + at;
    return tune.packed <= spare_load_most ? spare_load_address : 0;
}

// The first 13 characters, as the module's header is read for its title.
constexpr std::string_view pt3_marks[] = {"ProTracker 3.", "Vortex Tracke"};

std::string_view text_of(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Banks 6, 4, 3 and 1 as the tunes fill them: the bytes taken in each.
using BankUse = std::array<int, music_banks.size()>;

// The first bank with room for the item, and where in it; the refusal when there is none.
Refusal place_in_bank(BankUse& used, const TuneSize& item, TunePlace& place) {
    if (item.size > bank_size) return Refusal::too_long;
    auto room =
        std::find_if(used.begin(), used.end(), [&](int taken) { return taken + item.size <= bank_size; });
    if (room == used.end()) return Refusal::banks_full;
    const int offset = *room;
    const int load = load_address(offset, item);
    if (load == 0) return Refusal::packed_long;
    *room += item.size;
    place = {music_banks[static_cast<std::size_t>(room - used.begin())], bank_window + offset, load};
    return Refusal::none;
}

// Main memory goes first to tune 1, which then plays on every Spectrum, then to the effects: they
// share it when they fit together; else the effects go in a bank, when tune 1 still fits beside
// the code that pages them in; else tune 1 goes in a bank, and the effects stay when they fit.
struct MainMemory {
    bool tune1 = true;
    bool effects = true;
};

MainMemory share_main_memory(int tune1, int effects) {
    const int limit = main_memory_module_limit;
    if (effects == 0) return {tune1 <= limit, false};
    if (tune1 + effects + effects_player_bytes <= limit) return {true, true};
    if (tune1 + banked_effects_player_bytes <= limit) return {true, false};
    return {false, effects <= main_memory_effects_limit};
}

// The equ lines of one tune or of the effects.
std::string music_item_source(const std::string& name, const TuneSize& item, const TunePlace& place) {
    std::string text;
    const std::pair<const char*, int> fields[] = {{"_size", item.size},
                                                  {"_packed", item.packed},
                                                  {"_bank", place.bank},
                                                  {"_address", place.address},
                                                  {"_load", place.load}};
    for (const auto& [field, value] : fields) {
        std::string left = name + field;
        left.resize(std::max<std::size_t>(left.size() + 1, 16), ' ');
        text += left + "equ " + std::to_string(value) + "\n";
    }
    return text;
}

}  // namespace

MusicLayout place_tunes(std::span<const TuneSize> tunes, TuneSize effects) {
    MusicLayout layout;
    const MainMemory main = share_main_memory(tunes.empty() ? 0 : tunes[0].size, effects.size);
    BankUse used{};
    auto refuse = [&](Refusal why, std::size_t item) {
        layout.refusal = why, layout.refused = static_cast<int>(item);
        layout.places.clear();
        return layout;
    };
    for (std::size_t n = 0; n < tunes.size(); ++n) {
        TunePlace place;
        if (n > 0 || !main.tune1) {
            const Refusal refusal = place_in_bank(used, tunes[n], place);
            if (refusal != Refusal::none) return refuse(refusal, n);
        }
        layout.places.push_back(place);
    }
    if (effects.size && !main.effects) {
        const Refusal refusal = place_in_bank(used, effects, layout.effects);
        if (refusal != Refusal::none) return refuse(refusal, tunes.size());
    }
    return layout;
}

std::string tunes_source(std::span<const TuneSize> tunes, const MusicLayout& layout, TuneSize effects) {
    std::string text = "; written by the build: the tunes of this tape and where their music goes\n";
    text += "tune_count      equ " + std::to_string(tunes.size()) + "\n";
    text += music_item_source("effects", effects, layout.effects);
    for (int n = 0; n < most_tunes; ++n) {
        const std::size_t at = static_cast<std::size_t>(n);
        const TuneSize tune = at < tunes.size() ? tunes[at] : TuneSize{};
        const TunePlace place = at < layout.places.size() ? layout.places[at] : TunePlace{};
        text += music_item_source("tune" + std::to_string(n + 1), tune, place);
    }
    return text;
}

bool is_pt3_module(std::span<const std::uint8_t> module) {
    return std::any_of(std::begin(pt3_marks), std::end(pt3_marks),
                       [&](std::string_view mark) { return text_of(module).starts_with(mark); });
}

std::size_t first_module_length(std::span<const std::uint8_t> module) {
    const std::string_view bytes = text_of(module);
    // Vortex Tracker II ends a TurboSound file with 16 bytes: "PT3!", the first module's length,
    // "PT3!", the second's, and "02TS".
    constexpr std::size_t footer = 16;
    if (bytes.size() > footer && bytes.ends_with("02TS") &&
        bytes.substr(bytes.size() - footer, 4) == "PT3!") {
        const std::size_t first = module[module.size() - 12] | module[module.size() - 11] << 8;
        if (first > 0 && first < bytes.size() - footer) return first;
    }
    // Without the footer, the second module starts with its own identification, past the first's
    // header.
    constexpr std::size_t header = 100;
    if (!is_pt3_module(module)) return module.size();
    std::size_t second = module.size();
    for (std::string_view mark : pt3_marks) second = std::min(second, bytes.find(mark, header));
    return second;
}

}  // namespace loader
