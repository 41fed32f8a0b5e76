// Date header text, zone offsets, message-ID prefixes and message file names.
#include "emailtestaccess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

namespace {

// Sets TZ for one test and puts the former value back.
class ZoneGuard {
  public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            hadZone = true;
            oldZone = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (hadZone) {
            setenv("TZ", oldZone.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

  private:
    bool hadZone = false;
    std::string oldZone;
};

struct PadCase {
    int hour;
    int min;
    const char* text;
};

TEST(ZoneOffset, PadItSignsTheWholeOffset) {
    const PadCase cases[] = {{0, 0, "+0000"},   {1, 0, "+0100"},    {-5, 0, "-0500"},
                             {5, 30, "+0530"},  {-3, -30, "-0330"}, {0, -30, "-0030"},
                             {0, 30, "+0030"},  {5, 45, "+0545"},   {14, 0, "+1400"},
                             {-12, 0, "-1200"}, {-9, -30, "-0930"}};
    const Email job;
    for (const PadCase& c : cases) {
        EXPECT_EQ(EmailTestAccess::padIt(job, c.hour, c.min), c.text) << c.hour << " " << c.min;
    }
}

struct DateCase {
    const char* zone;
    std::time_t when;
    const char* text;
};

constexpr std::time_t winter = 1796463950; // 2026-12-05 09:45:50 UTC
constexpr std::time_t summer = 1783244750; // 2026-07-05 09:45:50 UTC

TEST(DateText, LocalTimeAndTheOffsetInForce) {
    const DateCase cases[] = {
        {"UTC0", winter, "Sat, 05 Dec 2026 09:45:50 +0000"},
        {"America/New_York", winter, "Sat, 05 Dec 2026 04:45:50 -0500"},
        {"America/New_York", summer, "Sun, 05 Jul 2026 05:45:50 -0400"},
        {"Asia/Kolkata", winter, "Sat, 05 Dec 2026 15:15:50 +0530"},
        {"America/St_Johns", winter, "Sat, 05 Dec 2026 06:15:50 -0330"},
        {"America/St_Johns", summer, "Sun, 05 Jul 2026 07:15:50 -0230"},
        {"XXX0:30", winter, "Sat, 05 Dec 2026 09:15:50 -0030"},
        {"XXX-0:30", winter, "Sat, 05 Dec 2026 10:15:50 +0030"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", winter, "Sat, 05 Dec 2026 10:45:50 +0100"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", summer, "Sun, 05 Jul 2026 11:45:50 +0200"}};
    const Email job;
    for (const DateCase& c : cases) {
        const ZoneGuard zone(c.zone);
        EXPECT_EQ(EmailTestAccess::formatEmailDate(job, c.when), c.text) << c.zone;
    }
}

TEST(DateText, GetEmailDateIsTheCurrentInstant) {
    const ZoneGuard zone("America/St_Johns");
    Email job;
    const std::time_t before = std::time(nullptr);
    const std::string text = EmailTestAccess::getEmailDate(job);
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(text == EmailTestAccess::formatEmailDate(job, before) ||
                text == EmailTestAccess::formatEmailDate(job, after))
        << text;
}

// The local date digits of an instant, for comparing with the ID prefix.
std::string dateDigits(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char digits[15];
    return std::string(digits, std::strftime(digits, sizeof digits, "%Y%m%d%H%M%S", &local));
}

TEST(ClockNames, MessageIdPrefixIsLocalTimeThenMicroseconds) {
    const ZoneGuard zone("Asia/Kolkata");
    const Email job;
    for (int i = 0; i < 50; ++i) {
        const std::time_t before = std::time(nullptr);
        const std::string prefix = EmailTestAccess::getMessageIDPrefix(job);
        const std::time_t after = std::time(nullptr);
        ASSERT_TRUE(std::regex_match(prefix, std::regex("[0-9]{14}(0|[1-9][0-9]{0,5})"))) << prefix;
        const std::string digits = prefix.substr(0, 14);
        EXPECT_TRUE(digits == dateDigits(before) || digits == dateDigits(after)) << prefix;
    }
}

TEST(ClockNames, FileNameIsMicrosecondsDotMsg) {
    Email job;
    for (int i = 0; i < 50; ++i) {
        const std::string name = EmailTestAccess::generateFileName(job);
        EXPECT_TRUE(std::regex_match(name, std::regex("(0|[1-9][0-9]{0,5})\\.msg"))) << name;
    }
}

} // namespace
