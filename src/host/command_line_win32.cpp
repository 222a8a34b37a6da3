// The command line and the program's own location on Windows: the whole command line as the
// system keeps it, split by the program's own rules, and the module file name.
#include <windows.h>

#include <vector>

#include "host/command_line.hpp"
#include "host/wide_text_win32.hpp"

namespace host {

// Windows keeps the command line whole; the argument vector of the C runtime splits it by other
// rules (backslash escapes) than the program's own, so it is not used.
void remember_arguments(int, char**) {}

Text program_parameter(int index) {
    if (index < 0) return {};
    const wchar_t* line = GetCommandLineW();
    if (line == nullptr) return {};
    std::vector<Text> tokens = split_command_line(text_of(std::wstring(line)));
    const std::size_t position = static_cast<std::size_t>(index) + 1;
    if (position >= tokens.size()) return {};
    return tokens[position];
}

// The buffer grows until the whole name fits: a name cut short would put the program directory
// somewhere else.
Text program_file_name() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0) return {};
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        if (name.size() >= 32768) break;
        name.resize(name.size() * 2);
    }
    if (name.rfind(L"\\\\?\\", 0) == 0) name.erase(0, 4);
    return text_of(name);
}

}  // namespace host
