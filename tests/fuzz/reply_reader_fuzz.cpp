// The reply reader against a server writing replies made from the input: byte 0 picks the
// client's receive size, byte 1 the size of the server's writes, and each following line of the
// input becomes "250" + ("-" if its first byte is odd and a line follows, else " ") + the rest of
// it + CR LF. The client reads the greeting and then NOOP replies until the server closes: the
// replies joined must be exactly the bytes written, NUL and CR included.
#include "smtpclient.h"
#include "socketexception.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    static const int listener = [] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), length);
        listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return fd;
    }();
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string written;
    for (std::size_t at = 2, lf; at < input.size(); at = lf + 1) {
        lf = std::min(input.find('\n', at), input.size());
        const bool more = lf + 1 < input.size() && lf > at && (input[at] & 1) != 0;
        written +=
            (more ? "250-" : "250 ") + input.substr(at + 1, lf - std::min(lf, at + 1)) + "\r\n";
    }
    const std::size_t piece = size > 1 ? data[1] % 32U + 1 : 1;
    std::thread server([&] {
        const int connection = accept(listener, nullptr, nullptr);
        for (std::size_t at = 0; at < written.size(); at += piece) {
            send(connection, written.data() + at, std::min(piece, written.size() - at),
                 MSG_NOSIGNAL);
        }
        shutdown(connection, SHUT_WR);
        char sink[4096];
        while (recv(connection, sink, sizeof sink, 0) > 0) {
        }
        close(connection);
    });
    std::string joined;
    try {
        SmtpClient client(size > 0 ? data[0] % 64U + 1 : 1);
        client.setReceiveTimeout(10);
        joined = client.connect("127.0.0.1", ntohs(address.sin_port));
        while (joined.size() <= written.size()) {
            joined += client.noop();
        }
    } catch (const SocketException& e) {
        if (e.errMsg() != "Connection closed by server") {
            std::abort();
        }
    }
    server.join();
    if (joined != written) {
        std::abort();
    }
    return 0;
}
