#include "utf8check.h"

void Utf8Check::feed(const char* begin, const char* end) {
    for (; begin != end && !broken; ++begin) {
        const auto byte = static_cast<unsigned char>(*begin);
        if (needed > 0) {
            continueSequence(byte);
        } else if (byte >= 0x80U) {
            startSequence(byte);
        }
    }
}

void Utf8Check::finish() {
    broken = broken || needed > 0;
    needed = 0;
}

void Utf8Check::startSequence(unsigned char lead) {
    if ((lead & 0xE0U) == 0xC0U) {
        needed = 1, lowest = 0x80, value = lead & 0x1FU;
    } else if ((lead & 0xF0U) == 0xE0U) {
        needed = 2, lowest = 0x800, value = lead & 0x0FU;
    } else if ((lead & 0xF8U) == 0xF0U) {
        needed = 3, lowest = 0x10000, value = lead & 0x07U;
    } else {
        broken = true;
    }
}

void Utf8Check::continueSequence(unsigned char byte) {
    if ((byte & 0xC0U) != 0x80U) {
        broken = true;
        return;
    }
    value = (value << 6) | (byte & 0x3FU);
    if (--needed == 0) {
        const bool surrogate = value >= 0xD800 && value <= 0xDFFF;
        broken = value < lowest || value > 0x10FFFF || surrogate;
    }
}
