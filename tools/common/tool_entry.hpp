// The entry point of each command-line tool. The host's `main` (tool_entry_<host>.cpp) turns
// the command line into UTF-8 texts and hands them to `run_tool`, which each tool defines.
#pragma once

#include <string>
#include <vector>

namespace tools {

// Runs the tool with its arguments (without the program name), all UTF-8. Returns the exit code.
int run_tool(const std::vector<std::string>& arguments);

}  // namespace tools
