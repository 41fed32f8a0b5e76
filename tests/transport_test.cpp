// The SMTP client and its socket against the scripted server: how replies are gathered, how
// failures end an operation, and that a message arrives whole. Time-outs are 1 s.
#include "scriptedserver.h"
#include "smtpclient.h"
#include "socketexception.h"
#include "updater.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <sstream>

namespace {

using Strings = std::vector<std::string>;
using namespace std::string_literals;

struct Row {
    const char* name;
    Strings script;
    std::string (*op)(SmtpClient&); // after connect; nullptr: the greeting is the result
    std::string result;    // the reply, or "!" and the error; then "|" and the progress shown
    StringList message;    // the lines sent by op, when they must all arrive
    Strings commands = {}; // the command lines received, when they matter
    std::string progress;  // shown by the updater, when it matters
    Row(const char* n, Strings s, std::string (*o)(SmtpClient&), std::string r, StringList m = {},
        Strings c = {}, std::string p = {})
        : name(n), script(std::move(s)), op(o), result(std::move(r)), message(std::move(m)),
          commands(std::move(c)), progress(std::move(p)) {}
};

// A message of n lines, the final "." included.
StringList lines(std::size_t n, std::size_t width = 10) {
    StringList text(n - 1, std::string(width, 'm'));
    text.emplace_back(".");
    return text;
}

std::string repeated(const std::string& line, std::size_t bytes, const std::string& last) {
    std::string text;
    while (text.size() + line.size() + last.size() <= bytes) {
        text += line;
    }
    return text + last;
}

std::string send(SmtpClient& c, const StringList& message) {
    c.data();
    return c.sendData(message);
}

void nothing(int) {}

// A large message sent to a slow reader while a signal keeps interrupting the sends.
std::string sendInterrupted(SmtpClient& c) {
    struct sigaction action {};
    action.sa_handler = nothing; // no SA_RESTART: blocked sends return early
    sigaction(SIGALRM, &action, nullptr);
    const itimerval every{{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every, nullptr);
    const std::string reply = send(c, lines(20000, 998));
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    return reply;
}

const std::string queued = "250 2.0.0 Ok: queued\r\n";
const std::string large = repeated("250-more\r\n", 1024 * 1024, "250 end\r\n");

const Row rows[] = {
    Row("GreetingLongerThanOneReceive", {"CONNECT 220-" + std::string(60, 'g') + "\r\n220 ok"},
        nullptr, "220-" + std::string(60, 'g') + "\r\n220 ok\r\n"),
    Row("OneByteAtATime", {"CONNECT/220-a\r\n220 b\r\n"}, nullptr, "220-a\r\n220 b\r\n"),
    Row(
        "LoneHyphenPiece", {"HELO|250|-|a\r\n|250 b\r\n"},
        [](SmtpClient& c) { return c.helo("h"); }, "250-a\r\n250 b\r\n"),
    Row(
        "HyphenEndingALine", {"HELO|250-\r\n|250 b\r\n"}, [](SmtpClient& c) { return c.helo("h"); },
        "250-\r\n250 b\r\n"),
    Row(
        "CarriageReturnAndLineFeedApart", {"HELO|250 ok\r|\n"},
        [](SmtpClient& c) { return c.helo("h"); }, "250 ok\r\n"),
    Row(
        "LineFeedAloneEndsAReply", {"HELO|250 ok\n"}, [](SmtpClient& c) { return c.helo("h"); },
        "250 ok\n"),
    Row("TwoRepliesInOneWriteAreOne", {"CONNECT|220 a\r\n250 early\r\n"}, nullptr,
        "220 a\r\n250 early\r\n"),
    Row("NulBytesKept", {"CONNECT|\0"s + "220 a\0b\r\n"s}, nullptr, "\0"s + "220 a\0b\r\n"s),
    Row(
        "LargeCompleteReply", {"MAIL|" + large}, [](SmtpClient& c) { return c.mailFrom("<a@b>"); },
        large),
    Row(
        "ReplyOverOneMebibyte", {"MAIL|" + repeated("250-more\r\n", 1100 * 1024, "")},
        [](SmtpClient& c) { return c.mailFrom("<a@b>"); }, "!Reply from server too long"),
    Row(
        "PeerClosesWithoutReply", {"HELO#"}, [](SmtpClient& c) { return c.helo("h"); },
        "!Connection closed by server"),
    Row(
        "PeerClosesInTheMiddleOfAReply", {"HELO|250-a\r\n|250 b\r\n", "HELO#1"},
        [](SmtpClient& c) { return c.helo("h"); }, "!Connection closed by server"),
    Row(
        "PeerGoneWhileSending", {"DATA|354 go\r\n", "DATA#1"},
        [](SmtpClient& c) { return send(c, lines(20000, 998)); },
        "!Problem encountered sending data"),
    Row("StalledGreeting", {"CONNECT~3000"}, nullptr, "!Problem encountered receiving data"),
    Row(
        "ReplyDribbledPastTheTimeOut", {"HELO/250-" + std::string(100, 'x')},
        [](SmtpClient& c) { return c.helo("h"); }, "!Problem encountered receiving data"),
    Row(
        "ReaderStalledPastTheTimeOut", {"DATA-BODY~5000"},
        [](SmtpClient& c) { return send(c, lines(20000, 998)); },
        "!Problem encountered sending data"),
    Row("EveryCommandLine", {},
        [](SmtpClient& c) {
            std::string all = c.ehlo("e"); // one statement each: the order of a + chain is open
            all += c.helo("h");
            all += c.authLogin();
            all += c.sendAuthName("n");
            all += c.sendAuthPass("p");
            all += c.mailFrom("<f>");
            all += c.rcptTo("<t>");
            all += c.noop();
            all += c.rset();
            return all + c.quit();
        },
        "250-scripted.test\r\n250-SIZE 10240000\r\n250 AUTH LOGIN\r\n250 scripted.test\r\n"
        "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 2.7.0 Authentication successful\r\n"
        "250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n250 2.0.0 Ok\r\n250 2.0.0 Ok\r\n221 2.0.0 Bye\r\n",
        {},
        {"EHLO e", "HELO h", "AUTH LOGIN", "n", "p", "MAIL FROM: <f>", "RCPT TO: <t>", "NOOP",
         "RSET", "QUIT"}),
    Row(
        "ProgressOfOneLine", {}, [](SmtpClient& c) { return send(c, lines(1)); }, queued, lines(1),
        {}, "100%\r\n"),
    Row(
        "ProgressOfFiveLines", {}, [](SmtpClient& c) { return send(c, lines(5)); }, queued,
        lines(5), {}, "0%\r25%\r50%\r75%\r100%\r\n"),
    Row(
        "ProgressOf201Lines", {}, [](SmtpClient& c) { return send(c, lines(201)); }, queued,
        lines(201), {},
        [] {
            std::string text;
            for (int value = 0; value < 100; ++value) {
                text += std::to_string(value) + "%\r" + std::to_string(value) + "%\r";
            }
            return text + "100%\r\n";
        }()),
    Row("SendsInterruptedBySignals", {"DATA-BODY~300"}, sendInterrupted, queued, lines(20000, 998)),
};

class Transport : public testing::TestWithParam<Row> {};

TEST_P(Transport, Run) {
    const Row& row = GetParam();
    // The server's thread must not take the test's signals.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    ScriptedServer server(row.script);
    const unsigned short port = server.start();
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    std::ostringstream shown;
    Updater updater(shown);
    std::string result;
    const auto start = std::chrono::steady_clock::now();
    {
        SmtpClient client(34);
        client.setUpdater(&updater);
        client.setTransmitTimeout(1);
        client.setReceiveTimeout(1);
        try {
            result = client.connect("127.0.0.1", port);
            result = row.op == nullptr ? result : row.op(client);
        } catch (const SocketException& e) {
            result = "!" + e.errMsg();
        }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(row.progress.empty() ? "" : shown.str(), row.progress);
    if (!row.message.empty()) {
        std::string wire;
        for (const std::string& line : row.message) {
            wire += line + "\r\n";
        }
        EXPECT_EQ(server.data(), wire);
    }
    if (!row.commands.empty()) {
        EXPECT_EQ(server.commands(), row.commands);
    }
}

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, Transport, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& row) { return row.param.name; });

// A reply cut in two at every place arrives whole.
class Split : public testing::TestWithParam<std::size_t> {};

TEST_P(Split, Run) {
    const std::string reply = "250-a\r\n250 b\r\n";
    ScriptedServer server({"EHLO|" + reply.substr(0, GetParam()) + "|" + reply.substr(GetParam())});
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.connect("127.0.0.1", port);
    EXPECT_EQ(client.ehlo("h"), reply);
}

INSTANTIATE_TEST_SUITE_P(At, Split, testing::Range<std::size_t>(1, 14));

} // namespace
