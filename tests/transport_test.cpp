// The SMTP client and its socket against the scripted server: how replies are gathered, how
// failures end an operation, and that a message arrives whole. Time-outs are 1 s.
#include "scriptedserver.h"
#include "smtpclient.h"
#include "socketexception.h"
#include "updater.h"
#include "wirewriter.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>

namespace {

using Strings = std::vector<std::string>;
using namespace std::string_literals;

// The client connects, then sends HELO, or DATA and the message when there is one.
struct Row {
    const char* name;
    Script script;
    std::string result;        // greeting and reply, or "!" and the error
    StringList message = {};   // must arrive whole
    std::string progress = {}; // shown by the updater, when it matters
    bool interrupted = false;  // a signal keeps interrupting the sends
    bool prepared = false;     // written in wire form to a file, sent from it
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

const std::string G = "220 scripted.test ESMTP ready\r\n";
const std::string queued = G + "250 2.0.0 Ok: queued\r\n";
const std::string large = repeated("250-more\r\n", 1024 * 1024, "250 end\r\n");
const StringList big = lines(20000, 998); // more than the socket buffers hold
const std::string unsent = "!Problem encountered sending data";

const Row rows[] = {
    {"OneByteAtATime", {"HELO bytewise 250-a\r\n250 b\r\n"}, G + "250-a\r\n250 b\r\n"},
    {"LoneHyphenPiece", {"HELO pieces 250|-|a\r\n|250 b\r\n"}, G + "250-a\r\n250 b\r\n"},
    {"HyphenEndingALine", {"HELO pieces 250-\r\n|250 b\r\n"}, G + "250-\r\n250 b\r\n"},
    {"CarriageReturnAndLineFeedApart", {"HELO pieces 250 ok\r|\n"}, G + "250 ok\r\n"},
    {"NulBytesKept", {"HELO pieces \0"s + "250 a\0b\r\n"s}, G + "\0"s + "250 a\0b\r\n"s},
    {"LargeCompleteReply", {"HELO pieces " + large}, G + large},
    {"ReplyOverOneMebibyte",
     {"HELO pieces " + repeated("250-more\r\n", 1100 * 1024, "")},
     "!Reply from server too long"},
    {"PeerClosesInTheMiddleOfAReply",
     {"HELO pieces 250-a\r\n|250 b\r\n", "HELO close-after 1"},
     "!Connection closed by server"},
    {"PeerGoneWhileSending", {"DATA 354 go", "DATA close-after 1"}, unsent, big},
    {"StalledGreeting", {"CONNECT stall 3000"}, "!Problem encountered receiving data"},
    {"ReplyDribbledPastTheTimeOut",
     {"HELO bytewise 250-" + std::string(250, 'x')},
     "!Problem encountered receiving data"},
    {"ReaderStalledPastTheTimeOut", {"DATA-BODY stall 5000"}, unsent, big},
    {"ReaderDribblesPastTheTimeOut", {"DATA-BODY dribble 300"}, unsent, big},
    {"ProgressOfOneLine", {}, queued, lines(1), "100%\r\n"},
    {"ProgressOfFiveLines", {}, queued, lines(5), "0%\r25%\r50%\r75%\r100%\r\n"},
    {"ProgressOf201Lines",
     {},
     queued,
     lines(201),
     [] {
         std::string text;
         for (int value = 0; value < 100; ++value) {
             text += std::to_string(value) + "%\r" + std::to_string(value) + "%\r";
         }
         return text + "100%\r\n";
     }()},
    // Blocked sends return early, cut short or with EINTR: no byte may be lost.
    {"SendsInterruptedBySignals", {"DATA-BODY stall 300"}, queued, big, "", true},
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

void nothing(int) {}

class Transport : public testing::TestWithParam<Row> {};

TEST_P(Transport, Run) {
    const Row& row = GetParam();
    sigset_t alarm; // for the test's thread only, not the server's
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    ScriptedServer server(row.script);
    const unsigned short port = server.start();
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    struct sigaction action {};
    action.sa_handler = nothing; // without SA_RESTART
    sigaction(SIGALRM, &action, nullptr);
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
            if (row.message.empty()) {
                result += client.helo("h");
            } else {
                client.data();
                const itimerval every{{0, row.interrupted ? 1000 : 0},
                                      {0, row.interrupted ? 1000 : 0}};
                setitimer(ITIMER_REAL, &every, nullptr);
                std::string text;
                for (const std::string& line : row.message) {
                    text += line + (row.prepared ? "\r\n" : "\n"); // wire form as it stands
                }
                std::size_t taken = 0;
                const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(),
                                                                           std::fclose);
                WireWriter wire(fileno(file.get()), DotStuffing::lastLineEnds);
                wire.write(text.data(), text.size());
                result +=
                    row.prepared && wire.finish()
                        ? client.sendPrepared(fileno(file.get()), 0, wire.size(), wire.lineCount())
                        : client.sendMessage(
                              [&](char* buffer, std::size_t capacity) {
                                  const std::size_t size = text.copy(buffer, capacity, taken);
                                  taken += size;
                                  return size;
                              },
                              row.message.size());
            }
        } catch (const SocketException& e) {
            result = "!" + e.errMsg();
        }
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000));
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(row.progress.empty() ? "" : shown.str(), row.progress);
    std::string wire;
    for (const std::string& line : row.message) {
        wire += line + "\r\n";
    }
    EXPECT_EQ(result[0] == '!' ? wire : server.data(), wire);
}

std::vector<Row> preparedRows() {
    std::vector<Row> prepared;
    for (Row row : rows) {
        row.prepared = !row.message.empty();
        if (row.prepared) {
            prepared.push_back(row);
        }
    }
    return prepared;
}

const auto rowName = [](const testing::TestParamInfo<Row>& row) { return row.param.name; };
INSTANTIATE_TEST_SUITE_P(Rows, Transport, testing::ValuesIn(rows), rowName);
INSTANTIATE_TEST_SUITE_P(Prepared, Transport, testing::ValuesIn(preparedRows()), rowName);

// A reply cut in two at every place arrives whole.
class Split : public testing::TestWithParam<std::size_t> {};

TEST_P(Split, Run) {
    const std::string reply = "250-a\r\n250 b\r\n";
    ScriptedServer server(
        {"EHLO pieces " + reply.substr(0, GetParam()) + "|" + reply.substr(GetParam())});
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.connect("127.0.0.1", port);
    EXPECT_EQ(client.ehlo("h"), reply);
}

INSTANTIATE_TEST_SUITE_P(At, Split, testing::Range<std::size_t>(1, 14));

} // namespace
