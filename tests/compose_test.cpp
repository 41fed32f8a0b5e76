// The message file writer: its layout byte for byte, text lines, attachments and
// what happens when one cannot be read.
#include "emailtestaccess.h"
#include "process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <regex>
#include <sstream>

namespace {

const std::string textPartHead = "Content-Type: text/plain;\r\n"
                                 "\tcharset=\"us-ascii\"\r\n"
                                 "Content-Transfer-Encoding: 7bit\r\n"
                                 "\n";
const std::string dataEnd = "\r\n.\r\n";

// A written file and the parts of it that come from the clock.
struct Written {
    int result = -1;
    std::string file;
    std::string idPrefix;
    std::string date;
    std::string boundary;
};

std::string capture(const std::string& text, const std::string& pattern) {
    std::smatch match;
    const std::string head = text.substr(0, 2000);
    return std::regex_search(head, match, std::regex(pattern)) ? match[1].str() : "";
}

Written writeMessage(Email& job, const std::string& path, const StringList& to,
                     const std::string& subject, const StringList& attachments,
                     const StringList& text) {
    Written written;
    written.result =
        EmailTestAccess::writeMailFile(job, path, "<ADDR>", to, subject, attachments, text);
    written.file = readWholeFile(path);
    written.idPrefix = capture(written.file, "^Message-Id: <([0-9]{14}(?:0|[1-9][0-9]{0,5}))<");
    written.date = capture(written.file, "\r\nDate: ((?:Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} "
                                         "(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                         "[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4})\r\n");
    written.boundary = capture(
        written.file, "\tBoundary=\"((?:0|[1-9][0-9]{0,5})boundary__giblets_and_gravy)\"\r\n");
    return written;
}

std::string mainHead(const Written& w, const std::string& to, const std::string& subject) {
    return "Message-Id: <" + w.idPrefix + "<ADDR>>\r\n" + "Date: " + w.date + "\r\n" +
           "From: <ADDR>\r\n" + "To: " + to + "\r\n" + "Subject: " + subject + "\r\n" +
           "MIME-Version: 1.0\r\n";
}

std::string multipartHead(const std::string& boundary) {
    return "Content-Type: multipart/mixed;\r\n\tBoundary=\"" + boundary + "\"\r\n" +
           "\nThis is a multi-part message in MIME format.\r\n\n--" + boundary + "\r\n";
}

std::string attachmentPart(const std::string& boundary, const std::string& type,
                           const std::string& name, const std::string& base64Lines) {
    return "--" + boundary + "\r\nContent-Type: " + type + ";\r\n\tname=\"" + name + "\"\r\n" +
           "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n" +
           "\tfilename=\"" + name + "\"\r\n\n" + base64Lines + "\n";
}

TEST(WriteMailFile, WorkedExampleByteForByte) {
    TempDir dir;
    const std::string attachment = dir.write("report.pdf", "abc");
    const std::string out = dir.write("1.msg", std::string(5000, 'z'));
    Email job;
    const Written w =
        writeMessage(job, out, {"<R1>", "<R2>"}, "Report", {attachment}, {"Hello", "", "Bye"});
    ASSERT_EQ(w.result, 0);
    ASSERT_NE(w.idPrefix, "");
    ASSERT_NE(w.date, "");
    ASSERT_NE(w.boundary, "");
    const std::string expected =
        mainHead(w, "<R1>, <R2>", "Report") + multipartHead(w.boundary) + textPartHead +
        "Hello\r\n\nBye\r\n\n" +
        attachmentPart(w.boundary, "application/pdf", "report.pdf", "YWJj\r\n") + "--" +
        w.boundary + "--\r\n" + dataEnd;
    EXPECT_EQ(w.file, expected);

    StringList lines;
    ASSERT_EQ(EmailTestAccess::readFileToVector(job, out, lines), 1);
    ASSERT_EQ(lines.size(), 32U);
    EXPECT_EQ(lines[7], "\tBoundary=\"" + w.boundary + "\"");
    EXPECT_EQ(lines[16], "Hello");
    EXPECT_EQ(lines[17], "");
    EXPECT_EQ(lines[27], "YWJj");
    EXPECT_EQ(lines[30], "");
    EXPECT_EQ(lines[31], ".");
}

struct LayoutCase {
    StringList to;
    std::string subject;
    StringList text;
    std::string toRow;
    std::string textBytes;
};

TEST(WriteMailFile, WholeFileWithoutAttachments) {
    const LayoutCase cases[] = {
        {{"<R1>"}, "Report", {}, "<R1>", ""},
        {{}, "", {"", "x", "xy"}, "", "\nx\nxy\r\n"},
        {{"<a>", "<b>", "<c>"}, "Re: x", {"Hello"}, "<a>, <b>, <c>", "Hello\r\n"},
        // Dot-stuffing, then the line end by the stuffed length.
        {{"<a>"}, "s", {".", "..", ".x", "x.", " ."}, "<a>", "..\r\n...\r\n..x\r\nx.\r\n .\r\n"},
        {{"<a>"},
         "s",
         {"a\n.b", "ab\n", "\n", "\n.\n"},
         "<a>",
         "a\n..b\r\nab\r\n\n\n\n\n..\r\n\n"}};
    TempDir dir;
    for (const LayoutCase& c : cases) {
        Email job;
        const Written w = writeMessage(job, dir.file("m.msg"), c.to, c.subject, {}, c.text);
        ASSERT_EQ(w.result, 0);
        EXPECT_EQ(w.file.find("boundary"), std::string::npos);
        EXPECT_EQ(w.file,
                  mainHead(w, c.toRow, c.subject) + textPartHead + c.textBytes + "\n" + dataEnd);
    }
}

TEST(WriteMailFile, EmptyAndUntypedAttachments) {
    TempDir dir;
    const std::string empty = dir.write("empty.txt", "");
    const std::string untyped = dir.write("data.zzz", std::string(58, 'a'));
    std::string base64;
    for (int i = 0; i < 19; ++i) {
        base64 += "YWFh";
    }
    base64 += "\r\nYQ==\r\n";
    Email job;
    const Written w = writeMessage(job, dir.file("m.msg"), {"<R1>"}, "S", {empty, untyped}, {"Hi"});
    ASSERT_EQ(w.result, 0);
    EXPECT_EQ(w.file,
              mainHead(w, "<R1>", "S") + multipartHead(w.boundary) + textPartHead + "Hi\r\n\n" +
                  attachmentPart(w.boundary, "text/plain", "empty.txt", "") +
                  attachmentPart(w.boundary, "application/octet-stream", "data.zzz", base64) +
                  "--" + w.boundary + "--\r\n" + dataEnd);
}

TEST(WriteMailFile, UnreadableAttachmentStopsTheFile) {
    TempDir dir;
    const std::string good = dir.write("good.bin", "abc");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    const StringList cases[] = {{dir.file("missing.pdf")},
                                {dir.file("sub")},
                                {good, dir.file("sub")},
                                {good, dir.file("missing"), good}};
    for (const StringList& attachments : cases) {
        Email job;
        const std::string bad = attachments.size() == 1 ? attachments[0] : attachments[1];
        const Written w = writeMessage(job, dir.file("m.msg"), {"<R1>"}, "S", attachments, {});
        EXPECT_EQ(w.result, EmailTestAccess::attachmentUnreadable) << bad;
        EXPECT_EQ(EmailTestAccess::unreadableAttachment(job), bad);
        EXPECT_EQ(w.file.find(dataEnd), std::string::npos) << bad;

        const Written again = writeMessage(job, dir.file("m.msg"), {"<R1>"}, "S", {good}, {});
        EXPECT_EQ(again.result, 0);
        EXPECT_EQ(EmailTestAccess::unreadableAttachment(job), "");
    }
}

TEST(WriteMailFile, FileThatCannotBeCreated) {
    TempDir dir;
    Email job;
    EXPECT_EQ(
        EmailTestAccess::writeMailFile(job, dir.file("none/m.msg"), "<a>", {"<b>"}, "s", {}, {"x"}),
        1);
    EXPECT_TRUE(dir.entries().empty());
}

struct ParsedPart {
    std::string type;
    std::string name;
    std::string hex;
    int defects;
};

std::string toHex(const std::string& bytes) {
    if (bytes.empty()) {
        return "-";
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

TEST(WriteMailFile, PythonEmailPackageReadsTheParts) {
    TempDir dir;
    std::mt19937 engine(7);
    std::string binary(10 * 1024, '\0');
    for (char& b : binary) {
        b = static_cast<char>(engine() & 0xff);
    }
    const std::string pdf = "%PDF-1.4\n\xe2\xe3\xcf\xd3\n%%EOF\n";
    const StringList attachments = {dir.write("blob.raw", binary), dir.write("empty.dat", ""),
                                    dir.write("doc.pdf", pdf)};
    Email job;
    const std::string path = dir.file("m.msg");
    ASSERT_EQ(EmailTestAccess::writeMailFile(job, path, "<a@x>", {"<b@y>"}, "S", attachments,
                                             {"Hello", ".dot"}),
              0);
    const RunResult run =
        runProgram({BRENVOX_PYTHON, std::string(BRENVOX_TEST_DIR) + "/parse_message.py", path});
    ASSERT_EQ(run.status, 0) << run.err;

    std::istringstream lines(run.out);
    std::vector<ParsedPart> parts;
    ParsedPart part;
    while (lines >> part.type >> part.name >> part.hex >> part.defects) {
        parts.push_back(part);
    }
    ASSERT_EQ(parts.size(), 5U) << run.out;
    const ParsedPart expected[] = {{"multipart/mixed", "-", "-", 0},
                                   // The parser hands text over with LF line ends.
                                   {"text/plain", "-", toHex("Hello\n..dot\n"), 0},
                                   {"application/octet-stream", "blob.raw", toHex(binary), 0},
                                   {"application/octet-stream", "empty.dat", "-", 0},
                                   {"application/pdf", "doc.pdf", toHex(pdf), 0}};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].type, expected[i].type) << i;
        EXPECT_EQ(parts[i].name, expected[i].name) << i;
        EXPECT_EQ(parts[i].hex, expected[i].hex) << i;
        EXPECT_EQ(parts[i].defects, expected[i].defects) << i;
    }
}

} // namespace
