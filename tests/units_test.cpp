// Tables for the pure helpers whose edge cases a whole run cannot reach cheaply.
#include "addresslist.h"
#include "base64.h"
#include "clocktext.h"
#include "headertext.h"
#include "linesplitter.h"
#include "mimetypes.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <tuple>

#include <unistd.h>

namespace {

TEST(Units, AddressListBracketsEveryCommaItem) {
    const std::pair<const char*, StringList> rows[] = {{" a@b , c", {"<a@b>", "<c>"}},
                                                       {"a,,b", {"<a>", "<>", "<b>"}},
                                                       {"a,", {"<a>"}},
                                                       {",", {"<>"}},
                                                       {"", {}},
                                                       {"  ", {"<>"}},
                                                       {"\ta ", {"<\ta>"}}};
    for (const auto& [text, items] : rows) {
        EXPECT_EQ(parseAddressList(text), items) << "[" << text << "]";
    }
}

TEST(Units, TranscriptPrefixesEveryReplyLine) {
    const std::pair<const char*, const char*> rows[] = {
        {"> EHLO a\nb", "> EHLO a\nb"},
        {"< 250-a\r\n250-b\r\n250 c\r\n", "< 250-a\r\n< 250-b\r\n< 250 c\r\n"},
        {"< 250-a\r\n250 b", "< 250-a\r\n< 250 b\n"},
        {"< 250 b", "< < 250 b\n"},
        {"< 250-a\n\n250-b\n250 c\n", "< 250-a\n< \n250-b\n250 c\n\n"},
        {"< 250 a\n\n", "< 250 a\n"},
        {"<", "< <\n"}};
    for (const auto& [line, shown] : rows) {
        EXPECT_EQ(transcriptText(line), shown) << testing::PrintToString(line);
    }
}

// The same lines whether the text comes whole or a byte at a time.
TEST(Units, LineRuleDropsOnlyTheCrBeforeLf) {
    const std::pair<std::string, StringList> rows[] = {
        {"a\r\nb\nc", {"a", "b", "c"}},
        {"a\r\r\n", {"a\r"}},
        {"\n\n", {"", ""}},
        {"x\r", {"x\r"}},
        {"", {}},
        {"a\n", {"a"}},
        {"\r\n", {""}},
        {"a\rb\r", {"a\rb\r"}},
        {std::string("\0\n", 2), {std::string(1, '\0')}}};
    for (const auto& [text, lines] : rows) {
        EXPECT_EQ(splitLines(text), lines) << testing::PrintToString(text);
        StringList bytewise;
        LineCollector collector(bytewise);
        LineSplitter splitter;
        for (const char& c : text) {
            splitter.feed(&c, 1, collector);
        }
        splitter.finish(collector);
        EXPECT_EQ(bytewise, lines) << testing::PrintToString(text);
    }
}

// Files become lines of 76 characters: each 57-byte slice encoded alone.
TEST(Units, Base64FileLinesAcrossBlockSizes) {
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("M"), "TQ==");
    EXPECT_EQ(base64Encode("Ma"), "TWE=");
    EXPECT_EQ(base64Encode("Man\xff"), "TWFu/w==");
    const std::size_t sizes[] = {0, 1, 56, 57, 58, 57 * 1024, 57 * 1024 + 1, 3 * 57 * 1024 + 100};
    for (const std::size_t size : sizes) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>(i * 7 + i / 251);
        }
        std::string expected;
        for (std::size_t at = 0; at < size; at += 57) {
            expected += base64Encode(bytes.substr(at, 57)) + "\r\n";
        }
        char path[] = "/tmp/brenvox-b64-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_EQ(write(fd, bytes.data(), size), static_cast<ssize_t>(size));
        close(fd);
        std::FILE* out = std::tmpfile();
        Base64FileEncoder encoder;
        EXPECT_EQ(encoder.encode(path, out), 0);
        std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
        std::rewind(out);
        EXPECT_EQ(std::fread(&text[0], 1, text.size(), out), text.size());
        std::fclose(out);
        unlink(path);
        EXPECT_EQ(text, expected) << size << " bytes";
    }
}

TEST(Units, DateCarriesTheOffsetInForceAtThatInstant) {
    constexpr std::time_t winter = 1796463950; // 2026-12-05 09:45:50 UTC
    constexpr std::time_t summer = 1783244750; // 2026-07-05 09:45:50 UTC
    const std::tuple<const char*, std::time_t, const char*> rows[] = {
        {"UTC0", winter, "Sat, 05 Dec 2026 09:45:50 +0000"},
        {"America/New_York", winter, "Sat, 05 Dec 2026 04:45:50 -0500"},
        {"America/New_York", summer, "Sun, 05 Jul 2026 05:45:50 -0400"},
        {"Asia/Kolkata", winter, "Sat, 05 Dec 2026 15:15:50 +0530"},
        {"America/St_Johns", summer, "Sun, 05 Jul 2026 07:15:50 -0230"},
        {"XXX0:30", winter, "Sat, 05 Dec 2026 09:15:50 -0030"},
        {"XXX-0:30", winter, "Sat, 05 Dec 2026 10:15:50 +0030"}};
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    for (const auto& [zone, when, text] : rows) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(formatEmailDate(when), text) << zone;
    }
    old != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST(Units, TypeLookupFirstRowWinsAndCaseCounts) {
    const std::pair<const char*, const char*> rows[] = {{".pdf", "application/pdf"},
                                                        {".dxf", "application/dxf"},
                                                        {".p7c", "application/pkcs7-mime"},
                                                        {".wrl", "application/x-world"},
                                                        {".x-png", "image/png"},
                                                        {".zsh", "text/x-script.zsh"},
                                                        {".3dm", "x-world/x-3dmf"},
                                                        {".JPG", "application/octet-stream"},
                                                        {"", "application/octet-stream"},
                                                        {".pdfx", "application/octet-stream"}};
    for (const auto& [extension, type] : rows) {
        EXPECT_EQ(mimeTypeFor(extension), type) << extension;
    }
    const std::tuple<const char*, const char*, const char*> names[] = {
        {"C:\\docs\\photo.jpg", "photo.jpg", ".jpg"},
        {"a\\b/c.txt", "b/c.txt", ".txt"},
        {"/x/.profile", ".profile", ""},
        {"file.", "file.", "."},
        {"dir/", "", ""}};
    for (const auto& [path, name, extension] : names) {
        EXPECT_EQ(fileNameOf(path), name) << path;
        EXPECT_EQ(extensionOf(fileNameOf(path)), extension) << path;
    }
}

TEST(Units, MessageIdIsAlwaysAValidMsgId) {
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"<a.b@c.org>", "h", "<P.a.b@c.org>"},
        {"a@c.org", "h", "<P.a@c.org>"},
        {"<\"q\"@c.org>", "h.org", "<P@h.org>"},
        {"<a@b@c>", "h", "<P@h>"},
        {"<a..b@c>", "h", "<P@h>"},
        {"<>", "bad host", "<P@localhost>"}};
    for (const auto& [sender, host, id] : rows) {
        EXPECT_EQ(messageId("P", sender, host), id) << sender;
    }
}

// Non-ASCII headers: every line below 78 characters, no %XX cut in two.
TEST(Units, NonAsciiHeadersFoldBelow78) {
    EXPECT_EQ(subjectHeader("plain ascii"), "Subject: plain ascii\r\n");
    EXPECT_EQ(subjectHeader("Gr\xc3\xbc\xc3\x9f"), "Subject: =?UTF-8?B?R3LDvMOf?=\r\n");
    EXPECT_EQ(subjectHeader("\xff"), "Subject: =?UNKNOWN-8BIT?B?/w==?=\r\n");
    EXPECT_EQ(parameterLines("name", "a b.txt"), "\tname=\"a b.txt\"\r\n");
    EXPECT_EQ(parameterLines("name", "\xc3\xbc.txt"), "\tname*=UTF-8''%C3%BC.txt\r\n");
    std::string longText;
    for (int i = 0; i < 40; ++i) {
        longText += "\xc3\xbc-";
    }
    const std::regex section(
        "\tname\\*[0-9]+\\*=(UTF-8'')?([!#$&+.0-9A-Z^_`a-z{|}~-]|%[0-9A-F]{2})+;?");
    const std::string texts[] = {subjectHeader(longText), parameterLines("name", longText)};
    for (const std::string& text : texts) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LT(line.size(), 78U) << line;
            if (line.rfind("\tname", 0) == 0) {
                EXPECT_TRUE(std::regex_match(line.substr(0, line.size() - 1), section)) << line;
            }
        }
    }
}

} // namespace
