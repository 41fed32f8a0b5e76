// The SMTP reply reader against a server that writes the fuzz input. Input: byte 0 picks the
// client's receive size (1 to 64), byte 1 the size of the pieces the server writes (1 to 32);
// the rest is what the server sends, after which it closes its side. The client takes the
// greeting and then one NOOP reply after another until the connection ends.
//
// Every reply returned must be non-empty and end in LF; the replies must be the input, in
// order, with nothing lost, doubled or changed (NUL bytes included), and what is left when the
// server closes must be an unfinished reply. Only the known transport errors may end the
// session.
#include "smtpclient.h"
#include "socketexception.h"

#include "fuzzsupport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

namespace {

// The reader's rule: complete once the text ends in LF and its last line is no continuation
// line (three digits and "-").
bool completeReply(const std::string& text) {
    if (text.empty() || text.back() != '\n') {
        return false;
    }
    const std::size_t lastLf = text.size() - 1;
    const std::size_t before = lastLf == 0 ? std::string::npos : text.rfind('\n', lastLf - 1);
    const std::size_t start = before == std::string::npos ? 0 : before + 1;
    auto digit = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    return !(lastLf - start >= 4 && digit(start) && digit(start + 1) && digit(start + 2) &&
             text[start + 3] == '-');
}

class Listener {
  public:
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        check(fd != -1 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  listen(fd, 4) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0,
              "cannot listen on 127.0.0.1");
        port = ntohs(address.sin_port);
    }
    int fd = -1;
    unsigned short port = 0;
};

// Accepts one client, writes bytes in pieces, ends its side, and reads until the client goes.
void serve(int listener, const std::string& bytes, std::size_t pieceSize) {
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection == -1) {
        return;
    }
    const int noDelay = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    for (std::size_t at = 0; at < bytes.size(); at += pieceSize) {
        const std::size_t size = std::min(pieceSize, bytes.size() - at);
        if (send(connection, bytes.data() + at, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
            break;
        }
    }
    shutdown(connection, SHUT_WR);
    char sink[4096];
    while (recv(connection, sink, sizeof sink, 0) > 0) {
    }
    close(connection);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Listener listener;
    static const std::set<std::string> knownErrors = {
        "Connection closed by server", "Reply from server too long",
        "Problem encountered receiving data", "Problem encountered sending data"};
    if (size < 2) {
        return 0;
    }
    const unsigned int receiveSize = data[0] % 64U + 1;
    const std::size_t pieceSize = data[1] % 32U + 1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::thread server(serve, listener.fd, bytes, pieceSize);
    std::string joined;
    bool closed = false;
    {
        SmtpClient client(receiveSize);
        client.setTransmitTimeout(10);
        client.setReceiveTimeout(10);
        try {
            std::string reply = client.connect("127.0.0.1", listener.port);
            // Each reply takes at least one byte, so this many operations reach the end.
            for (std::size_t op = 0; op <= bytes.size(); ++op) {
                check(!reply.empty() && reply.back() == '\n', "a reply that does not end in LF");
                joined += reply;
                reply = client.noop();
            }
            check(false, "more replies than bytes");
        } catch (const SocketException& e) {
            check(knownErrors.count(e.errMsg()) == 1, "an unknown transport error");
            closed = e.errMsg() == "Connection closed by server";
        }
    }
    server.join();

    check(bytes.compare(0, joined.size(), joined) == 0, "replies differ from what was sent");
    if (closed) {
        const std::string rest = bytes.substr(joined.size());
        check(!completeReply(rest), "a complete reply was left unread");
    }
    return 0;
}
