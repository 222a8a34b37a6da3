#include <limits.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include <cstdlib>
#include <vector>

#include "host/command_line.hpp"

namespace host {

namespace {

std::vector<Text> arguments;

}  // namespace

void remember_arguments(int argc, char** argv) {
    arguments.clear();
    for (int i = 0; i < argc; ++i) arguments.push_back(from_utf8(argv[i]));
}

Text program_parameter(int index) {
    std::size_t position = static_cast<std::size_t>(index) + 1;
    if (index < 0 || position >= arguments.size()) return {};
    Text parameter;
    for (char16_t unit : arguments[position])
        if (unit != u'"') parameter.push_back(unit);
    return parameter;
}

Text program_file_name() {
#if defined(__APPLE__)
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string path(size, '\0');
    if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) return from_utf8(resolved);
    return from_utf8(path);
#else
    std::string path(PATH_MAX, '\0');
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) return {};
    path.resize(static_cast<std::size_t>(length));
    return from_utf8(path);
#endif
}

}  // namespace host
