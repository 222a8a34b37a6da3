// Writes the kit's demo loading screen: a 6912-byte Spectrum screen of our own, with a frame,
// diagonal stripes and bands of colour, so that any byte out of place is easy to see.
//
// Usage: make_demo_screen OUTPUT.scr
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

namespace {

constexpr int pixel_bytes = 6144;
constexpr int attribute_bytes = 768;

// The pixel byte for character column `column` (0..31) and pixel line `y` (0..191).
std::uint8_t pixel_byte(int column, int y) {
    if (y < 2 || y > 189) return 0xFF;  // top and bottom frame
    std::uint8_t byte = static_cast<std::uint8_t>(0x80 >> ((y + column * 8) / 2 % 8));  // stripes
    if (column == 0) byte |= 0xC0;                                                      // left frame
    if (column == 31) byte |= 0x03;                                                     // right frame
    return byte;
}

// Screen memory interleaves pixel lines: line y lives at thirds, character rows and lines.
int pixel_address(int column, int y) {
    return ((y & 0xC0) << 5) | ((y & 0x07) << 8) | ((y & 0x38) << 2) | column;
}

std::uint8_t attribute(int row, int column) {
    int paper = (row / 3) % 8;
    int ink = 7 - paper;
    bool bright = (column / 8) % 2 == 1;
    return static_cast<std::uint8_t>((bright ? 0x40 : 0) | (paper << 3) | ink);
}

std::vector<std::uint8_t> build_screen() {
    std::vector<std::uint8_t> screen(pixel_bytes + attribute_bytes, 0);
    for (int y = 0; y < 192; ++y)
        for (int column = 0; column < 32; ++column) screen[pixel_address(column, y)] = pixel_byte(column, y);
    for (int row = 0; row < 24; ++row)
        for (int column = 0; column < 32; ++column)
            screen[pixel_bytes + row * 32 + column] = attribute(row, column);
    return screen;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_demo_screen OUTPUT.scr\n");
        return 1;
    }
    std::vector<std::uint8_t> screen = build_screen();
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(screen.data()), static_cast<std::streamsize>(screen.size()));
    if (!out) {
        std::fprintf(stderr, "make_demo_screen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
