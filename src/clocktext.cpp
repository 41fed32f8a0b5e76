#include "clocktext.h"

#include <sys/time.h>

#include <cstdlib>

namespace {

std::tm localTime(std::time_t when) {
    std::tm broken{};
    localtime_r(&when, &broken);
    return broken;
}

std::string twoDigits(int value) {
    std::string digits = std::to_string(std::labs(value));
    if (digits.size() < 2) {
        digits.insert(0, 2 - digits.size(), '0');
    }
    return digits;
}

} // namespace

long microsecondsNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<long>(now.tv_usec);
}

// tm_gmtoff is the offset in force at that very instant, so summer time is
// included exactly when it applies. The process keeps the "C" locale.
std::string formatEmailDate(std::time_t when) {
    const std::tm local = localTime(when);
    char buffer[50];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %X ", &local);
    const long offsetSecs = local.tm_gmtoff;
    return std::string(buffer, length) + formatZoneOffset(static_cast<int>(offsetSecs / 3600),
                                                          static_cast<int>(offsetSecs % 3600 / 60));
}

std::string formatZoneOffset(int hours, int minutes) {
    const char sign = hours < 0 || minutes < 0 ? '-' : '+';
    return sign + twoDigits(hours) + twoDigits(minutes);
}

std::string messageIdPrefix() {
    const std::tm local = localTime(std::time(nullptr));
    char digits[15];
    const std::size_t length = std::strftime(digits, sizeof digits, "%Y%m%d%H%M%S", &local);
    return std::string(digits, length) + std::to_string(microsecondsNow());
}

std::string messageFileName() {
    return std::to_string(microsecondsNow()) + ".msg";
}
