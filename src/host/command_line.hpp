// The program's command line, its own location, and the parts of a path.
#pragma once

#include <vector>

#include "host/text.hpp"

namespace host {

// The index-th parameter after the program's own name (0 is the first), with every double
// quote removed; the empty text when there is no such parameter.
Text program_parameter(int index);

// Keeps the argument vector for program_parameter on hosts that start programs with one.
// Called once by the entry point; ignored where the command line is read whole.
void remember_arguments(int argc, char** argv);

// The full path of the program's own executable file.
Text program_file_name();

// The directory that holds the program's executable file, ending in a separator. Unlike
// path_part, it takes the folder names as they are: a "|" in them is an ordinary character.
Text program_directory();

// The directory part of a path, up to and including its last "\" or "/"; empty when there is
// none. A leading double quote is skipped, and nothing after a "|" is looked at.
Text path_part(const Text& path);

// The part of a path after its last "\" or "/", up to the first double quote after it.
// A leading double quote is skipped.
Text file_part(const Text& path);

// Splits a whole command line the way the program reads its own: tokens separated by runs of
// spaces, quoted stretches kept together, every double quote removed from each token. The
// first token is the program's name.
std::vector<Text> split_command_line(const Text& line);

// Splits a command line into the argument vector a Windows C runtime program sees: spaces and
// tabs separate, double quotes group, and backslashes escape quotes (2n backslashes and a quote
// give n backslashes and open or close a quoted stretch; 2n+1 give n and a literal quote). The
// first word, the program, is taken up to the next space, or inside quotes without escapes.
std::vector<Text> split_like_c_runtime(const Text& line);

}  // namespace host
