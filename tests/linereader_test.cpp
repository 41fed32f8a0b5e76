// Reading a file into lines: LF ends a line, a CR right before it goes.
#include "emailtestaccess.h"
#include "process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

struct ReadCase {
    std::string bytes;
    StringList lines;
};

std::string operator""_b(const char* text, std::size_t length) {
    return std::string(text, length);
}

const std::string longRun(65535, 'x');

TEST(LineReader, AppendsTheFileLinesToTheList) {
    const ReadCase cases[] = {
        {"", {}},
        {"a\nb", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"\n", {""}},
        {"a\n\n", {"a", ""}},
        {"\r\n", {""}},
        {"\n\n\n", {"", "", ""}},
        {"a\r\n", {"a"}},
        {"a\r\r\n", {"a\r"}},
        {"a\rb\n", {"a\rb"}},
        {"a\r", {"a\r"}},
        {"\r", {"\r"}},
        {"\xff\n\xff"_b, {"\xff", "\xff"}},
        {"a\0b\n\0"_b, {"a\0b"_b, "\0"_b}},
        // Line ends that straddle the 64 KiB read blocks.
        {longRun + "\r\ny", {longRun, "y"}},
        {longRun + "x\nz\r", {longRun + "x", "z\r"}},
        {longRun + "\r", {longRun + "\r"}},
        {std::string(200000, 'q') + "\r\n\r\n", {std::string(200000, 'q'), ""}}};
    TempDir dir;
    const Email job;
    for (const ReadCase& c : cases) {
        const std::string path = dir.write("in.txt", c.bytes);
        StringList lines{"before"};
        ASSERT_EQ(EmailTestAccess::readFileToVector(job, path, lines), 1);
        StringList expected{"before"};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        EXPECT_EQ(lines, expected) << testing::PrintToString(c.bytes.substr(0, 40));
    }
}

TEST(LineReader, SecondFileGoesAfterTheFirst) {
    TempDir dir;
    const Email job;
    StringList lines;
    EXPECT_EQ(EmailTestAccess::readFileToVector(job, dir.write("1", "a\r\nb"), lines), 1);
    EXPECT_EQ(EmailTestAccess::readFileToVector(job, dir.write("2", "c\n"), lines), 1);
    EXPECT_EQ(lines, (StringList{"a", "b", "c"}));
}

TEST(LineReader, UnreadablePathFailsAndLeavesTheList) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    const Email job;
    for (const std::string& path : {dir.file("missing"), dir.file("sub"), dir.path()}) {
        StringList lines{"kept"};
        EXPECT_EQ(EmailTestAccess::readFileToVector(job, path, lines), 0) << path;
        EXPECT_EQ(lines, StringList{"kept"}) << path;
    }
}

} // namespace
