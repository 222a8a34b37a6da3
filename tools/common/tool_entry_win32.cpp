// Windows hands narrow programs their arguments in the ANSI code page, which cannot hold every
// file name; the wide entry point receives them as UTF-16, converted here to UTF-8.
#include <string>

#include "tool_entry.hpp"

namespace {

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf8_of(const wchar_t* wide) {
    std::string out;
    for (const wchar_t* p = wide; *p; ++p) {
        char32_t c = static_cast<char16_t>(*p);
        bool high = c >= 0xD800 && c < 0xDC00;
        if (high && p[1] >= 0xDC00 && p[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(p[1]) - 0xDC00);
            ++p;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // an unpaired surrogate cannot be a file name character
        }
        append_utf8(out, c);
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(utf8_of(argv[i]));
    return tools::run_tool(arguments);
}
