// The coloured progress report on the console, and the end of the run.
#pragma once

#include "host/text.hpp"

namespace host {

// Attaches to the console the program was started in and installs the console event handler:
// when the console goes away (the window is closed; on POSIX, SIGHUP) the handler runs end_run
// and lets the system end the process; an interrupt key ends the process at once. Returns 1.
int open_console();

// Colour numbers 0 to 15: bit 0 blue, bit 1 green, bit 2 red, bit 3 intensity. A number of 16
// or more in either place changes nothing. 7/0 is the console's usual colouring.
void set_colour(int foreground, int background);

// Writes the text and a line end, then flushes.
void print_line(const Text& text);

// Writes the text with no line end and without flushing.
void print_text(const Text& text);

// Writes one line to standard error, where the program reports what went wrong.
void print_error_line(const Text& text);

// Sleeps for the given number of milliseconds.
void pause(int milliseconds);

// True when standard output is a terminal or a console window, where a person may be reading
// the report; false for a file or a pipe.
bool output_is_console();

// Closes every open numbered file (writing out buffered data first).
// Every orderly end of the process passes through here.
void end_run();

}  // namespace host
