// The ZX7 compressed format, shared by the compressor and the decompressor.
//
// The first byte is the first input byte, raw. Then come items, each led by one flag bit:
// 0 = a literal (one raw byte follows), 1 = a match: its length L as L-1 in Elias-gamma form,
// then its offset. Bits are packed most significant first into bit bytes that sit between the
// data bytes: a new bit byte takes the next output position at the moment its first bit is
// needed. The end is a match whose gamma length has 16 zero bits followed by a 1.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zx7 {

constexpr std::size_t kMinLength = 2;
constexpr std::size_t kMaxLength = 65536;
constexpr std::size_t kMaxShortOffset = 128;  // written as one byte
constexpr std::size_t kMaxOffset = 2176;      // one byte plus four bits
constexpr int kEndMarkerZeros = 16;

// Bits of an Elias-gamma code for value (>= 1): n-1 zeros and the n bits of the value.
constexpr int gamma_bits(std::size_t value) {
    int n = 0;
    while (value >> n) ++n;
    return 2 * n - 1;
}

constexpr int kLiteralBits = 1 + 8;

// The bits of a whole match item: flag, gamma length, offset byte and, for far offsets, 4 bits.
constexpr int match_bits(std::size_t length, std::size_t offset) {
    return 1 + gamma_bits(length - 1) + (offset <= kMaxShortOffset ? 8 : 12);
}

constexpr int kEndMarkerBits = 1 + kEndMarkerZeros + 1;

}  // namespace zx7
