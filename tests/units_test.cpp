// Tables for the pure helpers, for the edge cases a whole run cannot reach cheaply.
#include "addresslist.h"
#include "aliases.h"
#include "base64.h"
#include "bodytext.h"
#include "clocktext.h"
#include "headerfields.h"
#include "headertext.h"
#include "linesplitter.h"
#include "messageingest.h"
#include "mimetypes.h"
#include "process.h"
#include "secret.h"
#include "sendmailargs.h"
#include "settings.h"
#include "smtpserversession.h"
#include "transcript.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
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
// quote or a control percent-encoded, display names quoted or encoded; long ones: every line below
// 78 characters, no %XX cut.
TEST(Units, NonAsciiHeadersFoldBelow78) {
    const Pair headers[] = {
        {subjectHeader("\xc3\xbc\xc3"), "Subject: =?UNKNOWN-8BIT?B?w7zD?=\r\n"},
        {subjectHeader(std::string(29, 'x') + "\xe2\x82\xac"), // 30 bytes would cut the €
         "Subject: =?UTF-8?B?eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHg=?=\r\n =?UTF-8?B?4oKs?=\r\n"},
        {parameterLines("n", "say \"hi\".txt"), "\tn*=UTF-8''say%20%22hi%22.txt\r\n"},
        {parameterLines("n", "a\x01"), "\tn*=UTF-8''a%01\r\n"},
        {fromField("Pat \"P.\" O\\Brien", "<a@b>"),
         "From: \"Pat \\\"P.\\\" O\\\\Brien\" <a@b>\r\n"},
        {fromField("Grüße", "<a@b>"), "From: =?UTF-8?B?R3LDvMOfZQ==?= <a@b>\r\n"}};
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
        {"account default : w\naccount w", "F:1: no account 'w'"},
        {"rate 0", "F:1: bad value '0' for rate (1 to 100000)"},
        {"account a\nfallback z", "F: no account 'z' (fallback of 'a')"},
        {"account a\nfallback b\naccount b\nfallback c\naccount c\nfallback b",
         "F: fallback loop: a -> b -> c -> b"}};
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

// The sendmail entry: callers' argument vectors -> what they ask for, warnings and the usage error.
std::string requestSummary(const StringList& args) {
    SendmailRequest r;
    std::string text = parseSendmailArgs(args, r);
    text += " mode" + std::to_string(static_cast<int>(r.mode)) + "/" + r.queueInterval + " to";
    for (const std::string& to : r.recipients) {
        text += " " + to;
    }
    text += std::string(r.recipientsFromHeaders ? " [t]" : "") + (r.verbose ? " [v]" : "");
    text += r.sender ? " from<" + *r.sender + ">" : "";
    text += (r.fullName.empty() ? "" : " F=" + r.fullName) +
            (r.settingsFile.empty() ? "" : " C=" + r.settingsFile) +
            (r.account.empty() ? "" : " a=" + r.account);
    for (const std::string& warning : r.warnings) {
        text += " | " + warning;
    }
    return text;
}

TEST(Units, SendmailCommandLines) {
    const std::pair<StringList, std::string> rows[] = {
        {{"-FCronDaemon", "-odi", "-oem", "-oi", "-t"},
         " mode0/ to [t] F=CronDaemon"}, // Vixie cron
        {{"-i", "-FCronDaemon", "-B8BITMIME", "-oem", "root"}, " mode0/ to root F=CronDaemon"},
        {{"-f", "<>", "-t", "-F", "J D"}, " mode0/ to [t] from<> F=J D"}, // cronie
        {{"-ti", "-fa@b", "-C", "c", "-aw", "-v"}, " mode0/ to [t] [v] from<a@b> C=c a=w"}, // PHP
        {{"-f", "", "-oi", "--", "-x", "b", "-t"}, " mode0/ to -x b -t from<>"},
        {{"c", "-f", "a", "-r", "<b>", "--account=w"},
         " mode0/ to c from<b> a=w | envelope sender given more than once; using <b>"},
        {{"-Zfoo", "--weird", "-", "x"},
         " mode0/ to x | unknown option -Z ignored | unknown "
         "option --weird ignored | operand - ignored: the message is always read from standard "
         "input"},
        {{"-bs"}, " mode1/ to"},
        {{"-q1h"}, " mode3/1h to"},
        {{"-b", "i"}, " mode4/ to"},
        {{"-bv", "x"}, "mode -bv is not supported mode0/ to"},
        {{"x", "-f"}, "option -f needs a value mode0/ to x"},
        {{"-oi", "-i"},
         "no recipients: name them, or give -t to take them from the message mode0/ to"}};
    for (const auto& [args, summary] : rows) {
        EXPECT_EQ(requestSummary(args), summary) << testing::PrintToString(args);
    }
}

int fileWith(const std::string& text) {
    std::FILE* file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    const int fd = dup(fileno(file));
    std::fclose(file);
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// From the descriptor's offset on, as the relay reads its message file.
std::string contentOf(int fd) {
    std::string text;
    char block[4096];
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;) {
        text.append(block, static_cast<std::size_t>(got));
    }
    return text;
}

// Message in -> what is written, the header recipients; added fields last in the header block.
TEST(Units, MessageFromStandardInput) {
    const std::string added = "From: Me <m@h>\nDate: D\nMessage-Id: <I>\n", big(65534, 'x');
    const std::tuple<std::string, bool, std::string, std::string> rows[] = {
        {"To: A <a@x>,\r\n \"B, C\" <b@x>\rCc: (c) c@x\nBcc: d@x,\n e@x\n\nbody\r\n.\r\n", false,
         "To: A <a@x>,\n \"B, C\" <b@x>\nCc: (c) c@x\n" + added + "\nbody\n.\n",
         "a@x b@x c@x d@x e@x "},
        {"to: undisclosed-recipients:;\nCC: t: \"q,a\"@x, <@r:y@x>;\nfrom: f\nDATE: d\nMessage-ID: "
         "m\n\nb",
         false,
         "to: undisclosed-recipients:;\nCC: t: \"q,a\"@x, <@r:y@x>;\nfrom: f\nDATE: d\nMessage-ID: "
         "m\n\nb\n",
         "\"q,a\"@x y@x "},
        {"Subject: s\r\n", false, "Subject: s\n" + added + "\n", ""},
        {"", false, added + "\n", ""},
        {"hello: world\nline two\n\n", false, "hello: world\n" + added + "\nline two\n\n", ""},
        {"From: x\n\tcont\nDate: d\n\nb\r\r\n", true,
         "Date: d\nFrom: Me <m@h>\nMessage-Id: <I>\n\nb\n\n", ""},
        {"\n" + big + "\r\nz", false, added + "\n" + big + "\nz\n", ""}, // CR LF across blocks
        {"To: " + std::string(maxHeaderFieldBytes, 'a'), false, "",
         "a header field is longer than 1 MiB"}};
    for (const auto& [input, replaceFrom, output, recipients] : rows) {
        const int in = fileWith(input), out = fileWith("");
        const IngestResult result = ingestMessage(in, out, {"Me <m@h>", "D", "<I>", replaceFrom});
        std::string listed = result.error;
        for (const std::string& address : result.recipients) {
            listed += address + " ";
        }
        lseek(out, 0, SEEK_SET);
        const std::string written = contentOf(out);
        EXPECT_EQ(result.error.empty() ? written : "", output) << testing::PrintToString(input);
        EXPECT_EQ(listed, recipients);
        EXPECT_EQ(result.lines, std::count(written.begin(), written.end(), '\n'));
        EXPECT_EQ(result.bytes, written.size());
        close(in);
        close(out);
    }
}

// sendmail -bs: client lines -> the reply codes, what the relay got and the exit status.
TEST(Units, SmtpServerSession) {
    const std::string hi = "EHLO c\r\nMAIL FROM:<a@x> BODY=8BITMIME\r\nRCPT TO:<b@x>\r\nDATA\r\n";
    const std::tuple<std::string, std::string, std::string, int> rows[] = {
        {hi + "..hi\r\n.\r\nMAIL FROM:<>\nRCPT TO:c@x\nRSET\nMAIL FROM:<>\nRCPT "
              "TO:<d@x>\nNOOP\nDATA\n"
              "a\rb\r\n.\nquit\r\nNOOP\n",
         "220 250-250 250 250 354 250 250 250 250 250 250 250 354 250 221 ",
         "a@x>b@x:.hi\n|>d@x:a\rb\n|", 0},
        {"MAIL FROM:<a>\nHELO c\nRCPT TO:<b>\nDATA\nMAIL TO:<a>\nMAIL FROM:<a>\nMAIL FROM:<a>\n"
         "DATA\nRCPT TO:<>\nHELO\nFOO\nVRFY x\nNOOP " +
             std::string(505, 'N') + "\r\nNOOP " + std::string(506, 'N') +
             "\r\nRSET\nRCPT TO:<b>\n",
         "220 503 250 503 503 501 250 503 503 501 501 500 502 250 500 250 503 ", "", 0},
        {hi + "y\n.\n" + hi + "x\n.\n", "220 250-250 250 250 354 451 250-250 250 250 354 550 ",
         "a@x>b@x:y\n|a@x>b@x:x\n|", 75},
        {hi + "x\n.\n", "220 250-250 250 250 354 550 ", "a@x>b@x:x\n|", 69},
        {hi + "x\n", "220 250-250 250 250 354 ", "", 75}};
    for (const auto& [script, codes, relayed, status] : rows) {
        std::string got;
        const Relay relay = [&got](const std::string& from, const StringList& to, int fd,
                                   std::uint64_t lines) {
            const std::string text = contentOf(fd);
            EXPECT_EQ(lines, std::count(text.begin(), text.end(), '\n'));
            got +=
                from + ">" + to.front() + (to.size() > 1 ? "," + to.back() : "") + ":" + text + "|";
            return text[0] == 'x'   ? "550 5.7.1 No"
                   : text[0] == 'y' ? "451 4.3.0 Later"
                                    : "250 2.0.0 Ok";
        };
        const int in = fileWith(script), out = fileWith("");
        EXPECT_EQ(runSmtpServerSession(in, out, relay, "h"), status) << script;
        std::string replies;
        lseek(out, 0, SEEK_SET);
        for (const std::string& line : splitLines(contentOf(out))) {
            replies += line.substr(0, 4) == "250-" ? line.substr(0, 4) : line.substr(0, 3) + " ";
        }
        EXPECT_EQ(replies, codes) << script;
        EXPECT_EQ(got, relayed) << script;
        close(in);
        close(out);
    }
}

} // namespace
