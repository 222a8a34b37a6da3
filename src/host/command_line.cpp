#include "host/command_line.hpp"

#include "host/platform.hpp"

namespace host {

namespace {

bool is_separator(char16_t unit) {
    return unit == u'\\' || unit == u'/';
}

// A leading double quote of a path is not part of it.
std::size_t path_start(const Text& path) {
    return (!path.empty() && path[0] == u'"') ? 1 : 0;
}

// Reads one token of the program's own command line starting at position i (not a space).
Text next_token(const Text& line, std::size_t& i) {
    Text token;
    if (line[i] == u'"') {
        // A token that begins with a quote ends at the closing quote, space or not.
        std::size_t close = line.find(u'"', i + 1);
        std::size_t end = (close == Text::npos) ? line.size() : close;
        token = line.substr(i + 1, end - i - 1);
        i = (close == Text::npos) ? line.size() : close + 1;
        return token;
    }
    bool quoted = false;
    while (i < line.size() && (quoted || line[i] != u' ')) {
        if (line[i] == u'"')
            quoted = !quoted;
        else
            token.push_back(line[i]);
        ++i;
    }
    return token;
}

// Backslashes before a double quote escape it; elsewhere they are ordinary characters.
void take_backslashes(const Text& line, std::size_t& i, Text& word, bool& in_quotes) {
    std::size_t count = 0;
    while (i < line.size() && line[i] == u'\\') ++count, ++i;
    if (i < line.size() && line[i] == u'"') {
        word.append(count / 2, u'\\');
        if (count % 2 == 1) {
            word.push_back(u'"');
            ++i;
        } else {
            in_quotes = !in_quotes;
            ++i;
        }
    } else {
        word.append(count, u'\\');
    }
}

bool is_blank(char16_t unit) {
    return unit == u' ' || unit == u'\t';
}

Text runtime_program_word(const Text& line, std::size_t& i) {
    Text word;
    bool in_quotes = false;
    for (; i < line.size(); ++i) {
        if (line[i] == u'"') {
            in_quotes = !in_quotes;
            continue;
        }
        if (!in_quotes && is_blank(line[i])) break;
        word.push_back(line[i]);
    }
    return word;
}

Text runtime_word(const Text& line, std::size_t& i) {
    Text word;
    bool in_quotes = false;
    while (i < line.size() && (in_quotes || !is_blank(line[i]))) {
        if (line[i] == u'\\') {
            take_backslashes(line, i, word, in_quotes);
        } else if (line[i] == u'"') {
            // Inside quotes, a doubled quote stands for one literal quote.
            if (in_quotes && i + 1 < line.size() && line[i + 1] == u'"') {
                word.push_back(u'"');
                i += 2;
            } else {
                in_quotes = !in_quotes;
                ++i;
            }
        } else {
            word.push_back(line[i++]);
        }
    }
    return word;
}

}  // namespace

std::vector<Text> split_command_line(const Text& line) {
    std::vector<Text> tokens;
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && line[i] == u' ') ++i;
        if (i >= line.size()) break;
        tokens.push_back(next_token(line, i));
    }
    return tokens;
}

std::vector<Text> split_like_c_runtime(const Text& line) {
    std::vector<Text> words;
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size()) return words;
    words.push_back(runtime_program_word(line, i));
    while (true) {
        while (i < line.size() && is_blank(line[i])) ++i;
        if (i >= line.size()) break;
        words.push_back(runtime_word(line, i));
    }
    return words;
}

Text program_directory() {
    Text name = program_file_name();
    const char16_t* separators = host_kind == HostKind::windows ? u"\\/" : u"/";
    std::size_t last = name.find_last_of(separators);
    return last == Text::npos ? Text() : name.substr(0, last + 1);
}

Text path_part(const Text& path) {
    std::size_t start = path_start(path);
    std::size_t end = path.find(u'|', start);
    if (end == Text::npos) end = path.size();
    std::size_t last = Text::npos;
    for (std::size_t i = start; i < end; ++i)
        if (is_separator(path[i])) last = i;
    if (last == Text::npos) return {};
    return path.substr(start, last + 1 - start);
}

Text file_part(const Text& path) {
    std::size_t start = path_start(path);
    for (std::size_t i = start; i < path.size(); ++i)
        if (is_separator(path[i])) start = i + 1;
    std::size_t end = path.find(u'"', start);
    if (end == Text::npos) end = path.size();
    return path.substr(start, end - start);
}

}  // namespace host
