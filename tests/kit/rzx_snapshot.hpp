// Reading the 48K of RAM out of the last snapshot of an RZX recording, as Fuse writes it
// when it exits: RZX snapshot blocks hold SZX snapshots, whose RAM pages are zlib chunks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kit_test {

// RAM from 16384 to 65535; index 0 is address 16384.
struct SpectrumRam {
    std::vector<std::uint8_t> bytes;
    std::uint8_t peek(int address) const { return bytes.at(static_cast<std::size_t>(address - 16384)); }
    int peek_word(int address) const { return peek(address) | peek(address + 1) << 8; }
};

// The RAM of the recording's last snapshot, or nothing (with the reason in `error`) when the
// file is missing, truncated, or holds no 48K snapshot.
std::optional<SpectrumRam> last_snapshot_ram(const std::filesystem::path& rzx, std::string& error);

}  // namespace kit_test
