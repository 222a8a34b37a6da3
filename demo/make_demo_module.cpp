// Writes the kit's demo music: a small ProTracker 3 module of our own, two patterns long,
// that uses every kind of sound the AY offers: tone samples, an arpeggio ornament, a bass
// line on the hardware envelope and a noise drum.
//
// Usage: make_demo_module OUTPUT.pt3
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t header_size = 201;
constexpr std::size_t sample_table = 105;
constexpr std::size_t ornament_table = 169;

// Pattern stream bytes (see the PT3 pattern commands).
constexpr std::uint8_t end_of_pattern = 0x00;
constexpr std::uint8_t skip_rows = 0xB1;    // followed by the number of rows per step
constexpr std::uint8_t envelope_on = 0x10;  // + shape; followed by period high, low, sample * 2
constexpr std::uint8_t noise_base = 0x20;   // + noise period
constexpr std::uint8_t ornament = 0x40;     // + ornament number
constexpr std::uint8_t note = 0x50;         // + note number, ends the row
constexpr std::uint8_t sound_off = 0xC0;    // ends the row
constexpr std::uint8_t volume = 0xC0;       // + volume 1..15
constexpr std::uint8_t sample = 0xD0;       // + sample number 1..31

void put_text(Bytes& module, std::size_t at, const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) module[at + i] = i < text.size() ? text[i] : ' ';
}

void put_word(Bytes& module, std::size_t at, std::size_t value) {
    module[at] = static_cast<std::uint8_t>(value & 0xFF);
    module[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Appends a part and returns its offset in the module.
std::size_t append(Bytes& module, const Bytes& part) {
    std::size_t offset = module.size();
    module.insert(module.end(), part.begin(), part.end());
    return offset;
}

Bytes header() {
    Bytes module(header_size, 0);
    put_text(module, 0, "ProTracker 3.5 compilation of ", 30);
    put_text(module, 30, "Tunefuse demo tune", 32);
    put_text(module, 62, " by ", 4);
    put_text(module, 66, "the tunefuse kit", 32);
    module[98] = ' ';
    module[99] = 0;   // tone table: ProTracker
    module[100] = 3;  // frames per row
    return module;
}

// Channel A: a lead line, arpeggiated by ornament 1 in the second half.
Bytes lead(bool second) {
    const std::uint8_t first_tune[] = {36, 40, 43, 48, 43, 40, 38, 35};
    const std::uint8_t second_tune[] = {41, 45, 48, 53, 48, 45, 43, 31};
    const std::uint8_t* tune = second ? second_tune : first_tune;
    Bytes stream = {skip_rows, 2, static_cast<std::uint8_t>(sample + 1), volume + 15};
    if (second) stream.push_back(ornament + 1);
    for (int i = 0; i < 8; ++i) stream.push_back(static_cast<std::uint8_t>(note + tune[i]));
    stream.push_back(end_of_pattern);
    return stream;
}

// Channel B: bass notes on the hardware envelope (shape 10, a triangle), sample 2.
Bytes bass(bool second) {
    const std::uint8_t period_low = second ? 0x18 : 0x20;
    Bytes stream = {skip_rows, 4};
    for (std::uint8_t n : {12, 12, 19, 17}) {
        stream.insert(stream.end(), {static_cast<std::uint8_t>(envelope_on + 10), 0x00, period_low, 2 * 2});
        stream.push_back(static_cast<std::uint8_t>(note + n + (second ? 5 : 0)));
    }
    stream.push_back(end_of_pattern);
    return stream;
}

// Channel C: a noise drum (sample 3) on every other beat, silence between.
Bytes drum() {
    Bytes stream = {skip_rows, 4, static_cast<std::uint8_t>(sample + 3)};
    for (int beat = 0; beat < 4; ++beat) {
        if (beat % 2 == 0) {
            stream.push_back(static_cast<std::uint8_t>(noise_base + 2 + beat));
            stream.push_back(note + 24);
        } else {
            stream.push_back(sound_off);
        }
    }
    stream.push_back(end_of_pattern);
    return stream;
}

// One sample position: the amplitude slide, noise/envelope offset, mixer and level bytes.
void position(Bytes& data, std::uint8_t b0, std::uint8_t b1, std::int16_t tone) {
    data.insert(data.end(), {b0, b1, static_cast<std::uint8_t>(tone & 0xFF),
                             static_cast<std::uint8_t>((static_cast<std::uint16_t>(tone) >> 8) & 0xFF)});
}

Bytes lead_sample() {
    Bytes data = {3, 5};  // loop at position 3, 5 positions
    const std::uint8_t noise_off_no_envelope = 0x80;
    position(data, 0x01, noise_off_no_envelope | 15, 0);
    position(data, 0x01, noise_off_no_envelope | 14, 0);
    position(data, 0x01, noise_off_no_envelope | 13, 1);  // a slight vibrato at the loop
    position(data, 0x01, noise_off_no_envelope | 12, -1);
    position(data, 0x01, noise_off_no_envelope | 12, 0);
    return data;
}

Bytes envelope_sample() {
    Bytes data = {0, 1};
    position(data, 0x00, 0x80 | 15, 0);  // envelope used, noise off, tone on
    return data;
}

Bytes noise_sample() {
    Bytes data = {4, 5};
    const std::uint8_t tone_off = 0x10;  // noise on (bit 7 clear), tone off
    const std::uint8_t levels[] = {15, 12, 9, 5, 0};
    for (int i = 0; i < 5; ++i)
        position(data, static_cast<std::uint8_t>((i << 1) | 1), tone_off | levels[i], 0);
    return data;
}

Bytes build_module() {
    Bytes module = header();
    const Bytes positions = {0, 3, 0, 3};
    module[101] = static_cast<std::uint8_t>(positions.size());
    module[102] = 0;  // loop to the start
    append(module, positions);
    module.push_back(0xFF);

    std::size_t pattern_table = append(module, Bytes(12, 0));
    put_word(module, 103, pattern_table);
    for (int pattern = 0; pattern < 2; ++pattern) {
        bool second = pattern == 1;
        put_word(module, pattern_table + 6 * pattern, append(module, lead(second)));
        put_word(module, pattern_table + 6 * pattern + 2, append(module, bass(second)));
        put_word(module, pattern_table + 6 * pattern + 4, append(module, drum()));
    }
    put_word(module, sample_table + 2 * 1, append(module, lead_sample()));
    put_word(module, sample_table + 2 * 2, append(module, envelope_sample()));
    put_word(module, sample_table + 2 * 3, append(module, noise_sample()));
    put_word(module, ornament_table + 2 * 0, append(module, {0, 1, 0}));
    put_word(module, ornament_table + 2 * 1, append(module, {0, 3, 0, 4, 7}));
    return module;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_demo_module OUTPUT.pt3\n");
        return 1;
    }
    Bytes module = build_module();
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(module.data()), static_cast<std::streamsize>(module.size()));
    if (!out) {
        std::fprintf(stderr, "make_demo_module: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
