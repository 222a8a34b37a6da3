// Host-internal, Windows only: the program's texts and the wide strings of the system's calls.
// Both hold UTF-16 units; the copies keep the two types apart without aliasing one as the other.
#pragma once

#include <string>

#include "host/text.hpp"

namespace host {

inline std::wstring wide_text(const Text& text) {
    return std::wstring(text.begin(), text.end());
}

inline Text text_of(const wchar_t* wide, std::size_t length) {
    return Text(wide, wide + length);
}

inline Text text_of(const std::wstring& wide) {
    return text_of(wide.data(), wide.size());
}

}  // namespace host
