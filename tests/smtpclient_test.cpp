// The SMTP command layer against a scripted server: the bytes of every command, how replies
// are gathered from pieces, and the failures passed up from the connection.
#include "scriptedserver.h"
#include "smtpclient.h"
#include "socketexception.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

namespace {

// Names each instance after its case.
template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& instance) {
    return instance.param.name;
}

const char* const host = "127.0.0.1";
const std::string greeting = "220 scripted.test ESMTP ready\r\n";

std::string joined(const std::vector<std::string>& pieces) {
    std::string all;
    for (const std::string& piece : pieces) {
        all += piece;
    }
    return all;
}

struct CommandCase {
    const char* name;
    std::function<std::string(SmtpClient&)> operation;
    std::string sent;  // every byte the server receives
    std::string reply; // what the operation returns
};

class SmtpCommand : public testing::TestWithParam<CommandCase> {};

TEST_P(SmtpCommand, SendsExactBytesAndReturnsTheWholeReply) {
    ScriptedServer server;
    const unsigned short port = server.start();
    {
        SmtpClient client(34);
        EXPECT_EQ(client.connect(host, port), greeting);
        EXPECT_EQ(GetParam().operation(client), GetParam().reply);
    }
    EXPECT_EQ(server.received(), GetParam().sent);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SmtpCommand,
    testing::Values(
        CommandCase{"Ehlo", [](SmtpClient& c) { return c.ehlo("client.test"); },
                    "EHLO client.test\r\n",
                    "250-scripted.test\r\n250-SIZE 10240000\r\n250 AUTH LOGIN\r\n"},
        CommandCase{"Helo", [](SmtpClient& c) { return c.helo("client.test"); },
                    "HELO client.test\r\n", "250 scripted.test\r\n"},
        CommandCase{"AuthLogin", [](SmtpClient& c) { return c.authLogin(); }, "AUTH LOGIN\r\n",
                    "334 VXNlcm5hbWU6\r\n"},
        CommandCase{"AuthName",
                    [](SmtpClient& c) {
                        c.authLogin();
                        return c.sendAuthName("dXNlcg==");
                    },
                    "AUTH LOGIN\r\ndXNlcg==\r\n", "334 UGFzc3dvcmQ6\r\n"},
        CommandCase{"AuthPass",
                    [](SmtpClient& c) {
                        c.authLogin();
                        c.sendAuthName("dXNlcg==");
                        return c.sendAuthPass("cGFzcw==");
                    },
                    "AUTH LOGIN\r\ndXNlcg==\r\ncGFzcw==\r\n",
                    "235 2.7.0 Authentication successful\r\n"},
        CommandCase{"MailFromBracketed", [](SmtpClient& c) { return c.mailFrom("<a@b.test>"); },
                    "MAIL FROM: <a@b.test>\r\n", "250 2.1.0 Ok\r\n"},
        CommandCase{"MailFromBare", [](SmtpClient& c) { return c.mailFrom("a@b.test"); },
                    "MAIL FROM: a@b.test\r\n", "250 2.1.0 Ok\r\n"},
        CommandCase{"RcptTo", [](SmtpClient& c) { return c.rcptTo("<c@d.test>"); },
                    "RCPT TO: <c@d.test>\r\n", "250 2.1.5 Ok\r\n"},
        CommandCase{"Data", [](SmtpClient& c) { return c.data(); }, "DATA\r\n",
                    "354 End data with <CR><LF>.<CR><LF>\r\n"},
        CommandCase{"SendData",
                    [](SmtpClient& c) {
                        c.data();
                        return c.sendData({"Subject: s", "", ".not doubled", "."});
                    },
                    "DATA\r\nSubject: s\r\n\r\n.not doubled\r\n.\r\n", "250 2.0.0 Ok: queued\r\n"},
        CommandCase{"Noop", [](SmtpClient& c) { return c.noop(); }, "NOOP\r\n", "250 2.0.0 Ok\r\n"},
        CommandCase{"Rset", [](SmtpClient& c) { return c.rset(); }, "RSET\r\n", "250 2.0.0 Ok\r\n"},
        CommandCase{"Quit", [](SmtpClient& c) { return c.quit(); }, "QUIT\r\n",
                    "221 2.0.0 Bye\r\n"}),
    caseName<CommandCase>);

struct PiecesCase {
    const char* name;
    std::vector<std::string> pieces;
};

class SmtpReplyPieces : public testing::TestWithParam<PiecesCase> {};

// The same pieces serve as greeting and as EHLO reply; QUIT then shows nothing was left over.
TEST_P(SmtpReplyPieces, AreJoinedIntoOneReply) {
    ScriptedServer server;
    server.split("CONNECT", GetParam().pieces);
    server.split("EHLO", GetParam().pieces);
    const unsigned short port = server.start();
    SmtpClient client(34);
    EXPECT_EQ(client.connect(host, port), joined(GetParam().pieces));
    EXPECT_EQ(client.ehlo("client.test"), joined(GetParam().pieces));
    EXPECT_EQ(client.quit(), "221 2.0.0 Bye\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SmtpReplyPieces,
    testing::Values(PiecesCase{"SixtyBytesAtOnce", {"250 " + std::string(54, 'a') + "\r\n"}},
                    PiecesCase{"OneByteWrites", ScriptedServer::oneByteEach("250 ok\r\n")},
                    PiecesCase{
                        "SplitAfterEveryInnerLineFeed",
                        {"250-scripted.test\r\n", "250-SIZE 10240000\r\n", "250 AUTH LOGIN\r\n"}},
                    PiecesCase{"PiecesLongerThanOneReceive",
                               {"250-" + std::string(40, 'a') + "\r\n250-" + std::string(30, 'b'),
                                "\r\n250 " + std::string(36, 'c') + "\r\n"}},
                    PiecesCase{"CarriageReturnAndLineFeedApart", {"250 ok\r", "\n"}},
                    PiecesCase{"HyphenArrivesAlone", {"250-a\r\n", "250", "-b\r\n", "250 c\r\n"}},
                    PiecesCase{"LastLineWithoutCode", {"250-a\r\n", "ok\r\n"}}),
    caseName<PiecesCase>);

struct CloseCase {
    const char* name;
    const char* step;
    std::vector<std::string> pieces; // empty: the step's usual reply
    std::size_t piecesSent;
    int operationsDone;
};

class SmtpServerCloses : public testing::TestWithParam<CloseCase> {};

TEST_P(SmtpServerCloses, EndsTheOperationWithConnectionReset) {
    const CloseCase& c = GetParam();
    ScriptedServer server;
    if (!c.pieces.empty()) {
        server.split(c.step, c.pieces);
    }
    server.closeAfter(c.step, c.piecesSent);
    const unsigned short port = server.start();
    SmtpClient client(34);
    int done = 0;
    try {
        client.connect(host, port);
        ++done;
        client.ehlo("client.test");
        ++done;
        client.mailFrom("<a@b.test>");
        FAIL() << "no exception";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.errNum(), ECONNRESET);
        EXPECT_EQ(e.errMsg(), "Connection closed by server");
    }
    EXPECT_EQ(done, c.operationsDone);
}

INSTANTIATE_TEST_SUITE_P(
    Closes, SmtpServerCloses,
    testing::Values(CloseCase{"EmptyGreeting", "CONNECT", {}, 0, 0},
                    CloseCase{"AfterGreeting", "CONNECT", {}, 1, 1},
                    CloseCase{"MidMultiLineReply", "EHLO", {"250-a\r\n", "250 b\r\n"}, 1, 1},
                    CloseCase{"MidLine", "EHLO", {"250 o", "k\r\n"}, 1, 1},
                    CloseCase{"BeforeReply", "MAIL", {}, 0, 2}),
    caseName<CloseCase>);

struct TooLongCase {
    const char* name;
    std::string reply;
};

class SmtpReplyTooLong : public testing::TestWithParam<TooLongCase> {};

TEST_P(SmtpReplyTooLong, EndsWithMessageSizeError) {
    ScriptedServer server;
    server.split("EHLO", {GetParam().reply});
    const unsigned short port = server.start();
    SmtpClient client(1380);
    client.connect(host, port);
    try {
        client.ehlo("client.test");
        FAIL() << "no exception";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.errNum(), EMSGSIZE);
        EXPECT_EQ(e.errMsg(), "Reply from server too long");
    }
}

std::string continuationLines(std::size_t bytes) {
    std::string lines;
    while (lines.size() < bytes) {
        lines += "250-more\r\n";
    }
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SmtpReplyTooLong,
    testing::Values(TooLongCase{"EndlessContinuation", continuationLines(1100 * 1024)},
                    TooLongCase{"EndlessLine", "250 " + std::string(1100 * 1024, 'x')}),
    caseName<TooLongCase>);

TEST(SmtpReplyLength, LongCompleteReplyIsReturnedWhole) {
    const std::string reply = continuationLines(1000 * 1024) + "250 end\r\n";
    ScriptedServer server;
    server.split("EHLO", {reply});
    const unsigned short port = server.start();
    SmtpClient client(1380);
    client.connect(host, port);
    EXPECT_EQ(client.ehlo("client.test"), reply);
}

TEST(SmtpSession, QuitClosesTheSocketAfterItsReply) {
    ScriptedServer server;
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.connect(host, port);
    EXPECT_TRUE(client.socket().isOpen());
    EXPECT_EQ(client.quit(), "221 2.0.0 Bye\r\n");
    EXPECT_FALSE(client.socket().isOpen());
}

TEST(SmtpSession, TimeoutsReachTheSocketOnlyAtConnect) {
    ScriptedServer server;
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.setTransmitTimeout(7);
    client.setReceiveTimeout(9);
    EXPECT_EQ(client.socket().getTransmitTimeout(), 60);
    EXPECT_EQ(client.socket().getReceiveTimeout(), 120);
    client.connect(host, port);
    EXPECT_EQ(client.socket().getTransmitTimeout(), 7);
    EXPECT_EQ(client.socket().getReceiveTimeout(), 9);
    client.setReceiveTimeout(1);
    EXPECT_EQ(client.socket().getReceiveTimeout(), 9);
}

TEST(SmtpSession, LargeMessageArrivesUnchanged) {
    StringList lines(40000, std::string(98, 'm'));
    for (std::size_t i = 0; i < lines.size(); i += 7) {
        lines[i] = "line " + std::to_string(i);
    }
    lines.emplace_back(".");
    std::string expected;
    for (const std::string& line : lines) {
        expected += line + "\r\n";
    }
    ScriptedServer server;
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.connect(host, port);
    client.data();
    EXPECT_EQ(client.sendData(lines), "250 2.0.0 Ok: queued\r\n");
    client.quit();
    EXPECT_EQ(server.data(), expected);
}

TEST(SmtpFailure, ReceiveTimeoutSetBeforeConnectIsInForce) {
    ScriptedServer server;
    server.stall("CONNECT", 1500);
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.setReceiveTimeout(1);
    try {
        client.connect(host, port);
        FAIL() << "no exception";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.errNum(), EAGAIN);
        EXPECT_EQ(e.errMsg(), "Problem encountered receiving data");
    }
}

// The test process keeps the default SIGPIPE disposition: a signal would kill it here.
TEST(SmtpFailure, SendingDataToAServerThatHasGoneThrowsTheSendFailure) {
    ScriptedServer server;
    server.closeAfter("DATA", 1);
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.connect(host, port);
    EXPECT_EQ(client.data(), "354 End data with <CR><LF>.<CR><LF>\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(400)); // until the server has gone
    try {
        client.sendData(StringList(40000, std::string(98, 'm')));
        FAIL() << "no exception";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.errMsg(), "Problem encountered sending data");
        EXPECT_TRUE(e.errNum() == EPIPE || e.errNum() == ECONNRESET) << e.errNum();
    }
}

} // namespace
