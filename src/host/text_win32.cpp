// Single-byte text on Windows: the system's ANSI code page (code page 0), converted with the
// system's own calls so that the result matches what other Windows programs make of the bytes.
#include <windows.h>

#include "host/text.hpp"
#include "host/wide_text_win32.hpp"

namespace host {

Text from_single_byte(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\0'));
    if (bytes.empty()) return {};
    const int length = static_cast<int>(bytes.size());
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, wide.data(), units);
    return text_of(wide);
}

// No default character is given: the system puts its own ("?") for what the code page cannot
// hold.
std::string to_single_byte(const Text& text) {
    if (text.empty()) return {};
    const std::wstring wide = wide_text(text);
    const int length = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

}  // namespace host
