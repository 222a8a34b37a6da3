// The two TAP blocks that save raw code: a CODE header and the data block.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace bin2tap {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kNameLength = 10;
constexpr std::uint16_t kDefaultAddress = 32768;
// A block's length field (two bytes) also counts its flag and checksum bytes.
constexpr std::size_t kMaxCodeLength = 65535 - 2;

// The tape name for a file: its base name up to the first dot, cut to 10 characters and padded
// with spaces. Characters outside printable ASCII become "?", one per character.
std::string tape_name(const std::filesystem::path& file);

// The header block (flag 0x00, type 3 = CODE, name, length, load address, 32768) followed by
// the data block (flag 0xFF), each with its length in front and its XOR checksum at the end.
// `code` must hold 1 to kMaxCodeLength bytes and `name` exactly kNameLength characters.
Bytes code_blocks(const std::string& name, std::uint16_t address, std::span<const std::uint8_t> code);

}  // namespace bin2tap
