// The SMTP reply reader against a server that writes replies made from the fuzz input: byte 0
// picks the client's receive size, byte 1 the size of the server's writes; each following
// line of the input becomes one reply line "250" + ("-" when its first byte is odd, else " ")
// + the rest of it + CR LF, the last line closing the last reply. The client reads the greeting
// and then NOOP replies until the server closes: the replies joined must be exactly the bytes
// written, NUL and CR included.
#include "smtpclient.h"
#include "socketexception.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    std::string written;
    const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);
    for (std::size_t at = 0, lf; at < input.size(); at = lf + 1) {
        lf = std::min(input.find('\n', at), input.size());
        const std::string line = input.substr(at, lf - at);
        const bool more = lf < input.size() && !line.empty() && (line[0] & 1) != 0;
        written +=
            "250" + std::string(more ? "-" : " ") + line.substr(line.empty() ? 0 : 1) + "\r\n";
    }
    static unsigned short port = 0;
    static const int listener = [] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 4) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::abort();
        }
        port = ntohs(address.sin_port);
        return fd;
    }();
    const std::size_t piece = data[1] % 32U + 1;
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
    {
        SmtpClient client(data[0] % 64U + 1);
        client.setReceiveTimeout(10);
        try {
            joined = client.connect("127.0.0.1", port);
            while (joined.size() <= written.size()) {
                joined += client.noop();
            }
        } catch (const SocketException& e) {
            if (e.errMsg() != "Connection closed by server") {
                std::abort();
            }
        }
    }
    server.join();
    if (joined != written) {
        std::abort();
    }
    return 0;
}
