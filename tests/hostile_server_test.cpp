// Hostile and broken servers: connections that close or stall at every stage, replies cut into
// pieces, run together, endless, without CR, with NUL bytes or odd codes, and every command
// refused in turn. Whatever the server does, a run must end within its time-outs, print what
// went wrong, leave no message file behind, and end with status 0 only when the server took
// the whole message.
#include "process.h"
#include "scriptedserver.h"
#include "sendcheck.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using Script = std::function<void(ScriptedServer&)>;

std::string operator""_b(const char* text, std::size_t length) {
    return std::string(text, length);
}

template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& instance) {
    return instance.param.name;
}

const std::string body = "hostile body";

const std::string created = "* Creating message file.\n";
const std::string connecting = "* Connecting to server 127.0.0.1\n";
const std::string greeted = "< 220 scripted.test ESMTP ready\r\n";
const std::string heloSent = "> HELO localhost\n";
const std::string heloDone = heloSent + "< 250 scripted.test\r\n";
const std::string ehloDone = "> EHLO localhost\n< 250-scripted.test\r\n"
                             "< 250-SIZE 10240000\r\n< 250 AUTH LOGIN\r\n";
const std::string mailSent = "> MAIL FROM: <me@x.test>\n";
const std::string mailDone = mailSent + "< 250 2.1.0 Ok\r\n";
const std::string rcptDone = "> RCPT TO: <you@y.test>\n< 250 2.1.5 Ok\r\n";
const std::string dataSent = "> DATA\n< 354 End data with <CR><LF>.<CR><LF>\r\n"
                             "* Sending data...\n";
const std::string dataDone = dataSent + "< 250 2.0.0 Ok: queued\r\n";
const std::string quitDone = "> QUIT\n< 221 2.0.0 Bye\r\n";
const std::string closedLine = "! Error: Connection closed by server - Connection reset by peer\n";
const std::string tooLongLine = "! Error: Reply from server too long - Message too long\n";
const std::string rxTimeoutLine =
    "! Error: Problem encountered receiving data - Resource temporarily unavailable\n";
const std::string txTimeoutLine =
    "! Error: Problem encountered sending data - Resource temporarily unavailable\n";

const Lines heloCommands = {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>",
                            "DATA", "QUIT"};
const Lines throughData = {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>",
                           "DATA"};

// What the server must hold of the message at the end.
enum class Data { none, whole };

// The composed message arrived whole: the body line and the final ".".
bool wholeMessage(const std::string& data) {
    return data.find("\r\n" + body + "\r\n") != std::string::npos && data.size() >= 5 &&
           data.compare(data.size() - 5, 5, "\r\n.\r\n") == 0;
}

Lines composeArgs(unsigned short port) {
    return {"-S", "127.0.0.1", "-P", std::to_string(port),
            "-f", "me@x.test", "-t", "you@y.test",
            "-s", "Hostile",   "-m", body};
}

std::string repeatedLines(const std::string& line, std::size_t bytes) {
    std::string text;
    while (text.size() < bytes) {
        text += line;
    }
    return text;
}

// A greeting line of exactly 34 bytes, the size of one receive of the client.
const std::string greetingOfOneReceive = "220 scripted.test ESMTP is ready\r\n";

struct HostileCase {
    const char* name;
    Lines extraArgs;
    Script script;
    std::string out; // verbose transcript, percentages left out
    int status;
    Lines commands;
    Data data;
};

// Printed as its name in test reports.
void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

const HostileCase hostileCases[] = {
    // The connection closes at each stage.
    {"ClosesWithoutGreeting",
     {},
     [](ScriptedServer& s) { s.closeAfter("CONNECT"); },
     created + connecting + closedLine,
     1,
     {},
     Data::none},
    {"ClosesRightAfterGreeting",
     {},
     [](ScriptedServer& s) { s.closeAfter("CONNECT", 1); },
     created + connecting + greeted + heloSent + closedLine,
     1,
     {},
     Data::none},
    {"ClosesInTheMiddleOfAReplyLine",
     {},
     [](ScriptedServer& s) {
         s.split("HELO", {"250 scrip", "ted.test\r\n"});
         s.closeAfter("HELO", 1);
     },
     created + connecting + greeted + heloSent + closedLine,
     1,
     {"HELO localhost"},
     Data::none},
    {"ClosesInTheMiddleOfAMultiLineReply",
     {"-A", "user:pass"},
     [](ScriptedServer& s) {
         s.split("EHLO", {"250-scripted.test\r\n", "250 AUTH LOGIN\r\n"});
         s.closeAfter("EHLO", 1);
     },
     created + connecting + greeted + "> EHLO localhost\n" + closedLine,
     1,
     {"EHLO localhost"},
     Data::none},
    {"ClosesInsteadOfAnsweringData",
     {},
     [](ScriptedServer& s) { s.closeAfter("DATA"); },
     created + connecting + greeted + heloDone + mailDone + rcptDone + "> DATA\n" + closedLine,
     1,
     throughData,
     Data::none},
    {"ClosesAfterTheFinalDotBeforeItsReply",
     {},
     [](ScriptedServer& s) { s.closeAfter("DATA-END"); },
     created + connecting + greeted + heloDone + mailDone + rcptDone + dataSent + closedLine,
     1,
     throughData,
     Data::whole},
    // Replies cut into pieces or run together.
    {"EveryReplyInOneByteWrites",
     {},
     [](ScriptedServer& s) {
         s.setPieceDelay(1);
         s.split("CONNECT", ScriptedServer::oneByteEach("220 scripted.test ESMTP ready\r\n"));
         s.split("HELO", ScriptedServer::oneByteEach("250 scripted.test\r\n"));
         s.split("MAIL", ScriptedServer::oneByteEach("250 2.1.0 Ok\r\n"));
         s.split("RCPT", ScriptedServer::oneByteEach("250 2.1.5 Ok\r\n"));
         s.split("DATA", ScriptedServer::oneByteEach("354 End data with <CR><LF>.<CR><LF>\r\n"));
         s.split("DATA-END", ScriptedServer::oneByteEach("250 2.0.0 Ok: queued\r\n"));
         s.split("QUIT", ScriptedServer::oneByteEach("221 2.0.0 Bye\r\n"));
     },
     created + connecting + greeted + heloDone + mailDone + rcptDone + dataDone + quitDone,
     0,
     heloCommands,
     Data::whole},
    {"MultiLineRepliesSplitAtEveryLineFeed",
     {"-A", "user:pass"},
     [](ScriptedServer& s) {
         s.split("CONNECT", {"220-scripted.test\r\n", "220-hello\r\n", "220 ready\r\n"});
         s.split("EHLO", {"250-scripted.test\r\n", "250-SIZE 10240000\r\n", "250 AUTH LOGIN\r\n"});
         s.split("DATA-END", {"250-queued\r\n", "250 as 42\r\n"});
     },
     created + connecting + "< 220-scripted.test\r\n< 220-hello\r\n< 220 ready\r\n" + ehloDone +
         "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n> dXNlcg==\n< 334 UGFzc3dvcmQ6\r\n"
         "> cGFzcw==\n< 235 2.7.0 Authentication successful\r\n" +
         mailDone + rcptDone + dataSent + "< 250-queued\r\n< 250 as 42\r\n" + quitDone,
     0,
     {"EHLO localhost", "AUTH LOGIN", "dXNlcg==", "cGFzcw==", "MAIL FROM: <me@x.test>",
      "RCPT TO: <you@y.test>", "DATA", "QUIT"},
     Data::whole},
    {"TwoRepliesInOneWriteAcrossAReceiveAreOneReply",
     {},
     [](ScriptedServer& s) {
         s.split("CONNECT", {"220 scripted.test ESMTP ready\r\n250 early\r\n"});
     },
     created + connecting + greeted + "< 250 early\r\n" + heloDone + mailDone + rcptDone +
         dataDone + quitDone,
     0,
     heloCommands,
     Data::whole},
    // Odd reply texts.
    {"RepliesEndedByLineFeedAlone",
     {},
     [](ScriptedServer& s) {
         s.split("CONNECT", {"220 ready\n"});
         s.split("HELO", {"250 ok\n"});
         s.split("MAIL", {"250 ok\n"});
         s.split("RCPT", {"250 ok\n"});
         s.split("DATA", {"354 go\n"});
         s.split("DATA-END", {"250 queued\n"});
         s.split("QUIT", {"221 bye\n"});
     },
     created + connecting +
         "< 220 ready\n> HELO localhost\n< 250 ok\n> MAIL FROM: <me@x.test>\n< 250 ok\n"
         "> RCPT TO: <you@y.test>\n< 250 ok\n> DATA\n< 354 go\n* Sending data...\n"
         "< 250 queued\n> QUIT\n< 221 bye\n",
     0,
     heloCommands,
     Data::whole},
    {"BareCodesWithoutText",
     {},
     [](ScriptedServer& s) {
         for (const char* step : {"CONNECT", "HELO", "MAIL", "RCPT", "DATA-END"}) {
             s.reply(step, step == std::string("CONNECT") ? "220" : "250");
         }
         s.reply("DATA", "354");
         s.reply("QUIT", "221");
     },
     created + connecting +
         "< 220\r\n> HELO localhost\n< 250\r\n> MAIL FROM: <me@x.test>\n< 250\r\n"
         "> RCPT TO: <you@y.test>\n< 250\r\n> DATA\n< 354\r\n* Sending data...\n"
         "< 250\r\n> QUIT\n< 221\r\n",
     0,
     heloCommands,
     Data::whole},
    {"FourDigitCodesCountByTheirFirstThree",
     {},
     [](ScriptedServer& s) {
         s.reply("HELO", "2500 odd");
         s.reply("MAIL", "2509");
         s.reply("DATA", "3540 go");
         s.reply("DATA-END", "2500 queued");
     },
     created + connecting + greeted + "> HELO localhost\n< 2500 odd\r\n" +
         "> MAIL FROM: <me@x.test>\n< 2509\r\n" + rcptDone +
         "> DATA\n< 3540 go\r\n* Sending data...\n< 2500 queued\r\n" + quitDone,
     0,
     heloCommands,
     Data::whole},
    {"Code199IsNoAcceptance",
     {},
     [](ScriptedServer& s) { s.reply("HELO", "199 odd"); },
     created + connecting + greeted + heloSent + "< 199 odd\r\n! Error, giving up.\n\n" + quitDone,
     1,
     {"HELO localhost", "QUIT"},
     Data::none},
    {"TwoDigitReplyToTheDataIsNoAcceptance",
     {},
     [](ScriptedServer& s) { s.reply("DATA-END", "25"); },
     created + connecting + greeted + heloDone + mailDone + rcptDone + dataSent +
         "< 25\r\n! Data transmission error.\n" + quitDone,
     1,
     heloCommands,
     Data::whole},
    {"EmptyReplyLineRefusesTheSender",
     {},
     [](ScriptedServer& s) { s.reply("MAIL", ""); },
     created + connecting + greeted + heloDone + mailSent + "! Error, sender address refused.\n" +
         quitDone,
     1,
     {"HELO localhost", "MAIL FROM: <me@x.test>", "QUIT"},
     Data::none},
    {"RefusedGreetingThenRefusedHelo",
     {},
     [](ScriptedServer& s) {
         s.reply("CONNECT", "554 5.3.2 not now");
         s.reply("HELO", "503 5.5.1 go away");
     },
     created + connecting + "< 554 5.3.2 not now\r\n" + heloSent +
         "< 503 5.5.1 go away\r\n! Error, giving up.\n\n" + quitDone,
     1,
     {"HELO localhost", "QUIT"},
     Data::none},
    {"EndlessGreeting",
     {},
     [](ScriptedServer& s) { s.split("CONNECT", {std::string(1100 * 1024, 'x')}); },
     created + connecting + tooLongLine,
     1,
     {},
     Data::none},
    {"EndlessContinuationReply",
     {},
     [](ScriptedServer& s) { s.split("MAIL", {repeatedLines("250-more\r\n", 1100 * 1024)}); },
     created + connecting + greeted + heloDone + mailSent + tooLongLine,
     1,
     {"HELO localhost", "MAIL FROM: <me@x.test>"},
     Data::none},
};

class HostileServer : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileServer, RunEndsAsTheServerDeservesAndLeavesNoFile) {
    const HostileCase& c = GetParam();
    TempDir dir;
    ScriptedServer server;
    c.script(server);
    const unsigned short port = server.start();
    Lines args = composeArgs(port);
    args.emplace_back("-v");
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());

    const RunResult run = runBrenvox(args, dir.path());

    bool completed = false;
    EXPECT_EQ(withoutProgress(run.out, &completed), c.out);
    EXPECT_EQ(completed, c.data == Data::whole);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(server.commands(), c.commands);
    EXPECT_EQ(wholeMessage(server.data()), c.data == Data::whole);
    EXPECT_EQ(dir.entries(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(Servers, HostileServer, testing::ValuesIn(hostileCases),
                         caseName<HostileCase>);

// A reply pushed early, ending exactly where a receive ends, is taken as the reply to the
// next command: the run must then fail rather than go on out of step.
TEST(EarlyReply, RefusalPushedAfterTheGreetingStopsTheRun) {
    static_assert(sizeof "220 scripted.test ESMTP is ready\r\n" - 1 == 34, "one receive");
    TempDir dir;
    ScriptedServer server;
    server.split("CONNECT", {greetingOfOneReceive + "554 5.3.2 early\r\n"});
    const unsigned short port = server.start();

    const RunResult run = runBrenvox(composeArgs(port), dir.path());

    EXPECT_EQ(run.out, "! Error, giving up.\n\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(server.commands(), (Lines{"HELO localhost", "QUIT"}));
    EXPECT_EQ(server.data(), "");
    EXPECT_EQ(dir.entries(), Lines{});
}

// Replies pushed early put every later reply out of step; however the receives fall, status 0
// must mean the server took the whole message.
TEST(EarlyReply, AcceptancePushedEarlyNeverFakesADelivery) {
    const Script scripts[] = {
        [](ScriptedServer& s) { s.split("CONNECT", {greetingOfOneReceive + "250 early\r\n"}); },
        [](ScriptedServer& s) { s.split("HELO", {"250 scripted.test\r\n250 2.1.0 early\r\n"}); },
        [](ScriptedServer& s) {
            s.split("RCPT", {"250 2.1.5 Ok\r\n", "354 early\r\n"});
            s.reply("DATA", "554 5.5.1 no data");
        },
    };
    for (const Script& script : scripts) {
        TempDir dir;
        ScriptedServer server;
        script(server);
        const unsigned short port = server.start();
        const RunResult run = runBrenvox(composeArgs(port), dir.path());
        EXPECT_TRUE(run.status == 0 || run.status == 1) << run.out;
        if (run.status == 0) {
            EXPECT_TRUE(wholeMessage(server.data())) << run.out;
        }
        EXPECT_EQ(dir.entries(), Lines{});
    }
}

// ---- Stalls and other cases that wait for a time-out: in-process, with 1 s time-outs. -------

Email jobFor(unsigned short port, const TempDir& dir) {
    Email job;
    job.setServerName("127.0.0.1");
    job.setServerPort(std::to_string(port));
    job.setFromAddress("<me@x.test>");
    job.setToList("you@y.test");
    job.setSubject("Stalled");
    job.setMessageText(body);
    job.setWorkingDir(dir.path() + "/");
    job.setVerbose(true);
    return job;
}

// A message of this many bytes cannot sit in the socket buffers of a server that stops reading.
std::string largeBody() {
    std::string text;
    const std::string line(999, 'b');
    for (int i = 0; i < 8000; ++i) {
        text += line + "\n";
    }
    return text + body;
}

struct StallCase {
    const char* name;
    Script script;
    std::string out; // transcript, percentages left out
    Lines commands;
    Data data;
};

// Printed as its name in test reports.
void PrintTo(const StallCase& c, std::ostream* os) {
    *os << c.name;
}

const StallCase stallCases[] = {
    {"OnTheGreeting",
     [](ScriptedServer& s) { s.stall("CONNECT", 1600); },
     created + connecting + rxTimeoutLine,
     {},
     Data::none},
    {"OnACommand",
     [](ScriptedServer& s) { s.stall("MAIL", 1600); },
     created + connecting + greeted + heloDone + mailSent + rxTimeoutLine,
     {"HELO localhost", "MAIL FROM: <me@x.test>"},
     Data::none},
    {"AfterTheFinalDot", [](ScriptedServer& s) { s.stall("DATA-END", 1600); },
     created + connecting + greeted + heloDone + mailDone + rcptDone + dataSent + rxTimeoutLine,
     throughData, Data::whole},
};

class StalledServer : public testing::TestWithParam<StallCase> {};

TEST_P(StalledServer, EndsWithTheTimeOutErrorWithoutQuit) {
    const StallCase& c = GetParam();
    TempDir dir;
    ScriptedServer server;
    c.script(server);
    Email job = jobFor(server.start(), dir);

    const InProcessRun run = runSendMail(job);

    EXPECT_EQ(withoutProgress(run.out), c.out);
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(run.seconds, 1.5);
    EXPECT_EQ(dir.entries(), Lines{});
    EXPECT_EQ(server.commands(), c.commands);
    EXPECT_EQ(wholeMessage(server.data()), c.data == Data::whole);
}

INSTANTIATE_TEST_SUITE_P(Servers, StalledServer, testing::ValuesIn(stallCases),
                         caseName<StallCase>);

// Cases whose exact wording is not fixed: the run must end within its time-out, with status 0
// only when the server took the whole message, and an error line otherwise.
struct BoundedCase {
    const char* name;
    Script script;
    const char* rawMessage; // nullptr: a composed message
    bool largeMessage;      // a composed message too large for the socket buffers
    double maxSeconds;
};

// Printed as its name in test reports.
void PrintTo(const BoundedCase& c, std::ostream* os) {
    *os << c.name;
}

const BoundedCase boundedCases[] = {
    {"NulInsideAReplyLine", [](ScriptedServer& s) { s.split("HELO", {"250 ok\0 hidden\r\n"_b}); },
     nullptr, false, 2.5},
    {"NulStartingAReply", [](ScriptedServer& s) { s.split("MAIL", {"\0"_b + "250 ok\r\n"}); },
     nullptr, false, 2.5},
    {"NulBytesInTheGreeting",
     [](ScriptedServer& s) {
         s.split("CONNECT", {"220 \0\0\0 ready\r\n"_b, std::string(1, '\0')});
     },
     nullptr, false, 2.5},
    {"RawMessageWithoutFinalDot", [](ScriptedServer&) {}, "Subject: t\r\n\r\nno end\r\n", false,
     2.5},
    {"EmptyRawMessage", [](ScriptedServer&) {}, "", false, 2.5},
    // A server that stops reading the message for longer than the time-out fills the socket
    // buffers; the run may give up or go on once it reads again, but must not hang.
    {"ServerPausesWhileReadingTheMessage", [](ScriptedServer& s) { s.stall("DATA-BODY", 2500); },
     nullptr, true, 4.5},
    // The receive time-out bounds the whole reply; a server dribbling a reply that never
    // completes must not keep the run alive past it.
    {"ReplyDribbledForeverOneByteAtATime",
     [](ScriptedServer& s) {
         std::vector<std::string> pieces = {"250-"};
         for (int i = 0; i < 12; ++i) {
             pieces.emplace_back("x");
         }
         s.split("HELO", pieces);
         s.setPieceDelay(300);
     },
     nullptr, false, 2.5},
};

class BoundedRun : public testing::TestWithParam<BoundedCase> {};

TEST_P(BoundedRun, EndsInTimeAndNeverClaimsAnUnfinishedDelivery) {
    const BoundedCase& c = GetParam();
    TempDir dir;
    ScriptedServer server;
    c.script(server);
    Email job = jobFor(server.start(), dir);
    Lines expectedEntries;
    if (c.rawMessage != nullptr) {
        job.setRawFile(dir.write("raw.eml", c.rawMessage));
        expectedEntries = {"raw.eml"};
    }
    if (c.largeMessage) {
        job.setMessageText(largeBody());
    }

    const InProcessRun run = runSendMail(job);

    EXPECT_LT(run.seconds, c.maxSeconds);
    EXPECT_EQ(dir.entries(), expectedEntries);
    const bool delivered = wholeMessage(server.data());
    if (run.status == 0) {
        EXPECT_TRUE(delivered) << run.out;
    } else {
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.out.find("! Error"), std::string::npos) << run.out;
    }
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(Servers, BoundedRun, testing::ValuesIn(boundedCases),
                         caseName<BoundedCase>);

// ---- Every command refused in turn: the real binary, quiet. ---------------------------------

struct RefusalCase {
    const char* name;
    const char* step;
    const char* reply;
    bool authenticate;
    std::string out; // percentages left out
    int status;
    Lines commands;
    Data data;
};

// Printed as its name in test reports.
void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

const Lines authPrefix = {"EHLO localhost", "AUTH LOGIN", "dXNlcg==", "cGFzcw=="};

Lines authThen(const Lines& rest) {
    Lines all = authPrefix;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

const RefusalCase refusalCases[] = {
    {"Helo421",
     "HELO",
     "421 4.3.2 Shutting down",
     false,
     "! Error, giving up.\n\n",
     1,
     {"HELO localhost", "QUIT"},
     Data::none},
    {"Helo501",
     "HELO",
     "501 5.5.4 Syntax",
     false,
     "! Error in argumentlocalhost\n\n",
     1,
     {"HELO localhost", "QUIT"},
     Data::none},
    {"Ehlo554",
     "EHLO",
     "554 5.7.1 Go away",
     true,
     "! Error, giving up.\n",
     1,
     {"EHLO localhost", "QUIT"},
     Data::none},
    {"Ehlo501",
     "EHLO",
     "501 5.5.4 Syntax",
     true,
     "! Error in argument localhost\n\n",
     1,
     {"EHLO localhost", "QUIT"},
     Data::none},
    {"Ehlo502FallsBackToHelo",
     "EHLO",
     "502 5.5.1 No",
     true,
     "! Error, ESMTP not supported, attempting HELO...\n",
     0,
     {"EHLO localhost", "HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "DATA",
      "QUIT"},
     Data::whole},
    {"AuthLogin504GoesOnUnauthenticated",
     "AUTH",
     "504 5.5.4 Unrecognized",
     true,
     "",
     0,
     {"EHLO localhost", "AUTH LOGIN", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "DATA",
      "QUIT"},
     Data::whole},
    {"UserName535GoesOnUnauthenticated",
     "AUTH-NAME",
     "535 5.7.8 No",
     true,
     "",
     0,
     {"EHLO localhost", "AUTH LOGIN", "dXNlcg==", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>",
      "DATA", "QUIT"},
     Data::whole},
    {"Password535", "AUTH-PASS", "535 5.7.8 Bad", true, "! Authentication failure, quitting.\n", 1,
     authThen({"QUIT"}), Data::none},
    {"Password454", "AUTH-PASS", "454 4.7.0 Try later", true,
     "! Authentication failure, quitting.\n", 1, authThen({"QUIT"}), Data::none},
    {"Mail553",
     "MAIL",
     "553 5.7.1 Sender rejected",
     false,
     "! Error, sender address refused.\n",
     1,
     {"HELO localhost", "MAIL FROM: <me@x.test>", "QUIT"},
     Data::none},
    {"Mail451AfterAuthentication", "MAIL", "451 4.3.0 Try later", true,
     "! Error, sender address refused.\n", 1, authThen({"MAIL FROM: <me@x.test>", "QUIT"}),
     Data::none},
    {"Rcpt550",
     "RCPT",
     "550 5.1.1 Unknown",
     false,
     "! Something odd occurred, bailing out...\n",
     1,
     {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "QUIT"},
     Data::none},
    {"Rcpt452",
     "RCPT",
     "452 4.5.3 Too many",
     false,
     "! Something odd occurred, bailing out...\n",
     1,
     {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "QUIT"},
     Data::none},
    {"Data554", "DATA", "554 5.5.1 No valid recipients", false,
     "! Error, remote server doesn't want your data.\n", 1, heloCommands, Data::none},
    {"Data451", "DATA", "451 4.3.0 Try later", false,
     "! Error, remote server doesn't want your data.\n", 1, heloCommands, Data::none},
    {"Message552", "DATA-END", "552 5.3.4 Too big", false, "! Data transmission error.\n", 1,
     heloCommands, Data::whole},
    {"Message451", "DATA-END", "451 4.3.0 Try later", false, "! Data transmission error.\n", 1,
     heloCommands, Data::whole},
    {"Quit500AfterAcceptanceStillDelivered", "QUIT", "500 5.5.2 What", false, "", 0, heloCommands,
     Data::whole},
};

class RefusingServer : public testing::TestWithParam<RefusalCase> {};

TEST_P(RefusingServer, StatusTellsWhetherTheMessageWasTaken) {
    const RefusalCase& c = GetParam();
    TempDir dir;
    ScriptedServer server;
    server.reply(c.step, c.reply);
    const unsigned short port = server.start();
    Lines args = composeArgs(port);
    if (c.authenticate) {
        args.insert(args.end(), {"-A", "user:pass"});
    }

    const RunResult run = runBrenvox(args, dir.path());

    bool completed = false;
    EXPECT_EQ(withoutProgress(run.out, &completed), c.out);
    EXPECT_EQ(completed, c.data == Data::whole);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(server.commands(), c.commands);
    EXPECT_EQ(wholeMessage(server.data()), c.data == Data::whole);
    EXPECT_EQ(dir.entries(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(Commands, RefusingServer, testing::ValuesIn(refusalCases),
                         caseName<RefusalCase>);

} // namespace
