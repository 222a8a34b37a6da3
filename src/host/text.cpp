#include "host/text.hpp"

#include <algorithm>

namespace host {

Text decimal_text(std::int64_t value) {
    // Work on the unsigned magnitude so that the most negative value has digits too.
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    Text digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits.insert(digits.begin(), u'-');
    return digits;
}

std::int64_t kilobytes(std::int64_t bytes) {
    return bytes / 1024;
}

Text trim_spaces(const Text& text) {
    auto first = text.find_first_not_of(u' ');
    if (first == Text::npos) return {};
    auto last = text.find_last_not_of(u' ');
    return text.substr(first, last - first + 1);
}

Text substring(const Text& text, std::int64_t start, std::int64_t count) {
    auto length = static_cast<std::int64_t>(text.size());
    if (start < 1 || start > length || count < 0) return {};
    return text.substr(static_cast<std::size_t>(start - 1),
                       static_cast<std::size_t>(std::min(count, length - start + 1)));
}

Text left_part(const Text& text, std::int64_t count) {
    if (count <= 0) return {};
    return text.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(count, text.size())));
}

int first_code(const Text& text) {
    return text.empty() ? 0 : text.front();
}

Text character_text(std::int64_t code) {
    return Text(1, static_cast<char16_t>(code & 0xFFFF));
}

Text left_justify(const Text& text, std::int64_t width) {
    if (width <= 0) return {};
    Text result = left_part(text, width);
    result.resize(static_cast<std::size_t>(width), u' ');
    return result;
}

Text ascii_text(std::string_view ascii) {
    return Text(ascii.begin(), ascii.end());
}

namespace {

constexpr char16_t replacement = 0xFFFD;

// The number of bytes a UTF-8 sequence takes, judged by its first byte; 0 for a byte that
// cannot start one.
int sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The valid range of the second byte, which rules out overlong forms, surrogates and values
// beyond U+10FFFF.
bool valid_second(unsigned char lead, unsigned char second) {
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
    return second >= 0x80 && second <= 0xBF;
}

void append_code_point(Text& text, char32_t code) {
    if (code < 0x10000) {
        text.push_back(static_cast<char16_t>(code));
    } else {
        code -= 0x10000;
        text.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        text.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    }
}

}  // namespace

Text from_utf8(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    Text text;
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        int length = sequence_length(lead);
        if (length == 1) {
            text.push_back(lead);
            ++i;
            continue;
        }
        // Decode as far as the sequence stays well formed; a broken one gives one U+FFFD for
        // its longest valid start, the way the Windows conversion counts them.
        char32_t code = lead & (0xFF >> (length + 1));
        int taken = 1;
        while (length > 1 && taken < length && i + taken < bytes.size()) {
            auto next = static_cast<unsigned char>(bytes[i + taken]);
            bool ok = (taken == 1) ? valid_second(lead, next) : (next >= 0x80 && next <= 0xBF);
            if (!ok) break;
            code = (code << 6) | (next & 0x3F);
            ++taken;
        }
        if (length > 1 && taken == length)
            append_code_point(text, code);
        else
            text.push_back(replacement);
        i += taken;
    }
    return text;
}

std::string to_utf8(const Text& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = replacement;
        }
        if (code < 0x80) {
            bytes.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return bytes;
}

}  // namespace host
