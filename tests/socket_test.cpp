// The TCP client transport: set-up, transfers and every failure it reports.
#include "clientsocket.h"
#include "scriptedserver.h"
#include "socketexception.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// Names each instance after its case.
template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& instance) {
    return instance.param.name;
}

TEST(ClientSocketSetup, ConstructorsHoldReceiveSizeAndTimeouts) {
    const ClientSocket standard;
    const ClientSocket small(34);
    const struct {
        const ClientSocket& socket;
        int size;
    } cases[] = {{standard, 1380}, {small, 34}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.socket.getMaxBufferSize(), c.size);
        EXPECT_EQ(c.socket.getTransmitTimeout(), 60);
        EXPECT_EQ(c.socket.getReceiveTimeout(), 120);
        EXPECT_FALSE(c.socket.isOpen());
    }
}

TEST(ClientSocketSetup, CloseWithoutConnectionReturnsZero) {
    ClientSocket socket;
    EXPECT_EQ(socket.socketClose(), 0);
    EXPECT_EQ(socket.socketClose(), 0);
}

TEST(ClientSocketTransfer, GreetingLongerThanBufferContinuesInNextReceive) {
    const std::string greeting = "220 " + std::string(54, 'g') + "\r\n";
    ScriptedServer server;
    server.split("CONNECT", {greeting});
    const unsigned short port = server.start();
    ClientSocket socket(34);
    EXPECT_EQ(socket.socketOpen("127.0.0.1", port), greeting.substr(0, 34));
    EXPECT_EQ(socket.socketReceive(), greeting.substr(34));
}

TEST(ClientSocketTransfer, SendReturnsItsArgumentAndDeliversIt) {
    ScriptedServer server;
    const unsigned short port = server.start();
    ClientSocket socket;
    socket.socketOpen("localhost", port);
    EXPECT_EQ(socket.socketSend("NOOP\r\n"), "NOOP\r\n");
    EXPECT_EQ(socket.socketReceive(), "250 2.0.0 Ok\r\n");
    EXPECT_EQ(socket.socketClose(), 0);
    EXPECT_FALSE(socket.isOpen());
    EXPECT_EQ(socket.socketClose(), 0);
    EXPECT_EQ(server.received(), "NOOP\r\n");
}

TEST(ClientSocketTransfer, PeerClosingAtOnceGivesEmptyText) {
    ScriptedServer server;
    server.closeAfter("CONNECT");
    const unsigned short port = server.start();
    ClientSocket socket;
    EXPECT_EQ(socket.socketOpen("127.0.0.1", port), "");
    EXPECT_TRUE(socket.isOpen());
}

TEST(ClientSocketTransfer, NulBytesAreKept) {
    ScriptedServer server;
    const std::string greeting("\0"
                               "220 a\0b\r\n",
                               10);
    server.split("CONNECT", {greeting});
    const unsigned short port = server.start();
    ClientSocket socket;
    EXPECT_EQ(socket.socketOpen("127.0.0.1", port), greeting);
}

// A port on which nothing listens: bound, so no one else takes it, but not listening.
class UnusedPort {
  public:
    UnusedPort() : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        number = ntohs(address.sin_port);
    }
    ~UnusedPort() { close(fd); }
    unsigned short port() const { return number; }

  private:
    int fd;
    unsigned short number = 0;
};

enum class Peer { none, notListening, silent };

struct OpenFailure {
    const char* name;
    const char* host;
    Peer peer;
    const char* message;
    int errorNumber; // -1: not checked (the resolver's code is not carried)
};

class ClientSocketOpenFailure : public testing::TestWithParam<OpenFailure> {};

TEST_P(ClientSocketOpenFailure, ThrowsMessageAndErrno) {
    const OpenFailure& c = GetParam();
    UnusedPort unused;
    ScriptedServer server;
    server.stall("CONNECT", 1500);
    unsigned short port = 25;
    if (c.peer == Peer::notListening) {
        port = unused.port();
    } else if (c.peer == Peer::silent) {
        port = server.start();
    }
    ClientSocket socket;
    socket.setReceiveTimeout(1);
    try {
        socket.socketOpen(c.host, port);
        FAIL() << "no exception";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.errMsg(), c.message);
        if (c.errorNumber != -1) {
            EXPECT_EQ(e.errNum(), c.errorNumber);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ClientSocketOpenFailure,
                         testing::Values(OpenFailure{"Unresolvable", "nonexistent.invalid",
                                                     Peer::none, "Unable to resolve host name", -1},
                                         OpenFailure{"NothingListening", "127.0.0.1",
                                                     Peer::notListening,
                                                     "Unable to connect to server", ECONNREFUSED},
                                         OpenFailure{"SilentServer", "127.0.0.1", Peer::silent,
                                                     "Problem encountered receiving data", EAGAIN}),
                         caseName<OpenFailure>);

// The test process keeps the default SIGPIPE disposition: a signal would kill it here.
TEST(ClientSocketFailure, SendToClosedPeerThrowsInsteadOfSignal) {
    ScriptedServer server;
    server.closeAfter("CONNECT", 1);
    const unsigned short port = server.start();
    ClientSocket socket;
    socket.socketOpen("127.0.0.1", port);
    try {
        for (int attempt = 0; attempt < 200; ++attempt) {
            socket.socketSend(std::string(1024, 'x'));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << "every send succeeded";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.errMsg(), "Problem encountered sending data");
        EXPECT_TRUE(e.errNum() == EPIPE || e.errNum() == ECONNRESET) << e.errNum();
    }
}

} // namespace
