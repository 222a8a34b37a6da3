#include "tool_entry.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return tools::run_tool(arguments);
}
