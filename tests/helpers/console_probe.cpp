// Drives the console layer for the console tests.
//   console_probe colours          prints lines in a few colours, one of them out of range
//   console_probe hangup FILE      writes 100 bytes to FILE through the file layer (they stay in
//                                  its buffer), says "ready" and waits to be signalled
#include <unistd.h>

#include <cstring>

#include "host/console.hpp"
#include "host/files.hpp"
#include "host/text.hpp"

int main(int argc, char** argv) {
    host::open_console();
    if (argc >= 2 && std::strcmp(argv[1], "colours") == 0) {
        host::set_colour(15, 0);
        host::print_line(u"white");
        host::set_colour(16, 0);
        host::print_text(u"still white");
        host::set_colour(10, 0);
        host::print_line(u" green");
        host::set_colour(7, 0);
        host::print_line(u"");
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "hangup") == 0) {
        host::create_file(3, host::from_utf8(argv[2]));
        for (int i = 0; i < 100; ++i) host::write_byte(3, 'x');
        host::print_line(u"ready");
        sleep(30);
        return 0;
    }
    return 2;
}
