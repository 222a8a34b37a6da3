#include "loader/tape_blocks.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "host/file_system.hpp"
#include "host/files.hpp"

namespace loader {

namespace {

constexpr int header_block_size = 21;

// A program header block: block length 19, flag 0x00 (header), type 0 (program), a blank
// name, then the length fields, the autostart line and the checksum that build_header fills.
constexpr std::array<std::uint8_t, header_block_size> header_template = {
    0x13, 0x00, 0x00, 0x00, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    0x20, 0x20, 0x20, 0xFC, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x00,
};

constexpr std::size_t name_slot = 4;
constexpr std::size_t name_length = 10;
constexpr std::size_t data_length_slot = 14;
constexpr std::size_t autostart_slot = 16;
constexpr std::size_t program_length_slot = 18;
constexpr std::size_t header_checksum_slot = 20;

constexpr int data_block_slot = 21;  // length (2), flag, program, checksum
constexpr int data_flag = 0xFF;
constexpr int data_program_slot = 24;
constexpr int tape_overhead = 25;  // both blocks' lengths, flags and checksums, and the header

// The fixed file number the loader tape is written through.
constexpr int tape_file_number = 0;

void put_two_bytes(std::array<std::uint8_t, header_block_size>& header, std::size_t slot, int value) {
    header[slot] = static_cast<std::uint8_t>(value & 0xFF);
    header[slot + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// The ROM shows the name while loading; it takes any byte, so each character gives its low
// 8 bits as they are, with no zero-byte escape.
void put_name(std::array<std::uint8_t, header_block_size>& header, const Text& block_name) {
    for (std::size_t i = 0; i < name_length; ++i) {
        char16_t character = i < block_name.size() ? block_name[i] : u' ';
        header[name_slot + i] = static_cast<std::uint8_t>(character & 0xFF);
    }
}

std::uint8_t header_checksum(const std::array<std::uint8_t, header_block_size>& header) {
    std::uint8_t checksum = 0;
    for (std::size_t slot = 1; slot < header_block_size; ++slot) checksum ^= header[slot];
    return checksum;
}

// The largest program whose two blocks fit the tape image; its data block length (the
// program plus flag and checksum) then also fits the 16-bit length field.
constexpr int largest_program = tape_image_slots - tape_overhead;

// Whether a program of this length can be taken from the program buffer and written with its
// two blocks from the tape image.
bool fits_tape(const TapeImage& image, const LoaderProgram& program, std::int64_t length) {
    const std::int64_t program_bytes = static_cast<std::int64_t>(program.buffer.size()) - 1;
    const std::int64_t image_slots = static_cast<std::int64_t>(image.slots.size());
    return length >= 0 && length <= largest_program && length <= program_bytes &&
           length + tape_overhead <= image_slots;
}

void fill_data_block(TapeImage& image, const LoaderProgram& program, int loader_length) {
    const int block_length = loader_length + 2;
    image.slots[data_block_slot] = block_length & 0xFF;
    image.slots[data_block_slot + 1] = (block_length >> 8) & 0xFF;
    image.slots[data_block_slot + 2] = data_flag;
    int checksum = data_flag;
    for (int i = 0; i < loader_length; ++i) {
        const int byte = program.buffer[static_cast<std::size_t>(i) + 1];
        image.slots[data_program_slot + i] = byte;
        checksum ^= byte;
    }
    image.slots[data_program_slot + loader_length] = checksum;
}

}  // namespace

int build_header(TapeImage& image, const Text& block_name, int loader_length) {
    std::array<std::uint8_t, header_block_size> header = header_template;
    put_name(header, block_name);
    put_two_bytes(header, data_length_slot, loader_length);
    put_two_bytes(header, autostart_slot, 0);                   // run from the first line once loaded
    put_two_bytes(header, program_length_slot, loader_length);  // the program carries no variables
    header[header_checksum_slot] = header_checksum(header);
    for (std::size_t slot = 0; slot < header_block_size; ++slot) image.slots[slot] = header[slot];
    // A length too large for any tape still gives an end that write_tape refuses.
    return loader_length > INT_MAX - 22 ? INT_MAX : loader_length + 22;
}

bool write_tape(TapeImage& image, const LoaderProgram& program, const Text& file_name, int end) {
    // The header was built for end - 22 program bytes; the data block carries the same number,
    // so the two blocks always agree.
    const std::int64_t length = static_cast<std::int64_t>(end) - 22;
    // The old tape goes in every case, so that a stale loader can never be mistaken for this
    // run's. Removing a write-protected file too is what lets the new one take its place.
    host::delete_file(file_name, host::delete_force);
    if (!fits_tape(image, program, length)) return false;
    const int loader_length = static_cast<int>(length);
    fill_data_block(image, program, loader_length);
    if (host::open_file(tape_file_number, file_name, host::share_all) == 0) return false;
    for (int slot = 0; slot < loader_length + tape_overhead; ++slot)
        host::write_byte(tape_file_number, image.slots[static_cast<std::size_t>(slot)]);
    return host::close_file(tape_file_number) != 0;
}

}  // namespace loader
