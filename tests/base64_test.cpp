// Both base64 encoders, checked by decoding and by their line layout.
#include "emailtestaccess.h"
#include "process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <optional>
#include <random>

namespace {

// Strict RFC 4648 decoding: nullopt for a wrong length, character or padding.
std::optional<std::string> decode(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        const int pads = text[at + 3] != '=' ? 0 : text[at + 2] == '=' ? 2 : 1;
        if (pads > 0 && !last) {
            return std::nullopt;
        }
        unsigned long group = 0;
        for (int i = 0; i < 4; ++i) {
            const std::size_t value = i < 4 - pads ? alphabet.find(text[at + i]) : 0;
            if (value == std::string::npos) {
                return std::nullopt;
            }
            group = group << 6 | value;
        }
        for (int i = 0; i < 3 - pads; ++i) {
            bytes += static_cast<char>(group >> (16 - 8 * i) & 0xff);
        }
    }
    return bytes;
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(byte(engine));
    }
    return bytes;
}

struct FileResult {
    int result;
    std::string written;
};

// Encodes path into a file that already holds "prefix", which must stay in front.
FileResult encodeFile(const TempDir& dir, const std::string& path) {
    const std::string outPath = dir.file("encoded");
    FILE* out = std::fopen(outPath.c_str(), "wb");
    std::fputs("prefix", out);
    const Email job;
    const int result = EmailTestAccess::base64Encode(job, path, out);
    std::fclose(out);
    const std::string written = readWholeFile(outPath);
    EXPECT_EQ(written.substr(0, 6), "prefix");
    return {result, written.substr(6)};
}

class Base64Sizes : public testing::TestWithParam<std::size_t> {};

TEST_P(Base64Sizes, FileLinesOf76DecodeToTheInput) {
    const std::size_t size = GetParam();
    const std::string input = randomBytes(size, static_cast<unsigned>(size));
    TempDir dir;
    const FileResult encoded = encodeFile(dir, dir.write("in.bin", input));
    ASSERT_EQ(encoded.result, 0);

    std::string joined;
    std::size_t lineCount = 0;
    for (std::size_t at = 0; at < encoded.written.size(); ++lineCount) {
        const std::size_t end = encoded.written.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "unterminated line " << lineCount;
        const std::size_t length = end - at;
        const bool last = end + 2 == encoded.written.size();
        ASSERT_TRUE(last ? length > 0 && length <= 76 : length == 76) << "line " << lineCount;
        joined.append(encoded.written, at, length);
        at = end + 2;
    }
    EXPECT_EQ(lineCount, (size + 56) / 57);
    EXPECT_EQ(joined.size(), (size + 2) / 3 * 4);
    EXPECT_EQ(decode(joined), input);

    const Email job;
    EXPECT_EQ(EmailTestAccess::base64Encode(job, input), joined);
}

INSTANTIATE_TEST_SUITE_P(Base64, Base64Sizes,
                         testing::Values(0, 1, 2, 3, 4, 54, 56, 57, 58, 100, 114, 57 * 1024 - 1,
                                         57 * 1024, 57 * 1024 + 1, 2 * 57 * 1024 + 58,
                                         1024 * 1024));

struct KnownCase {
    std::string input;
    std::string text;
};

TEST(Base64, KnownTextsAndHighBytes) {
    const KnownCase cases[] = {{"a", "YQ=="},
                               {"ab", "YWI="},
                               {"abc", "YWJj"},
                               {"\x80", "gA=="},
                               {"\xff\xfe\xfd", "//79"},
                               {std::string(1, '\0'), "AA=="},
                               {std::string("\x01\x00\x00\x02", 4), "AQAAAg=="}};
    TempDir dir;
    const Email job;
    for (const KnownCase& c : cases) {
        EXPECT_EQ(EmailTestAccess::base64Encode(job, c.input), c.text);
        EXPECT_EQ(encodeFile(dir, dir.write("in", c.input)).written, c.text + "\r\n");
    }
    EXPECT_EQ(EmailTestAccess::base64Encode(job, ""), "");
}

TEST(Base64, UnreadableFileFailsAndWritesNothing) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    for (const std::string& path : {dir.file("missing"), dir.file("sub")}) {
        const FileResult encoded = encodeFile(dir, path);
        EXPECT_EQ(encoded.result, 1) << path;
        EXPECT_EQ(encoded.written, "") << path;
    }
}

} // namespace
