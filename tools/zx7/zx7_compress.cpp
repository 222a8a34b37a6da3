#include "zx7_compress.hpp"

#include <algorithm>

#include "zx7_format.hpp"

namespace zx7 {

namespace {

// Packs bits most significant first into bit bytes that take the next output position at the
// moment their first bit is needed, between the data bytes.
class BitWriter {
public:
    void byte(std::uint8_t value) { out_.push_back(value); }

    void bit(bool set) {
        if (mask_ == 0) {
            mask_ = 0x80;
            bit_byte_ = out_.size();
            out_.push_back(0);
        }
        if (set) out_[bit_byte_] |= mask_;
        mask_ >>= 1;
    }

    void gamma(std::size_t value) {
        int width = 0;
        while (value >> width) ++width;
        for (int i = 1; i < width; ++i) bit(false);
        for (int i = width - 1; i >= 0; --i) bit((value >> i) & 1);
    }

    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
    std::size_t bit_byte_ = 0;
    std::uint8_t mask_ = 0;
};

// How one position is best encoded: a literal (length 1) or a match.
struct Step {
    std::uint32_t length = 1;
    std::uint16_t offset = 0;
};

// The longest matches that start at one position, among the near offsets (one offset byte)
// and among the far ones (one byte plus four bits).
struct Longest {
    std::size_t near = 0;
    std::size_t far = 0;
};

// `runs[o]` holds the match length at offset o for the position after `position`; this turns
// it into the lengths for `position` and returns the longest near and far ones. Working from
// the end of the input backwards keeps this at one comparison per offset, so long runs of one
// byte cost no more than any other data.
Longest update_runs(std::span<const std::uint8_t> input, std::size_t position,
                    std::vector<std::uint32_t>& runs) {
    const std::uint8_t here = input[position];
    const std::size_t last = std::min(position, kMaxOffset);
    const std::size_t near_last = std::min(last, kMaxShortOffset);
    const std::uint32_t cap = kMaxLength;
    std::uint32_t near = 0;
    std::uint32_t far = 0;
    for (std::size_t offset = 1; offset <= near_last; ++offset) {
        std::uint32_t length = input[position - offset] == here ? std::min(runs[offset] + 1, cap) : 0;
        runs[offset] = length;
        near = std::max(near, length);
    }
    for (std::size_t offset = near_last + 1; offset <= last; ++offset) {
        std::uint32_t length = input[position - offset] == here ? std::min(runs[offset] + 1, cap) : 0;
        runs[offset] = length;
        far = std::max(far, length);
    }
    return {near, far};
}

std::uint16_t offset_reaching(const std::vector<std::uint32_t>& runs, std::size_t first, std::size_t length) {
    std::size_t offset = first;
    while (runs[offset] < length) ++offset;
    return static_cast<std::uint16_t>(offset);
}

// Tries the matches of up to `longest` bytes at `position` and keeps the cheapest in `best`.
// The cost of the rest never grows as the match gets longer, and a gamma length costs the same
// across each band [2^k + 1, 2^(k+1)], so the longest length in each band is the only one
// worth trying there.
bool try_matches(std::size_t position, std::size_t longest, std::size_t sample_offset,
                 const std::vector<std::size_t>& cost, std::size_t& best, std::uint32_t& best_length) {
    bool improved = false;
    for (std::size_t top = 2; top / 2 + 1 <= longest; top *= 2) {
        std::size_t length = std::min(top, longest);
        std::size_t bits = match_bits(length, sample_offset) + cost[position + length];
        if (bits < best) {
            best = bits;
            best_length = static_cast<std::uint32_t>(length);
            improved = true;
        }
    }
    return improved;
}

// A shortest-path parse from the end of the input back to its second byte: cost[i] is the
// fewest bits that encode input[i..] (the end marker aside).
std::vector<Step> parse(std::span<const std::uint8_t> input) {
    const std::size_t size = input.size();
    std::vector<std::size_t> cost(size + 1, 0);
    std::vector<Step> steps(size);
    std::vector<std::uint32_t> runs(kMaxOffset + 1, 0);
    for (std::size_t position = size - 1; position >= 1; --position) {
        Longest longest = update_runs(input, position, runs);
        std::size_t best = kLiteralBits + cost[position + 1];
        std::uint32_t length = 1;
        bool near = try_matches(position, longest.near, 1, cost, best, length);
        bool far = try_matches(position, longest.far, kMaxOffset, cost, best, length);
        Step& step = steps[position];
        step.length = length;
        if (far) {
            step.offset = offset_reaching(runs, kMaxShortOffset + 1, length);
        } else if (near) {
            step.offset = offset_reaching(runs, 1, length);
        }
        cost[position] = best;
    }
    return steps;
}

void write_match(BitWriter& out, std::size_t length, std::size_t offset) {
    out.bit(true);
    out.gamma(length - 1);
    std::size_t code = offset - 1;
    if (code < kMaxShortOffset) {
        out.byte(static_cast<std::uint8_t>(code));
        return;
    }
    code -= kMaxShortOffset;
    out.byte(static_cast<std::uint8_t>(0x80 | (code & 0x7F)));
    for (std::size_t mask = 1024; mask > 0x7F; mask >>= 1) out.bit(code & mask);
}

void write_end_marker(BitWriter& out) {
    out.bit(true);
    for (int i = 0; i < kEndMarkerZeros; ++i) out.bit(false);
    out.bit(true);
}

}  // namespace

std::vector<std::uint8_t> compress(std::span<const std::uint8_t> input) {
    if (input.empty()) return {};
    std::vector<Step> steps = parse(input);
    BitWriter out;
    out.byte(input[0]);
    for (std::size_t position = 1; position < input.size(); position += steps[position].length) {
        const Step& step = steps[position];
        if (step.length == 1) {
            out.bit(false);
            out.byte(input[position]);
        } else {
            write_match(out, step.length, step.offset);
        }
    }
    write_end_marker(out);
    return out.take();
}

}  // namespace zx7
