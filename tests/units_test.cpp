// Tables for the pure helpers, for the edge cases a whole run cannot reach cheaply.
#include "addresslist.h"
#include "aliases.h"
#include "base64.h"
#include "bodytext.h"
#include "clocktext.h"
#include "headertext.h"
#include "linesplitter.h"
#include "mimetypes.h"
#include "process.h"
#include "secret.h"
#include "settings.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
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

// Settings: every key lands in its own field; keys before the first account are inherited
// and overridden; "account NAME : BASE" copies BASE; the account an empty name selects.
std::string describe(const Settings& settings) {
    std::string text;
    for (const Account& a : settings.accounts) {
        const std::string flags = std::to_string(int(a.tls)) + std::to_string(a.tlsVerify) +
                                  std::to_string(int(a.auth)) + std::to_string(a.fromOverride) +
                                  std::to_string(a.syslog);
        const std::string timeout = a.timeoutSeconds ? std::to_string(a.timeoutSeconds) : "";
        for (const std::string& field :
             {a.name, a.host, a.port, flags, a.cafile, a.user, a.password, a.passwordFile,
              a.passwordEval, a.from, a.domain, a.aliases, a.helo, timeout, a.logfile, a.queue}) {
            text += field.empty() ? "" : field + " ";
        }
        text += "| ";
    }
    std::string error;
    const Account* chosen = findAccount(settings, "", error);
    return text + (chosen != nullptr ? chosen->name : error);
}

TEST(Units, SettingsLinesAndTheirErrors) {
    const std::string oldHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("HOME", "/h", 1);
    const Pair rows[] = {
        {"host h\nport 25\ntls starttls\ncafile ~/ca\ntls_verify off\nauth oauthbearer\nuser u\n"
         "password p\npasswordfile f\npasswordeval e\nfrom f@x\nfrom_override off\ndomain d\n"
         "aliases al\nhelo he\ntimeout 9\nlogfile l\nsyslog on\nqueue ~q",
         "default h 25 10401 /h/ca u p f e f@x d al he 9 l ~q | default"},
        {" # c\n\nhost a\nport 0587\naccount x\ntls on\n\taccount y\nhost \"b \\\"#\\\\ \"\n"
         "account default : y\nauth plain",
         "x a 587 21010 | y b \"#\\  587 01010 | default b \"#\\  587 01210 | default"},
        {"account solo\nhost s", "solo s 01010 | solo"},
        {"account x\naccount y",
         "x 01010 | y 01010 | F: no default account (add \"account default : NAME\")"},
        {"", "F: no default account (add \"account default : NAME\")"},
        {"hots x", "F:1: unknown key 'hots'"},
        {"tls maybe", "F:1: bad value 'maybe' for tls (off, starttls or on)"},
        {"auth on", "F:1: bad value 'on' for auth (off, login, plain, xoauth2 or oauthbearer)"},
        {"\nport 65536", "F:2: bad value '65536' for port (1 to 65535)"},
        {"timeout 0", "F:1: bad value '0' for timeout (seconds, 1 to 86400)"},
        {"syslog yes", "F:1: bad value 'yes' for syslog (on or off)"},
        {"host  ", "F:1: no value for host"},
        {"host \"a\" b", "F:1: unclosed quote or text after it"},
        {"account  : x", "F:1: an account needs a name"},
        {"account a\naccount a", "F:2: account 'a' is defined twice"},
        {"account default : w\naccount w", "F:1: no account 'w'"}};
    for (const auto& [text, expected] : rows) {
        Settings settings;
        const std::string error = parseSettings("F", text, settings);
        EXPECT_EQ(error.empty() ? describe(settings) : error, expected) << text;
    }
    setenv("HOME", oldHome.c_str(), 1);
    Settings settings;
    std::string error;
    EXPECT_EQ(parseSettings("F", "account x", settings), "");
    EXPECT_EQ(findAccount(settings, "work", error), nullptr);
    EXPECT_EQ(error, "F: no account 'work'");
}

// Refused: a file others may change, a password others may read, another user's file.
TEST(Units, SettingsFilePermissions) {
    const TempDir dir;
    const std::string path = dir.file("s");
    const std::tuple<mode_t, std::string, std::string> rows[] = {
        {0644, "host h", ""},
        {0600, "password p", ""},
        {0620, "host h",
         "Settings file " + path + " can be written by group or others; chmod go-w " + path},
        {0602, "host h",
         "Settings file " + path + " can be written by group or others; chmod go-w " + path},
        {0640, "password p",
         "Settings file " + path + " holds a password that group or others can read; chmod 600 " +
             path},
        {0604, "password p",
         "Settings file " + path + " holds a password that group or others can read; chmod 600 " +
             path}};
    for (const auto& [mode, text, expected] : rows) {
        dir.write("s", text);
        chmod(path.c_str(), mode);
        Settings settings;
        EXPECT_EQ(loadSettings(path, settings), expected) << mode;
    }
    if (geteuid() == 0 && chown(path.c_str(), 65534, 0) == 0) {
        Settings settings;
        EXPECT_EQ(loadSettings(path, settings),
                  "Settings file " + path + " belongs to another user (uid 65534)");
    }
    Settings settings;
    EXPECT_EQ(loadSettings(dir.file("none"), settings),
              "Cannot read settings file " + dir.file("none") + ": No such file or directory");
    EXPECT_EQ(loadSettings(dir.path(), settings),
              "Settings file " + dir.path() + " is not a regular file");
}

// The explicit file, else the XDG one (an absolute XDG_CONFIG_HOME only), else the system one.
TEST(Units, SettingsFileDiscovery) {
    const TempDir dir;
    const std::string home = dir.file("home/.config/brenvox/config"), etc = dir.file("etc");
    const std::string xdg = dir.file("xdg/brenvox/config");
    const std::string oldHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("HOME", dir.file("home").c_str(), 1);
    const Triple rows[] = {
        {"", "", ""},   {"", "etc", etc},           {"rel", "home/.config/brenvox/config", home},
        {"", "", home}, {dir.file("xdg"), "", etc}, {dir.file("xdg"), "xdg/brenvox/config", xdg}};
    for (const auto& [xdgHome, made, found] : rows) {
        if (!made.empty()) {
            runProgram({"mkdir", "-p", dir.file(made).substr(0, dir.file(made).rfind('/'))}, "/");
            dir.write(made, "");
        }
        setenv("XDG_CONFIG_HOME", xdgHome.c_str(), 1);
        EXPECT_EQ(findSettingsFile("", etc), found) << made;
    }
    EXPECT_EQ(findSettingsFile("/given", etc), "/given");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", oldHome.c_str(), 1);
}

// The password key first, then the file, then the command: its first line, read to the end
// (a helper writing more is not killed), with SIGPIPE and stdin as a helper expects them.
TEST(Units, SecretFromKeyFileOrCommand) {
    const TempDir dir;
    const std::string mine = dir.write("mine", "f\n"), shared = dir.write("shared", "g\n");
    chmod(mine.c_str(), 0600);
    using Quad = std::tuple<std::string, std::string, std::string, std::string>;
    const Quad rows[] = {
        {"p", mine, "echo e", "p"},
        {"", mine, "echo e", "f"},
        {"", shared, "", "Aborting - auth file " + shared + " can be read by group or others."},
        {"", "", "", ""},
        {"", "", "cat; printf 'tok\\r\\n'; sleep 0.1; echo more", "tok"},
        {"", "", "printf 'tok\\r'", "tok"},
        {"", "", "{ yes; [ $? -gt 128 ] || kill $$; } | head -1", "y"},
        {"", "", "echo x; exit 3", "passwordeval failed (status 3): echo x; exit 3"},
        {"", "", "kill -9 $$", "passwordeval failed (killed by signal 9): kill -9 $$"},
        {"", "", "echo", "passwordeval printed no password: echo"},
        {"", "", "exec sleep 9", "passwordeval timed out after 1 s: exec sleep 9"}};
    std::signal(SIGPIPE, SIG_IGN);
    for (const auto& [password, file, command, expected] : rows) {
        Account account;
        account.password = password;
        account.passwordFile = file;
        account.passwordEval = command;
        std::string secret;
        const std::string error = readSecret(account, secret, 1);
        EXPECT_EQ(error.empty() ? secret : error, expected) << command;
    }
    std::signal(SIGPIPE, SIG_DFL);
}

// Names in any case, entries within entries, each address once, '|' and '/' items skipped;
// "default" only for a recipient, the domain for any other name.
TEST(Units, AliasesResolveRecursively) {
    AliasTable table;
    std::string text = "# c\nRoot: ops, b@x\nops: \"|/bin/log, x\", c@x,\n  d@x\ndup: ops, root, "
                       "c@x\nloop: l2\nl2: loop\nweb: /var/x, :include:/y\ndev: al, al@h\n";
    for (int i = 0; i < 64; ++i) { // expanded once each, not 2^64 times
        text += "n" + std::to_string(i) + ": n" + std::to_string(i + 1) + ", n" +
                std::to_string(i + 1) + "\n";
    }
    EXPECT_EQ(parseAliases("A", text + "n64: z@x\ndefault: ops, e@x", table), "");
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {" ROOT", "", "c@x d@x b@x "},
        {"dup", "", "c@x d@x b@x "},
        {"pi", "", "c@x d@x e@x "},
        {"n0", "", "z@x "},
        {"u@Y", "d", "u@Y "},
        {"dev", "d", "al@d al@h "},
        {"dev", "", "recipient 'al' has no '@', no alias and no domain"},
        {"loop", "", "alias loop: loop -> l2 -> loop"},
        {"web", "", "alias 'web' has no address to relay to"},
        {"", "d", "empty recipient"}};
    for (const auto& [recipient, domain, expected] : rows) {
        StringList addresses;
        const std::string error = resolveRecipient(recipient, table, domain, addresses);
        std::string joined;
        for (const std::string& address : addresses) {
            joined += address + " ";
        }
        EXPECT_EQ(error.empty() ? joined : error, expected) << recipient;
    }
    table.erase("default");
    StringList addresses;
    EXPECT_EQ(resolveRecipient("pi", table, "d", addresses), "");
    EXPECT_EQ(addresses, StringList{"pi@d"});
    EXPECT_EQ(parseAliases("A", "  a@x", table), "A:1: continuation line before any alias");
    EXPECT_EQ(parseAliases("A", "\nname x", table), "A:2: no alias name before ':'");
}

} // namespace
