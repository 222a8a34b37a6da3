#include "zx7_compress.hpp"

#include <algorithm>
#include <iterator>

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

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The match length at every offset for the position being parsed. A match can only start
// where the earlier byte equals the current one, so each position visits just those offsets,
// found through a chain of the earlier positions holding the same byte value. A length counts
// only while its stamp is the position it was worked out for, so the other offsets need no
// clearing: random data costs a few steps per position, long runs of one byte no more than a
// comparison per offset.
class MatchTable {
public:
    explicit MatchTable(std::span<const std::uint8_t> input) : previous_same_(input.size(), kNone) {
        std::size_t last_seen[256];
        std::fill(std::begin(last_seen), std::end(last_seen), kNone);
        for (std::size_t i = 0; i < input.size(); ++i) {
            previous_same_[i] = last_seen[input[i]];
            last_seen[input[i]] = i;
        }
    }

    // Moves the table from position + 1 to position and returns its longest matches.
    Longest advance(std::size_t position) {
        Longest longest;
        for (std::size_t earlier = first_earlier(position); earlier != kNone;
             earlier = next_earlier(position, earlier)) {
            const std::size_t offset = position - earlier;
            const std::uint32_t length =
                std::min<std::uint32_t>(length_at(offset, position + 1) + 1, kMaxLength);
            runs_[offset] = length;
            stamps_[offset] = position;
            std::size_t& band = offset <= kMaxShortOffset ? longest.near : longest.far;
            band = std::max<std::size_t>(band, length);
        }
        return longest;
    }

    // The nearest offset from `first` on whose match at `position` is at least `length` long.
    std::uint16_t offset_reaching(std::size_t position, std::size_t first, std::size_t length) const {
        for (std::size_t earlier = first_earlier(position);; earlier = next_earlier(position, earlier)) {
            const std::size_t offset = position - earlier;
            if (offset >= first && length_at(offset, position) >= length)
                return static_cast<std::uint16_t>(offset);
        }
    }

private:
    std::uint32_t length_at(std::size_t offset, std::size_t position) const {
        return stamps_[offset] == position ? runs_[offset] : 0;
    }

    std::size_t first_earlier(std::size_t position) const {
        return within_reach(position, previous_same_[position]);
    }

    std::size_t next_earlier(std::size_t position, std::size_t earlier) const {
        return within_reach(position, previous_same_[earlier]);
    }

    static std::size_t within_reach(std::size_t position, std::size_t earlier) {
        return earlier != kNone && position - earlier <= kMaxOffset ? earlier : kNone;
    }

    std::vector<std::size_t> previous_same_;
    std::vector<std::uint32_t> runs_ = std::vector<std::uint32_t>(kMaxOffset + 1, 0);
    std::vector<std::size_t> stamps_ = std::vector<std::size_t>(kMaxOffset + 1, kNone);
};

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
    MatchTable matches(input);
    for (std::size_t position = size - 1; position >= 1; --position) {
        Longest longest = matches.advance(position);
        std::size_t best = kLiteralBits + cost[position + 1];
        std::uint32_t length = 1;
        bool near = try_matches(position, longest.near, 1, cost, best, length);
        bool far = try_matches(position, longest.far, kMaxOffset, cost, best, length);
        Step& step = steps[position];
        step.length = length;
        if (far) {
            step.offset = matches.offset_reaching(position, kMaxShortOffset + 1, length);
        } else if (near) {
            step.offset = matches.offset_reaching(position, 1, length);
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
