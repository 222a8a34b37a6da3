// AYFX effects decoded from the bank's bytes, as the bank format describes them, and laid over
// one frame of the music's AY registers: what the effect player must do to them.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace test {

// The playing effect laid over one frame of the music's registers as the bank format describes:
// the channel's volume, its tone period while the tone is on, its two R7 bits, R6 while the noise
// is on. The effect player marks its tone periods with bit 7 of R1, R3 or R5, which the AY does
// not keep, so registers() drops it.
struct EffectDecoder {
    Bytes bank;
    std::size_t at = 0, next = 0;  // next: the effect the whole-bank run starts next
    int channel = 0, tone = 0, noise = 0;
    bool playing = false;
    int word(std::size_t from) const { return bank.at(from) | bank.at(from + 1) << 8; }
    int count() const { return (word(1) + 1) / 2; }
    void start(int effect, int on) {
        if (effect >= count()) return;
        at = 2 + 2 * effect + word(1 + 2 * effect), channel = std::min(on, 2), tone = noise = 0,
        playing = true;
    }
    void frame(std::vector<int>& reg) {
        if (!playing) return;
        int info = bank.at(at++);
        if (info & 0x20) tone = word(at) & 0xFFF, at += 2;
        if (info & 0x40 && (playing = bank.at(at) < 0x20)) noise = bank.at(at++);
        if (!playing) return;
        reg[8 + channel] = info & 15;
        if (!(info & 0x10)) reg[2 * channel] = tone & 0xFF, reg[2 * channel + 1] = tone >> 8;
        if (!(info & 0x80)) reg[6] = noise;
        reg[7] = (reg[7] & ~(9 << channel)) | (info >> 4 & 1) << channel | (info >> 7 & 1) << (3 + channel);
    }
};
// The registers of a frame as the expected frame files write it: R0 to R13 in hex.
inline std::vector<int> registers(const std::string& line) {
    std::vector<int> reg;
    for (std::size_t at = 0; at < line.size(); at += 3)
        reg.push_back(std::stoi(line.substr(at, 2), nullptr, 16));
    for (int coarse : {1, 3, 5}) reg[coarse] &= 0x0F;
    return reg;
}

}  // namespace test
