#include "wirelines.h"

#include <cstring>

WireLines::WireLines(std::size_t lineLimit) : limit(lineLimit) {}

void WireLines::appendLine(const std::string& line, std::string& out) {
    out += line;
    out += lineEnd;
}

// A line that ends in CR LF already has its wire form, so runs of such lines
// are copied in one piece; only a lone LF needs a CR put in front of it.
void WireLines::append(const char* data, std::size_t size, std::string& out) {
    const char* const end = data + size;
    const char* runStart = data;
    const char* next = data;
    while (next != end && !full()) {
        const auto* lf =
            static_cast<const char*>(std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
        if (lf == nullptr) {
            next = end;
            break;
        }
        const bool crBefore = lf == data ? afterCr : lf[-1] == '\r';
        if (!crBefore) {
            out.append(runStart, lf);
            out += lineEnd;
            runStart = lf + 1;
        }
        next = lf + 1;
        endLine();
    }
    out.append(runStart, next);
    if (next != data) {
        lineOpen = next[-1] != '\n';
        afterCr = next[-1] == '\r';
    }
}

void WireLines::finish(std::string& out) {
    if (lineOpen && !full()) {
        out += lineEnd;
        endLine();
    }
    lineOpen = false;
}

void WireLines::endLine() {
    ++done;
    lineOpen = false;
}
