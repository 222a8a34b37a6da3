#include "host/text.hpp"

namespace host {

// POSIX hosts have no ANSI code page; single-byte text is ISO-8859-1, where every byte is the
// character of the same number.
Text from_single_byte(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    Text text;
    for (char byte : bytes) text.push_back(static_cast<unsigned char>(byte));
    return text;
}

std::string to_single_byte(const Text& text) {
    std::string bytes;
    for (char16_t unit : text) bytes.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    return bytes;
}

}  // namespace host
