#include "smtpreply.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string upperCase(std::string word) {
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return word;
}

// The keyword of one EHLO reply line, or nothing for a line that is not one.
std::string keywordOf(const std::string& line) {
    const bool keywordLine =
        line.size() > 4 && line.compare(0, 3, "250") == 0 && (line[3] == '-' || line[3] == ' ');
    return keywordLine ? upperCase(line.substr(4, line.find_first_of(" \r", 4) - 4)) : "";
}

// The line of reply that offers keyword, or nothing.
std::string keywordLine(const std::string& reply, const std::string& keyword) {
    std::size_t start = 0;
    while (start < reply.size()) {
        std::size_t end = reply.find('\n', start);
        end = end == std::string::npos ? reply.size() : end;
        std::string line = reply.substr(start, end - start);
        if (keywordOf(line) == keyword) {
            return line;
        }
        start = end + 1;
    }
    return "";
}

} // namespace

bool replyIs(const std::string& reply, const char* code) {
    return reply.size() >= 3 && reply.compare(0, 3, code) == 0;
}

bool offersKeyword(const std::string& reply, const std::string& keyword) {
    return !keywordLine(reply, keyword).empty();
}

// strtoull gives 0 without a number, and for one too large its maximum: no limit either way.
std::uint64_t sizeLimit(const std::string& reply) {
    const std::string line = keywordLine(reply, "SIZE");
    const std::uint64_t limit = line.size() > 8 ? std::strtoull(line.c_str() + 8, nullptr, 10) : 0;
    return limit == 0 ? UINT64_MAX : limit;
}

// Only the last line is looked at, so the check costs nothing like a rescan of the whole reply.
bool isCompleteReply(const std::string& reply) {
    if (reply.empty() || reply.back() != '\n') {
        return false;
    }
    const std::size_t finalLf = reply.size() - 1;
    const std::size_t previousLf =
        finalLf == 0 ? std::string::npos : reply.rfind('\n', finalLf - 1);
    const std::size_t start = previousLf == std::string::npos ? 0 : previousLf + 1;
    const bool continued = finalLf - start >= 4 && isDigit(reply[start]) &&
                           isDigit(reply[start + 1]) && isDigit(reply[start + 2]) &&
                           reply[start + 3] == '-';
    return !continued;
}

std::size_t firstReplyLength(const std::string& text) {
    std::size_t start = 0;
    for (std::size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
        if (isCompleteReply(text.substr(start, lf + 1 - start))) {
            return lf + 1;
        }
    }
    return text.size();
}
