#include "headertext.h"

#include "base64.h"
#include "utf8check.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// Bytes of text per encoded word: "Subject: =?UNKNOWN-8BIT?B?" + 40 + "?=" stays
// well below 78 characters.
constexpr std::size_t encodedWordBytes = 30;
// Characters of percent-encoded value per RFC 2231 section line.
constexpr std::size_t sectionChars = 60;

bool isContinuationByte(unsigned char byte) {
    return (byte & 0xC0U) == 0x80U;
}

// Where a piece of at most limit bytes from start may end without cutting a
// UTF-8 sequence in two (any place will do for text that is not UTF-8).
std::size_t pieceEnd(const std::string& text, std::size_t start, std::size_t limit, bool utf8) {
    std::size_t end = std::min(text.size(), start + limit);
    while (utf8 && end < text.size() && end > start + 1 &&
           isContinuationByte(static_cast<unsigned char>(text[end]))) {
        --end;
    }
    return end;
}

std::string upperCharset(const std::string& text) {
    return isValidUtf8(text) ? "UTF-8" : "UNKNOWN-8BIT";
}

// RFC 2231 attribute-char: printable ASCII but space, "*", "'", "%" and tspecials.
bool isAttributeChar(unsigned char c) {
    return c > 0x20 && c < 0x7F && std::strchr("*'%()<>@,;:\\\"/[]?=", c) == nullptr;
}

std::string percentEncoded(const std::string& value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (isAttributeChar(byte)) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15U];
        }
    }
    return out;
}

// RFC 5322 3.2.3 dot-atom-text: atoms of atext joined by single dots.
bool isDotAtom(const std::string& text) {
    if (text.empty() || text.front() == '.' || text.back() == '.' ||
        text.find("..") != std::string::npos) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || isAtext(c); });
}

// What goes between the quotes as it stands: printable ASCII and space. A quote
// or backslash would end the value early or escape the next byte in a reader.
bool isQuotable(const std::string& value) {
    return std::all_of(value.begin(), value.end(),
                       [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
}

} // namespace

bool isAscii(const std::string& text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) > 0x7FU; });
}

bool isValidUtf8(const std::string& text) {
    Utf8Check check;
    check.feed(text.data(), text.data() + text.size());
    check.finish();
    return check.valid();
}

std::string charsetOf(const std::string& text) {
    return isValidUtf8(text) ? "utf-8" : "unknown-8bit";
}

bool isAtext(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           (c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

std::string subjectHeader(const std::string& text) {
    if (isAscii(text)) {
        return "Subject: " + text + "\r\n";
    }
    return "Subject:" + encodedWords(text) + "\r\n";
}

std::string encodedWords(const std::string& text) {
    const bool utf8 = isValidUtf8(text);
    const std::string charset = upperCharset(text);
    std::string header;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = pieceEnd(text, start, encodedWordBytes, utf8);
        if (start > 0) {
            header += "\r\n";
        }
        header += " =?" + charset + "?B?" + base64Encode(text.substr(start, end - start)) + "?=";
        start = end;
    }
    return header;
}

std::string parameterLines(const std::string& name, const std::string& value) {
    if (isQuotable(value)) {
        return "\t" + name + "=\"" + value + "\"\r\n";
    }
    const std::string encoded = upperCharset(value) + "''" + percentEncoded(value);
    if (encoded.size() <= sectionChars) {
        return "\t" + name + "*=" + encoded + "\r\n";
    }
    std::string lines;
    std::size_t section = 0;
    for (std::size_t start = 0; start < encoded.size(); ++section) {
        std::size_t end = std::min(encoded.size(), start + sectionChars);
        // A %XX triplet stays whole.
        const std::size_t percent = encoded.rfind('%', end - 1);
        if (end < encoded.size() && percent != std::string::npos && percent + 3 > end &&
            percent > start) {
            end = percent;
        }
        lines += "\t" + name + "*" + std::to_string(section) +
                 "*=" + encoded.substr(start, end - start) + (end < encoded.size() ? ";" : "") +
                 "\r\n";
        start = end;
    }
    return lines;
}

std::string messageId(const std::string& prefix, const std::string& sender,
                      const std::string& host) {
    std::string address = sender;
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>') {
        address = address.substr(1, address.size() - 2);
    }
    const std::size_t at = address.find('@');
    if (at != std::string::npos && address.find('@', at + 1) == std::string::npos &&
        isDotAtom(address.substr(0, at)) && isDotAtom(address.substr(at + 1))) {
        return "<" + prefix + "." + address + ">";
    }
    return "<" + prefix + "@" + (isDotAtom(host) ? host : std::string("localhost")) + ">";
}
