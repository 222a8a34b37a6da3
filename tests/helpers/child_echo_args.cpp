// Stand-in tool that records the argument vector it received: every argument, argv[0] included,
// each followed by a zero byte, written to the file named by CHILD_ECHO_FILE, or to standard
// output when that is not set. Exits with code 0.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* target = std::getenv("CHILD_ECHO_FILE");
    std::FILE* out = target != nullptr ? std::fopen(target, "wb") : stdout;
    if (out == nullptr) return 2;
    for (int i = 0; i < argc; ++i) {
        std::fputs(argv[i], out);
        std::fputc('\0', out);
    }
    return std::fclose(out) == 0 ? 0 : 2;
}
