#include "tap_code_blocks.hpp"

namespace bin2tap {

namespace {

constexpr std::uint8_t kHeaderFlag = 0x00;
constexpr std::uint8_t kDataFlag = 0xFF;
constexpr std::uint8_t kCodeType = 3;
constexpr std::uint16_t kCodeParameter2 = 32768;
constexpr std::size_t kHeaderContents = 17;

void put_word(Bytes& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

// Length, flag, contents and the checksum (the flag XOR every contents byte).
void put_block(Bytes& out, std::uint8_t flag, std::span<const std::uint8_t> contents) {
    put_word(out, contents.size() + 2);
    out.push_back(flag);
    std::uint8_t checksum = flag;
    for (std::uint8_t byte : contents) {
        out.push_back(byte);
        checksum ^= byte;
    }
    out.push_back(checksum);
}

// Decodes one UTF-8 character starting at `text[at]` and moves `at` past it.
char32_t next_character(const std::u8string& text, std::size_t& at) {
    unsigned lead = text[at++];
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t c = more == 0 ? lead : lead & (0x3F >> more);
    for (; more > 0 && at < text.size() && (text[at] & 0xC0) == 0x80; --more)
        c = c << 6 | (text[at++] & 0x3F);
    return c;
}

}  // namespace

std::string tape_name(const std::filesystem::path& file) {
    std::u8string base = file.filename().u8string();
    std::string name;
    for (std::size_t at = 0; at < base.size() && name.size() < kNameLength;) {
        char32_t c = next_character(base, at);
        if (c == U'.') break;
        name += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    name.resize(kNameLength, ' ');
    return name;
}

Bytes code_blocks(const std::string& name, std::uint16_t address, std::span<const std::uint8_t> code) {
    Bytes header(1 + kNameLength, ' ');
    header[0] = kCodeType;
    for (std::size_t i = 0; i < kNameLength && i < name.size(); ++i) {
        header[1 + i] = static_cast<std::uint8_t>(name[i]);
    }
    put_word(header, code.size());
    put_word(header, address);
    put_word(header, kCodeParameter2);
    Bytes out;
    out.reserve(kHeaderContents + code.size() + 8);
    put_block(out, kHeaderFlag, header);
    put_block(out, kDataFlag, code);
    return out;
}

}  // namespace bin2tap
