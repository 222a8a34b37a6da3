// Reading the RAM out of the last snapshot of an RZX recording, as Fuse writes it when it
// exits: RZX snapshot blocks hold SZX snapshots, whose RAM pages are zlib chunks, one per bank,
// and a 128K's snapshot also records the last write to the paging port.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kit_test {

// RAM from 16384 to 65535 as the processor sees it (index 0 is address 16384), and every
// 16 KB bank the snapshot holds (banks 5, 2 and 0 on a 48K, 0 to 7 on a 128K).
struct SpectrumRam {
    std::vector<std::uint8_t> bytes;
    std::array<std::vector<std::uint8_t>, 8> banks;
    std::uint8_t peek(int address) const { return bytes.at(static_cast<std::size_t>(address - 16384)); }
    int peek_word(int address) const { return peek(address) | peek(address + 1) << 8; }
};

// The RAM of the recording's last snapshot, or nothing (with the reason in `error`) when the
// file is missing, truncated, or lacks a bank the processor sees.
std::optional<SpectrumRam> last_snapshot_ram(const std::filesystem::path& rzx, std::string& error);

}  // namespace kit_test
