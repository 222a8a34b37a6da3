#include "loader/tape_file.hpp"

#include <algorithm>

namespace loader {

namespace {

// Places in a header block, counted from its flag.
constexpr std::size_t type_place = 1;
constexpr std::size_t name_place = 2;
constexpr std::size_t name_length = 10;
constexpr std::size_t length_place = 12;
constexpr std::size_t parameter_1_place = 14;
constexpr std::size_t parameter_2_place = 16;

int word_at(std::span<const std::uint8_t> bytes, std::size_t place) {
    return bytes[place] | (bytes[place + 1] << 8);
}

}  // namespace

std::vector<TapeBlock> read_tape_blocks(std::span<const std::uint8_t> tape, const Text& tape_name,
                                        Text& broken) {
    std::vector<TapeBlock> blocks;
    const Text not_a_tape = tape_name + u" is not a tape file: ";
    std::size_t position = 0;
    for (std::int64_t number = 1; position < tape.size(); ++number) {
        const std::size_t left = tape.size() - position;
        const Text block = u"block " + host::decimal_text(number);
        if (left < 2) {
            broken = not_a_tape + u"the file ends inside the length of " + block;
            return {};
        }
        const std::size_t length = static_cast<std::size_t>(word_at(tape, position));
        if (length == 0) {
            broken = not_a_tape + block + u" has a length of 0";
            return {};
        }
        if (length > left - 2) {
            broken = not_a_tape + block + u" should have " +
                     host::decimal_text(static_cast<std::int64_t>(length)) +
                     u" bytes, but the file ends after " +
                     host::decimal_text(static_cast<std::int64_t>(left - 2)) + u" of them";
            return {};
        }
        blocks.push_back({number, tape.subspan(position + 2, length)});
        position += 2 + length;
    }
    return blocks;
}

bool is_header(const TapeBlock& block) {
    return block.bytes[0] == header_flag && block.bytes.size() == header_block_length;
}

std::uint8_t header_type(const TapeBlock& header) {
    return header.bytes[type_place];
}

int header_length(const TapeBlock& header) {
    return word_at(header.bytes, length_place);
}

int header_parameter_1(const TapeBlock& header) {
    return word_at(header.bytes, parameter_1_place);
}

int header_parameter_2(const TapeBlock& header) {
    return word_at(header.bytes, parameter_2_place);
}

Text header_name(const TapeBlock& header) {
    Text name;
    for (std::uint8_t byte : header_name_bytes(header))
        name.push_back(byte >= 0x20 && byte < 0x7F ? static_cast<char16_t>(byte) : u'?');
    return name.substr(0, name.find_last_not_of(u' ') + 1);
}

std::span<const std::uint8_t> header_name_bytes(const TapeBlock& header) {
    return header.bytes.subspan(name_place, name_length);
}

bool checksum_holds(const TapeBlock& block) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : block.bytes) sum ^= byte;
    return sum == 0;
}

std::span<const std::uint8_t> block_contents(const TapeBlock& block) {
    return block.bytes.size() < 2 ? std::span<const std::uint8_t>()
                                  : block.bytes.subspan(1, block.bytes.size() - 2);
}

std::vector<std::uint8_t> code_header_block(const TapeBlock& like, int address, int length) {
    std::vector<std::uint8_t> header(like.bytes.begin(), like.bytes.end());
    header[type_place] = code_type;
    header[length_place] = static_cast<std::uint8_t>(length & 0xFF);
    header[length_place + 1] = static_cast<std::uint8_t>(length >> 8);
    header[parameter_1_place] = static_cast<std::uint8_t>(address & 0xFF);
    header[parameter_1_place + 1] = static_cast<std::uint8_t>(address >> 8);
    std::uint8_t sum = 0;
    for (std::size_t place = 0; place + 1 < header.size(); ++place) sum ^= header[place];
    header.back() = sum;
    std::vector<std::uint8_t> block;
    append_block(block, header);
    return block;
}

void append_new_block(std::vector<std::uint8_t>& tape, std::uint8_t flag,
                      std::span<const std::uint8_t> contents) {
    std::vector<std::uint8_t> block(contents.size() + 2, flag);
    std::copy(contents.begin(), contents.end(), block.begin() + 1);
    for (std::uint8_t byte : contents) flag ^= byte;
    block.back() = flag;
    append_block(tape, block);
}

void append_block(std::vector<std::uint8_t>& tape, std::span<const std::uint8_t> block_bytes) {
    tape.push_back(static_cast<std::uint8_t>(block_bytes.size() & 0xFF));
    tape.push_back(static_cast<std::uint8_t>(block_bytes.size() >> 8));
    tape.insert(tape.end(), block_bytes.begin(), block_bytes.end());
}

}  // namespace loader
