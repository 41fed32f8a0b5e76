#include "transcript.h"

#include <iostream>

std::string transcriptText(const std::string& line) {
    if (line.empty() || line[0] != '<') {
        return line;
    }
    std::string shown;
    std::size_t start = 0;
    std::size_t location = line.find('\n');
    while (location != std::string::npos && location > start) {
        if (start > 0) {
            shown += "< ";
        }
        shown.append(line, start, location + 1 - start);
        start = location + 1;
        location = line.find('\n', start);
    }
    const std::size_t skipped = location == std::string::npos ? start : location + 1;
    if (skipped < line.size()) {
        shown += "< " + line.substr(start) + "\n";
    }
    return shown;
}

void Transcript::command(const std::string& line) const {
    show("> " + line + "\n");
}

void Transcript::reply(const std::string& reply) const {
    show(transcriptText("< " + reply));
}

void Transcript::step(const std::string& line) const {
    show("* " + line + "\n");
}

void Transcript::show(const std::string& text) const {
    if (shown) {
        *out << text << std::flush;
    }
}
