// The verbose transcript: what displayString puts on standard output.
#include "emailtestaccess.h"

#include <gtest/gtest.h>

namespace {

struct TranscriptCase {
    bool verbose;
    std::string line;
    std::string shown;
};

TEST(Transcript, DisplayStringPrefixesEveryReplyLine) {
    const TranscriptCase cases[] = {
        {false, "> QUIT\n", ""},
        {false, "< 250 ok\r\n", ""},
        {true, "", ""},
        {true, "* Sending data...\n", "* Sending data...\n"},
        {true, "> EHLO a\nb", "> EHLO a\nb"},
        {true, "< 250 ok\r\n", "< 250 ok\r\n"},
        {true, "< 250-a\r\n250-b\r\n250 c\r\n", "< 250-a\r\n< 250-b\r\n< 250 c\r\n"},
        // A last line without LF gets its own prefix and a newline.
        {true, "< 250-a\r\n250 b", "< 250-a\r\n< 250 b\n"},
        {true, "< 250 b", "< < 250 b\n"},
        // From an empty line on, the rest goes out in one piece.
        {true, "< 250-a\n\n250-b\n250 c\n", "< 250-a\n< \n250-b\n250 c\n\n"},
        {true, "< 250-a\n\nb", "< 250-a\n< \nb\n"},
        // A lone LF left at the end is not shown.
        {true, "< 250 a\n\n", "< 250 a\n"},
        {true, "<\n", "<\n"},
        {true, "<", "< <\n"}};
    for (const TranscriptCase& c : cases) {
        Email job;
        job.setVerbose(c.verbose);
        testing::internal::CaptureStdout();
        EmailTestAccess::displayString(job, c.line);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.shown)
            << "verbose " << c.verbose << ", line " << testing::PrintToString(c.line);
    }
}

} // namespace
