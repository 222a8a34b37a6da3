// A TAP file as the Spectrum's ROM meets it: a run of blocks, each a two-byte length and then
// that many bytes (the flag, the contents and a checksum that makes the XOR of them all zero).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/text.hpp"

namespace loader {

using host::Text;

inline constexpr std::uint8_t header_flag = 0x00;
inline constexpr std::uint8_t data_flag = 0xFF;
inline constexpr std::size_t header_block_length = 19;  // flag, 17 header bytes, checksum

// The types a header gives.
inline constexpr std::uint8_t program_type = 0;
inline constexpr std::uint8_t code_type = 3;

struct TapeBlock {
    std::int64_t number;                  // counted from 1, in the order the blocks lie on the tape
    std::span<const std::uint8_t> bytes;  // flag, contents, checksum: never empty
};

// The blocks of a tape, or none with the reason in `broken` when the file is not a run of whole
// blocks (cut short, a block of length 0, or something else entirely).
std::vector<TapeBlock> read_tape_blocks(std::span<const std::uint8_t> tape, const Text& tape_name,
                                        Text& broken);

// A header block: 19 bytes with the header flag. Its fields are read only from such a block.
bool is_header(const TapeBlock& block);
std::uint8_t header_type(const TapeBlock& header);
int header_length(const TapeBlock& header);       // the data's length
int header_parameter_1(const TapeBlock& header);  // code: its address; program: its autostart line
int header_parameter_2(const TapeBlock& header);  // program: its length without variables
// The name as the Spectrum shows it; bytes outside printable ASCII show as "?", trailing spaces go.
Text header_name(const TapeBlock& header);
// The ten bytes of the name field, as the ROM compares them with the name a LOAD asks for.
std::span<const std::uint8_t> header_name_bytes(const TapeBlock& header);

bool checksum_holds(const TapeBlock& block);
// The bytes a block carries between its flag and its checksum.
std::span<const std::uint8_t> block_contents(const TapeBlock& block);

// A code header block for `length` bytes at `address`, named with the ten name bytes of
// `like`, with its length prefix: what LOAD "" CODE with no address needs to load at `address`.
std::vector<std::uint8_t> code_header_block(const TapeBlock& like, int address, int length);

// A block as it lies in a TAP file: the length prefix, then its bytes.
void append_block(std::vector<std::uint8_t>& tape, std::span<const std::uint8_t> block_bytes);
// A new block of the flag and contents, its checksum made, as it lies in a TAP file.
void append_new_block(std::vector<std::uint8_t>& tape, std::uint8_t flag,
                      std::span<const std::uint8_t> contents);

}  // namespace loader
