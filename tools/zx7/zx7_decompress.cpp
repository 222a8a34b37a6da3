#include "zx7_decompress.hpp"

#include "zx7_format.hpp"

namespace zx7 {

namespace {

// Reads the packed stream as the Z80 decompressors do: a new bit byte is taken from the
// current input position once the eight bits of the previous one are used up.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> packed) : packed_(packed) {}

    bool byte(std::uint8_t& value) {
        if (position_ >= packed_.size()) return false;
        value = packed_[position_++];
        return true;
    }

    bool bit(bool& value) {
        if (mask_ == 0) {
            if (!byte(bits_)) return false;
            mask_ = 0x80;
        }
        value = bits_ & mask_;
        mask_ >>= 1;
        return true;
    }

    std::size_t position() const { return position_; }

private:
    std::span<const std::uint8_t> packed_;
    std::size_t position_ = 0;
    std::uint8_t bits_ = 0;
    std::uint8_t mask_ = 0;
};

enum class Item { literal, match, end, broken };

struct Match {
    std::size_t length = 0;
    std::size_t offset = 0;
};

// Reads a gamma-coded length; a run of 16 zero bits is the end marker.
Item read_length(Reader& in, std::size_t& length, std::size_t& bits) {
    int zeros = 0;
    bool set = false;
    while (in.bit(set) && !set) {
        ++bits;
        if (++zeros > kEndMarkerZeros) return Item::broken;
    }
    if (!set) return Item::broken;
    ++bits;
    if (zeros == kEndMarkerZeros) return Item::end;
    std::size_t value = 1;
    for (int i = 0; i < zeros; ++i) {
        if (!in.bit(set)) return Item::broken;
        value = value << 1 | (set ? 1 : 0);
        ++bits;
    }
    length = value + 1;
    return Item::match;
}

Item read_offset(Reader& in, std::size_t& offset, std::size_t& bits) {
    std::uint8_t low = 0;
    if (!in.byte(low)) return Item::broken;
    bits += 8;
    if (!(low & 0x80)) {
        offset = low + 1;
        return Item::match;
    }
    std::size_t high = 0;
    for (int i = 0; i < 4; ++i) {
        bool set = false;
        if (!in.bit(set)) return Item::broken;
        high = high << 1 | (set ? 1 : 0);
        ++bits;
    }
    offset = ((low & 0x7F) | high << 7) + kMaxShortOffset + 1;
    return Item::match;
}

Item read_match(Reader& in, Match& match, std::size_t& bits) {
    Item item = read_length(in, match.length, bits);
    if (item != Item::match) return item;
    return read_offset(in, match.offset, bits);
}

}  // namespace

std::optional<Decompressed> decompress(std::span<const std::uint8_t> packed, std::string& problem) {
    Reader in(packed);
    Decompressed result;
    std::uint8_t value = 0;
    if (!in.byte(value)) {
        problem = "no data";
        return std::nullopt;
    }
    result.data.push_back(value);
    for (;;) {
        bool flag = false;
        if (!in.bit(flag)) {
            problem = "data ends before the end marker";
            return std::nullopt;
        }
        result.item_bits += 1;
        if (!flag) {
            if (!in.byte(value)) {
                problem = "data ends inside a literal";
                return std::nullopt;
            }
            result.item_bits += 8;
            result.data.push_back(value);
            ++result.literals;
            continue;
        }
        Match match;
        Item item = read_match(in, match, result.item_bits);
        if (item == Item::end) break;
        if (item == Item::broken) {
            problem = "data ends inside a match or a length is too long";
            return std::nullopt;
        }
        if (match.offset > result.data.size()) {
            problem = "a match reaches back before the start";
            return std::nullopt;
        }
        std::size_t from = result.data.size() - match.offset;
        for (std::size_t i = 0; i < match.length; ++i) result.data.push_back(result.data[from + i]);
        ++result.matches;
    }
    result.bytes_read = in.position();
    return result;
}

}  // namespace zx7
