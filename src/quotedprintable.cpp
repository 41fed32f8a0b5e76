#include "quotedprintable.h"

#include <cstring>

namespace {

// Room for the "=" of a soft break after the last character.
constexpr std::size_t lineChars = 75;

// Printable ASCII but "=" stands for itself; every other byte (controls, CR and
// DEL included) is written =XX.
bool isLiteral(unsigned char byte) {
    return byte > 0x20 && byte < 0x7F && byte != '=';
}

} // namespace

void QuotedPrintableWriter::piece(const char* begin, const char* end) {
    for (; begin != end; ++begin) {
        const auto byte = static_cast<unsigned char>(*begin);
        if (heldBlank != -1) {
            put(static_cast<unsigned char>(heldBlank), true);
            heldBlank = -1;
        }
        if (byte == ' ' || byte == '\t') {
            heldBlank = byte;
        } else {
            put(byte, isLiteral(byte));
        }
    }
}

void QuotedPrintableWriter::lineEnd() {
    if (heldBlank != -1) {
        put(static_cast<unsigned char>(heldBlank), false);
        heldBlank = -1;
    }
    append("\r\n", 2);
    column = 0;
}

void QuotedPrintableWriter::flush() {
    std::fwrite(buffer, 1, used, out);
    used = 0;
}

void QuotedPrintableWriter::put(unsigned char byte, bool literal) {
    if (column + (literal ? 1 : 3) > lineChars) {
        append("=\r\n", 3);
        column = 0;
    }
    if (literal && !(byte == '.' && column == 0)) {
        const char c = static_cast<char>(byte);
        append(&c, 1);
        column += 1;
        return;
    }
    static const char hex[] = "0123456789ABCDEF";
    const char triplet[] = {'=', hex[byte >> 4], hex[byte & 15U]};
    append(triplet, sizeof triplet);
    column += 3;
}

void QuotedPrintableWriter::append(const char* text, std::size_t size) {
    if (used + size > sizeof buffer) {
        flush();
    }
    std::memcpy(buffer + used, text, size);
    used += size;
}
