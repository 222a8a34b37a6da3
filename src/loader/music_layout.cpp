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

}  // namespace

bool is_pt3_module(std::span<const std::uint8_t> module) {
    return std::any_of(std::begin(pt3_marks), std::end(pt3_marks),
                       [&](std::string_view mark) { return text_of(module).starts_with(mark); });
}

MusicLayout place_tunes(std::span<const TuneSize> tunes, TuneSize effects) {
    const int resident = effects.size ? effects.size + effects_player_bytes : 0;
    MusicLayout layout;
    std::array<int, music_banks.size()> used{};
    for (std::size_t n = 0; n < tunes.size(); ++n) {
        const TuneSize& tune = tunes[n];
        auto refuse = [&](Refusal why) {
            layout.refusal = why, layout.refused = static_cast<int>(n);
            layout.places.clear();
            return layout;
        };
        if (n == 0 && tune.size + resident <= main_memory_module_limit) {
            layout.places.push_back({});
            continue;
        }
        if (tune.size > bank_size) return refuse(Refusal::too_long);
        auto room =
            std::find_if(used.begin(), used.end(), [&](int taken) { return taken + tune.size <= bank_size; });
        if (room == used.end()) return refuse(Refusal::banks_full);
        const int offset = *room;
        const int load = load_address(offset, tune);
        if (load == 0) return refuse(Refusal::packed_long);
        *room += tune.size;
        layout.places.push_back(
            {music_banks[static_cast<std::size_t>(room - used.begin())], bank_window + offset, load});
    }
    return layout;
}

namespace {

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
