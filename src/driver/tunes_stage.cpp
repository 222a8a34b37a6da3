// The tunes of a tape: the chosen module and music2.pt3 to music9.pt3 beside the program, where
// each lies, their blocks on the tape, the notes beside it, and with no game the preview game.
#include <algorithm>
#include <string>

#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "host/console.hpp"
#include "host/file_system.hpp"
#include "host/files.hpp"
#include "loader/effects_bank.hpp"
#include "loader/tape_file.hpp"

namespace driver {

namespace {

// The module's header: its identification, then the title's field.
constexpr std::size_t title_offset = 30;
constexpr std::size_t title_bytes = 32;
constexpr std::int64_t module_most = 1 << 20;  // more is no PT3 module a Spectrum could hold

// Where the player block says tune 1 lies, when it is in main memory.
constexpr std::size_t module_pointer_offset = loader::player_module_word - loader::player_first_address;

// The title as the Spectrum shows it: printable ASCII, trimmed.
std::string title_of(std::span<const std::uint8_t> module) {
    std::string title;
    for (std::size_t at = title_offset; at < std::min(module.size(), title_offset + title_bytes); ++at)
        title += module[at] >= 32 && module[at] < 127 ? static_cast<char>(module[at]) : '?';
    title.erase(title.find_last_not_of(' ') + 1);
    title.erase(0, std::min(title.find_first_not_of(' '), title.size()));
    return title;
}

Text number(std::int64_t value) {
    return host::decimal_text(value);
}

Text further_tune_name(int number_of_tune) {
    const FixedNames& names = fixed_names();
    return names.tune_stem + number(number_of_tune) + names.tune_extension;
}

// A further tune copied into the work folder and compressed; false when it cannot be used, with
// the problem noted.
bool take_tune(RunState& run, const Text& path, Tune& tune) {
    host::delete_file(tune.work_copy, host::delete_force);
    if (!host::copy_file(path, tune.work_copy)) {
        note_problem(run, u"could not copy " + tune.file_name + u" to " + tune.work_copy + because());
        return false;
    }
    keep_first_module(run, tune.work_copy, tune.file_name);
    const std::vector<std::uint8_t> module = read_whole_file(tune.work_copy, module_most);
    if (!loader::is_pt3_module(module)) {
        note_problem(run, u"the music file is not a PT3 module: " + tune.file_name);
        return false;
    }
    tune.title = host::from_utf8(title_of(module));
    return compress_tune(run, tune);
}

// Why a tune or the sound effects have no place, in the words of the player's limits.
Text refusal_text(const std::vector<Tune>& tunes, const Tune& effects, const loader::MusicLayout& layout) {
    const std::size_t at = static_cast<std::size_t>(layout.refused);
    const bool is_effects = at == tunes.size();
    const Tune& item = is_effects ? effects : tunes[at];
    const Text sizes = item.file_name + u" has " + number(item.size.size) + u" bytes, " +
                       number(item.size.packed) + u" once compressed; ";
    const Text what = is_effects ? Text(u"the sound effects do")
                      : at == 0  ? Text(u"the music does")
                                 : u"tune " + number(static_cast<std::int64_t>(at) + 1) + u" does";
    switch (layout.refusal) {
        case loader::Refusal::too_long:
            if (is_effects)
                return what + u" not fit: " + sizes + u"a bank of sound effects may have at most " +
                       number(loader::bank_size) + u" bytes, one RAM bank of a 128K Spectrum (up to " +
                       number(loader::main_memory_effects_limit) +
                       u" bytes, fewer beside tune 1, they lie in main memory and play on every Spectrum)";
            return what + u" not fit: " + sizes + u"a PT3 module may have at most " +
                   number(loader::bank_size) + u" bytes, one RAM bank of a 128K Spectrum (up to " +
                   number(loader::main_memory_module_limit) + u" bytes it plays on every Spectrum)";
        case loader::Refusal::banks_full:
            return what + u" not fit: " + sizes +
                   (is_effects ? u"the tunes leave" : u"the tunes before it leave") +
                   u" too little room in RAM banks 6, 4, 3 and 1 (16384 bytes each)";
        case loader::Refusal::packed_long:
            return what + u" not fit: " + sizes + u"a compressed tune may have at most " +
                   number(loader::spare_load_most) + u" bytes";
        case loader::Refusal::none: break;
    }
    return {};
}

// Tunes 2 and on that lie in a bank: on a 48K the switch passes over them.
void warn_banked_tunes(RunState& run, const std::vector<Tune>& tunes) {
    std::vector<Text> banked;
    for (std::size_t at = 1; at < tunes.size(); ++at)
        if (tunes[at].place.bank != 0) banked.push_back(number(static_cast<std::int64_t>(at) + 1));
    if (banked.empty()) return;
    Text list = banked.front();
    for (std::size_t at = 1; at < banked.size(); ++at)
        list += (at + 1 == banked.size() ? u" and " : u", ") + banked[at];
    note_warning(run,
                 banked.size() == 1
                     ? u"on the 48K, tune " + list + u" does not play: it lies in a RAM bank of the 128K"
                     : u"on the 48K, tunes " + list + u" do not play: they lie in RAM banks of the 128K");
}

// The preview game as the tape carries it: a code header named "preview", and its code at 32000.
std::vector<std::uint8_t> preview_blocks(std::span<const std::uint8_t> code) {
    std::vector<std::uint8_t> header = {loader::code_type};
    for (char letter : std::string("preview   ")) header.push_back(static_cast<std::uint8_t>(letter));
    for (int word : {static_cast<int>(code.size()), loader::game_start_address, 32768})
        header.push_back(static_cast<std::uint8_t>(word & 0xFF)),
            header.push_back(static_cast<std::uint8_t>(word >> 8));
    std::vector<std::uint8_t> tape;
    loader::append_new_block(tape, loader::header_flag, header);
    loader::append_new_block(tape, loader::data_flag, code);
    return tape;
}

}  // namespace

void keep_first_module(RunState& run, const Text& work_copy, const Text& file_name) {
    const std::vector<std::uint8_t> module = read_whole_file(work_copy, module_most);
    const std::size_t first = loader::first_module_length(module);
    if (first == module.size()) return;
    note_warning(run, file_name +
                          u" is a TurboSound file, two modules for two AY chips: the first plays, on the "
                          u"Spectrum's one AY, and the tape carries only that one (" +
                          number(static_cast<std::int64_t>(first)) + u" of its " +
                          number(static_cast<std::int64_t>(module.size())) + u" bytes)");
    if (!write_work_file(work_copy, std::span(module).first(first)))
        note_problem(run, u"could not write " + work_copy + because());
}

std::vector<Tune> gather_tunes(RunState& run) {
    const FixedNames& names = fixed_names();
    std::vector<Tune> tunes(1);
    tunes[0].file_name = run.music_file_name;
    tunes[0].work_copy = in_program_directory(run, names.music_work_copy);
    tunes[0].title = host::trim_spaces(run.title);
    int found = 1;
    for (int next = 2; next <= loader::most_tunes; ++next) {
        const Text name = further_tune_name(next);
        const Text path = in_program_directory(run, name);
        const std::int64_t size = host::file_size(path);
        if (size < 0) continue;
        if (next != found + 1) {
            note_warning(run, name + u" is left out: the tunes are numbered without gaps, and " +
                                  further_tune_name(found + 1) + u" is missing");
            continue;
        }
        if (size == 0) note_problem(run, u"music file is empty: " + path);
        Tune tune;
        tune.file_name = name;
        tune.work_copy = in_program_directory(run, names.work_folder + name);
        if (size > 0 && take_tune(run, path, tune)) {
            tunes.push_back(tune);
        } else {  // clean-up deletes only the tunes taken
            host::delete_file(tune.work_copy, host::delete_force);
            host::delete_file(tune.work_copy + names.compressed_suffix, host::delete_force);
        }
        found = next;
    }
    for (Tune& tune : tunes)
        tune.size = {static_cast<int>(std::max<std::int64_t>(host::file_size(tune.work_copy), 0)),
                     static_cast<int>(std::max<std::int64_t>(
                         host::file_size(tune.work_copy + names.compressed_suffix), 0))};
    return tunes;
}

Tune take_effects(RunState& run) {
    const FixedNames& names = fixed_names();
    Tune effects;
    effects.file_name = names.effects_bank;
    effects.work_copy = in_program_directory(run, names.effects_work_copy);
    host::delete_file(effects.work_copy, host::delete_force);
    const Text path = in_program_directory(run, names.effects_bank);
    if (host::file_size(path) < 0) return effects;
    const std::vector<std::uint8_t> bank = read_whole_file(path, module_most);
    const loader::EffectsBank checked = loader::check_effects_bank(bank, names.effects_bank);
    for (const Text& warning : checked.warnings) note_warning(run, warning);
    if (!checked.refusal.empty()) {
        note_problem(run, checked.refusal);
        return effects;
    }
    if (!write_work_file(effects.work_copy, bank)) {
        note_problem(run, u"could not write " + effects.work_copy + because());
        return effects;
    }
    // Compressed, they may travel to a RAM bank as a tune does.
    if (!compress_tune(run, effects)) return effects;
    effects.size = {static_cast<int>(bank.size()),
                    static_cast<int>(host::file_size(effects.work_copy + names.compressed_suffix))};
    return effects;
}

void place_tunes(RunState& run, std::vector<Tune>& tunes, Tune& effects) {
    std::vector<loader::TuneSize> sizes;
    for (const Tune& tune : tunes) sizes.push_back(tune.size);
    const loader::MusicLayout layout = loader::place_tunes(sizes, effects.size);
    if (layout.refusal != loader::Refusal::none) {
        note_problem(run, refusal_text(tunes, effects, layout));
        return;
    }
    for (std::size_t at = 0; at < tunes.size(); ++at) tunes[at].place = layout.places[at];
    effects.place = layout.effects;
    const std::string source = loader::tunes_source(sizes, layout, effects.size);
    const Text path = in_program_directory(run, fixed_names().tunes_source);
    if (!write_work_file(path,
                         std::span(reinterpret_cast<const std::uint8_t*>(source.data()), source.size())))
        note_problem(run, u"could not write " + path + because());
    warn_banked_tunes(run, tunes);
    if (effects.place.bank)
        note_warning(run, u"on the 48K, the sound effects do not play: " + effects.file_name +
                              u" lies in RAM bank " + number(effects.place.bank) + u" of the 128K");
}

std::vector<std::uint8_t> music_blocks(RunState& run, const std::vector<Tune>& tunes, const Tune& effects) {
    std::vector<std::uint8_t> tape;
    std::vector<const Tune*> blocks;
    for (const Tune& tune : tunes) blocks.push_back(&tune);
    blocks.push_back(&effects);
    for (const Tune* item : blocks) {
        if (item->place.bank == 0) continue;
        const Text path = item->work_copy + fixed_names().compressed_suffix;
        const std::vector<std::uint8_t> packed = read_whole_file(path, loader::bank_size);
        if (packed.size() != static_cast<std::size_t>(item->size.packed)) {
            note_problem(run, u"could not read " + path + because());
            continue;
        }
        loader::append_new_block(tape, loader::data_flag, packed);
    }
    return tape;
}

loader::GameStart preview_game(RunState& run, const std::vector<Tune>& tunes) {
    const FixedNames& names = fixed_names();
    std::vector<std::uint8_t> titles = {static_cast<std::uint8_t>(tunes.size())};
    for (const Tune& tune : tunes) {
        std::string title = host::to_utf8(tune.title);
        for (char& letter : title) letter = letter >= 32 && letter < 127 ? letter : '?';
        title.resize(title_bytes, ' ');
        titles.insert(titles.end(), title.begin(), title.end());
    }
    const Text titles_path = in_program_directory(run, names.tune_titles);
    if (!write_work_file(titles_path, titles))
        note_problem(run, u"could not write " + titles_path + because());
    if (!assemble_preview(run)) return {};
    const std::vector<std::uint8_t> code =
        read_whole_file(in_program_directory(run, names.preview_code), 65536);
    note_warning(run,
                 u"there is no " + Text(names.game_tape) +
                     u", so the tape is a preview of the music: a little game of ours shows the tunes and "
                     u"plays each on its number key");
    return {preview_blocks(code), loader::plain_launch_table(), {}};
}

void write_music_notes(RunState& run, const std::vector<Tune>& tunes) {
    // One tune needs no notes: the report says all, and the tape is all the build leaves.
    if (!run.problems.empty() || tunes.size() < 2) return;
    const FixedNames& names = fixed_names();
    const std::vector<std::uint8_t> player =
        read_whole_file(in_program_directory(run, names.player_code), 65536);
    const int module = player.size() > module_pointer_offset + 1
                           ? player[module_pointer_offset] | player[module_pointer_offset + 1] << 8
                           : 0;
    const Text tape = run.game_name + names.tape_extension;
    const Text path = in_program_directory(run, run.game_name + names.music_notes);
    const int file = host::create_file(host::new_number, path, host::encoding_utf8);
    bool written = file != 0;
    auto line = [&](const Text& text) { written = written && host::write_text_line(file, text) != 0; };
    line(u"The music of " + tape + u": call " + number(loader::player_tune_entry) +
         u" with A = a tune's number to play it from its start.");
    for (std::size_t at = 0; at < tunes.size(); ++at) {
        const Tune& tune = tunes[at];
        const Text where = tune.place.bank == 0 ? u"main memory at " + number(module) + u" (every Spectrum)"
                                                : u"RAM bank " + number(tune.place.bank) + u" at " +
                                                      number(tune.place.address) + u" (128K only)";
        line(number(static_cast<std::int64_t>(at) + 1) + u"  \"" + tune.title + u"\" (" + tune.file_name +
             u"): " + number(tune.size.size) + u" bytes, " + number(tune.size.packed) + u" compressed, " +
             where);
    }
    if (file == 0 || host::close_file(file) == 0 || !written)
        note_warning(run, u"could not write " + path + because());
}

}  // namespace driver
