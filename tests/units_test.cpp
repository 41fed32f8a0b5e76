// Tables for the pure helpers, for the edge cases a whole run cannot reach cheaply.
#include "addresslist.h"
#include "base64.h"
#include "bodytext.h"
#include "clocktext.h"
#include "headertext.h"
#include "linesplitter.h"
#include "mimetypes.h"
#include "process.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <tuple>

namespace {

using Pair = std::pair<std::string, std::string>;
using Triple = std::tuple<std::string, std::string, std::string>;

TEST(Units, AddressListBracketsEveryCommaItem) {
    const std::pair<const char*, StringList> rows[] = {
        {" a@b , c", {"<a@b>", "<c>"}}, {"a,,b,", {"<a>", "<>", "<b>"}}, {"  ", {"<>"}}, {"", {}}};
    for (const auto& [text, items] : rows) {
        EXPECT_EQ(parseAddressList(text), items) << "[" << text << "]";
    }
}

TEST(Units, TranscriptPrefixesEveryReplyLine) {
    const Pair rows[] = {{"< 250-a\r\n250 b", "< 250-a\r\n< 250 b\n"},
                         {"< 250 b", "< < 250 b\n"},
                         {"< 250-a\n\n250-b\n250 c\n", "< 250-a\n< \n250-b\n250 c\n\n"},
                         {"< 250 a\n\n", "< 250 a\n"}};
    for (const auto& [line, shown] : rows) {
        EXPECT_EQ(transcriptText(line), shown) << testing::PrintToString(line);
    }
}

// The same lines whether the text comes whole or a byte at a time.
TEST(Units, LineRuleDropsOnlyTheCrBeforeLf) {
    const std::pair<std::string, StringList> rows[] = {{"a\r\nb\nc", {"a", "b", "c"}},
                                                       {"a\r\r\n\n", {"a\r", ""}},
                                                       {"x\r", {"x\r"}},
                                                       {"\r\n", {""}},
                                                       {"a\rb\r", {"a\rb\r"}}};
    for (const auto& [text, lines] : rows) {
        StringList bytewise;
        LineCollector collector(bytewise);
        LineSplitter splitter;
        for (const char& c : text) {
            splitter.feed(&c, 1, collector);
        }
        splitter.finish(collector);
        EXPECT_EQ(bytewise, lines) << testing::PrintToString(text);
        EXPECT_EQ(splitLines(text), lines) << testing::PrintToString(text);
    }
}

// Around the encoder's block of 1024 lines: each 57-byte slice is one line of its own.
TEST(Units, Base64FileLinesAcrossBlocks) {
    for (const std::size_t size : {std::size_t{57 * 1024}, std::size_t{2 * 57 * 1024 + 100}}) {
        std::string bytes(size, '\0'), expected;
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>(i * 7 + i / 251);
        }
        for (std::size_t at = 0; at < size; at += 57) {
            expected += base64Encode(bytes.substr(at, 57)) + "\r\n";
        }
        const TempDir dir;
        std::FILE* out = std::tmpfile();
        EXPECT_EQ(Base64FileEncoder().encode(dir.write("in", bytes), out),
                  Base64FileEncoder::Result::done);
        std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
        std::rewind(out);
        EXPECT_EQ(std::fread(&text[0], 1, text.size(), out), text.size());
        std::fclose(out);
        EXPECT_EQ(text, expected) << size;
    }
}

// 7bit up to 998 octets a line; else quoted-printable, its lines at most 76 characters, none
// beginning with "."; the charset judged up to the last sequence.
TEST(Units, TextPartEncoding) {
    using namespace std::string_literals;
    std::string dots;
    for (int line = 0; line < 13; ++line) {
        dots += "=2E" + std::string(72, '.') + "=\r\n";
    }
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {std::string(998, 'x') + "\r\n.", "7bit us-ascii", std::string(998, 'x') + "\r\n..\r\n"},
        {std::string(999, '.'), "quoted-printable us-ascii",
         dots + "=2E" + std::string(49, '.') + "\r\n"},
        {std::string(74, 'x') + "\xc3\xa9 \t\n=\0\r\x7f\n\xc3"s, "quoted-printable unknown-8bit",
         std::string(74, 'x') + "=\r\n=C3=A9 =09\r\n=3D=00=0D=7F\r\n=C3\r\n"}};
    for (const auto& [text, encoding, written] : rows) {
        BodyText body;
        body.addText(text);
        char* bytes = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&bytes, &size);
        EXPECT_TRUE(body.write(out));
        std::fclose(out);
        EXPECT_EQ(body.transferEncoding() + " " + body.charset(), encoding);
        EXPECT_EQ(std::string(bytes, size), written);
        std::free(bytes);
    }
}

TEST(Units, DateCarriesTheOffsetInForceAtThatInstant) {
    const std::time_t winter = 1796463950, summer = 1783244750; // 09:45:50 UTC
    const std::tuple<const char*, std::time_t, const char*> rows[] = {
        {"America/New_York", winter, "Sat, 05 Dec 2026 04:45:50 -0500"},
        {"America/New_York", summer, "Sun, 05 Jul 2026 05:45:50 -0400"},
        {"Asia/Kolkata", winter, "Sat, 05 Dec 2026 15:15:50 +0530"},
        {"America/St_Johns", summer, "Sun, 05 Jul 2026 07:15:50 -0230"},
        {"XXX0:30", winter, "Sat, 05 Dec 2026 09:15:50 -0030"},
        {"XXX-0:30", winter, "Sat, 05 Dec 2026 10:15:50 +0030"}};
    for (const auto& [zone, when, text] : rows) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(formatEmailDate(when), text) << zone;
    }
    unsetenv("TZ");
    tzset();
}

TEST(Units, TypeLookupFirstRowWinsAndCaseCounts) {
    const Pair rows[] = {{".dxf", "application/dxf"},          {".p7c", "application/pkcs7-mime"},
                         {".wrl", "application/x-world"},      {".x-png", "image/png"},
                         {".JPG", "application/octet-stream"}, {"", "application/octet-stream"}};
    for (const auto& [extension, type] : rows) {
        EXPECT_EQ(mimeTypeFor(extension), type) << extension;
    }
    const Triple names[] = {{"C:\\d\\p.jpg", "p.jpg", ".jpg"},
                            {"a\\b/c.txt", "b/c.txt", ".txt"},
                            {"/x/.profile", ".profile", ""},
                            {"file.", "file.", "."},
                            {"a.tar.gz", "a.tar.gz", ".gz"}};
    for (const auto& [path, name, extension] : names) {
        EXPECT_EQ(fileNameOf(path), name) << path;
        EXPECT_EQ(extensionOf(name), extension) << path;
    }
}

TEST(Units, MessageIdIsAlwaysAValidMsgId) {
    const Triple rows[] = {{"<\"q\"@c.org>", "h.org", "<P@h.org>"},
                           {"<a@b@c>", "h", "<P@h>"},
                           {"<a..b@c>", "h", "<P@h>"},
                           {"<>", "bad host", "<P@localhost>"}};
    for (const auto& [sender, host, id] : rows) {
        EXPECT_EQ(messageId("P", sender, host), id) << sender;
    }
}

// Header values: no UTF-8 sequence cut, the charset judged up to the last one, names with a
// quote or a control percent-encoded; long ones: every line below 78 characters, no %XX cut.
TEST(Units, NonAsciiHeadersFoldBelow78) {
    const Pair headers[] = {
        {subjectHeader("\xc3\xbc\xc3"), "Subject: =?UNKNOWN-8BIT?B?w7zD?=\r\n"},
        {subjectHeader(std::string(29, 'x') + "\xe2\x82\xac"), // 30 bytes would cut the €
         "Subject: =?UTF-8?B?eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHg=?=\r\n =?UTF-8?B?4oKs?=\r\n"},
        {parameterLines("n", "say \"hi\".txt"), "\tn*=UTF-8''say%20%22hi%22.txt\r\n"},
        {parameterLines("n", "a\x01"), "\tn*=UTF-8''a%01\r\n"}};
    for (const auto& [header, expected] : headers) {
        EXPECT_EQ(header, expected);
    }
    std::string longText;
    for (int i = 0; i < 40; ++i) {
        longText += "\xc3\xbc-";
    }
    const std::regex line(
        "(Subject:)? =\\?UTF-8\\?B\\?([A-Za-z0-9+/]{4})+\\?=\r|"
        "\tn\\*[0-9]+\\*=(UTF-8'')?([!#$&+.0-9A-Z^_`a-z{|}~-]|%[0-9A-F]{2})+;?\r");
    std::istringstream lines(subjectHeader(longText) + parameterLines("n", longText));
    for (std::string text; std::getline(lines, text);) {
        EXPECT_LT(text.size(), 78U) << text;
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
}

} // namespace
