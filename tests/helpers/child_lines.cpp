// Stand-in tool that misbehaves on request. Each argument is one action, done in order:
//   out:TEXT    write TEXT to standard output (\r, \n and \\ in TEXT stand for CR, LF and \)
//   err:TEXT    the same on standard error
//   lines:N     write N lines "line K" ending in CR LF to standard output
//   bytes:N     write N bytes to standard output, in lines of 63 letters and a LF
//   sleep:MS    sleep MS milliseconds
//   touch:PATH  create the file PATH
//   signal:N    raise signal N
//   exit:N      end with exit code N
// Without an exit action it ends with code 0.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        out += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
    }
    return out;
}

void write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0) std::exit(3);
        done += static_cast<std::size_t>(wrote);
    }
}

void write_lines(long count) {
    std::string block;
    for (long k = 1; k <= count; ++k) block += "line " + std::to_string(k) + "\r\n";
    write_all(STDOUT_FILENO, block);
}

void write_bytes(long count) {
    std::string line(63, 'x');
    line += '\n';
    std::string block;
    while (block.size() < 65536) block += line;
    while (count > 0) {
        std::size_t part =
            count < static_cast<long>(block.size()) ? static_cast<std::size_t>(count) : block.size();
        write_all(STDOUT_FILENO, block.substr(0, part));
        count -= static_cast<long>(part);
    }
}

void touch(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr || std::fclose(file) != 0) std::exit(4);
}

void act(const std::string& action) {
    std::size_t colon = action.find(':');
    std::string verb = action.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : action.substr(colon + 1);
    long number = std::atol(value.c_str());
    if (verb == "out") write_all(STDOUT_FILENO, unescape(value));
    if (verb == "err") write_all(STDERR_FILENO, unescape(value));
    if (verb == "lines") write_lines(number);
    if (verb == "bytes") write_bytes(number);
    if (verb == "sleep") std::this_thread::sleep_for(std::chrono::milliseconds(number));
    if (verb == "touch") touch(value);
    if (verb == "signal") raise(static_cast<int>(number));
    if (verb == "exit") std::exit(static_cast<int>(number));
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) act(argv[i]);
    return 0;
}
