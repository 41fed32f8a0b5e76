#include "updater.h"

#include <iostream>
#include <string>

namespace {

constexpr std::size_t repeatBufferSize = 4096;

} // namespace

Updater::Updater() : Updater(std::cout) {}

Updater::Updater(std::ostream& stream) : out(&stream) {}

void Updater::update(const int& val) const {
    // The carriage return lets the next value overwrite this one in place.
    *out << val << "%\r";
    *out << (val == 100 ? "\n" : "") << std::flush;
}

void Updater::update(const int& val, std::size_t times) const {
    if (val == 100) {
        // Ends the line and flushes each time; never more than once in a transfer.
        for (std::size_t i = 0; i < times; ++i) {
            update(val);
        }
        return;
    }
    const std::string text = std::to_string(val) + "%\r";
    const std::size_t perBuffer = repeatBufferSize / text.size();
    std::string repeated;
    repeated.reserve(perBuffer * text.size());
    for (std::size_t i = 0; i < perBuffer && i < times; ++i) {
        repeated += text;
    }
    for (std::size_t left = times; left > 0;) {
        const std::size_t now = left < perBuffer ? left : perBuffer;
        out->write(repeated.data(), static_cast<std::streamsize>(now * text.size()));
        left -= now;
    }
    // Flushed once per value, so a pipe or log shows it while the transfer runs.
    out->flush();
}
