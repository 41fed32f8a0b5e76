// The transport half of the benchmarks' "limit" row: one plain SMTP session
// that hands a ready-made message file (CR LF line ends, ending in ".\r\n") to
// the kernel with sendfile, so no user-space copy is made at all.
//
// usage: brenvox_rawpush PORT MESSAGEFILE

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int fail(const char* what) {
    std::perror(what);
    return 1;
}

// Reads until a reply line "ddd " arrives; returns its code, 0 on failure.
int readReply(int fd) {
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return 0;
        }
        text.append(chunk, static_cast<std::size_t>(n));
        std::size_t start = 0;
        std::size_t end;
        while ((end = text.find('\n', start)) != std::string::npos) {
            if (end - start >= 4 && text[start + 3] == ' ') {
                return std::atoi(text.c_str() + start);
            }
            start = end + 1;
        }
    }
}

bool command(int fd, const std::string& line, int expected) {
    const std::string text = line + "\r\n";
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size()) &&
           readReply(fd) == expected;
}

bool pushFile(int socketFd, int fileFd) {
    struct stat info {};
    if (fstat(fileFd, &info) != 0) {
        return false;
    }
    off_t offset = 0;
    while (offset < info.st_size) {
        const ssize_t n =
            sendfile(socketFd, fileFd, &offset, static_cast<std::size_t>(info.st_size - offset));
        if (n <= 0 && errno != EINTR) {
            return false;
        }
    }
    return readReply(socketFd) == 250;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT MESSAGEFILE\n", argv[0]);
        return 2;
    }
    const int fileFd = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fileFd < 0) {
        return fail(argv[2]);
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail("connect");
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const bool delivered = readReply(fd) == 220 && command(fd, "HELO limit", 250) &&
                           command(fd, "MAIL FROM:<limit@bench.test>", 250) &&
                           command(fd, "RCPT TO:<sink@bench.test>", 250) &&
                           command(fd, "DATA", 354) && pushFile(fd, fileFd) &&
                           command(fd, "QUIT", 221);
    close(fd);
    close(fileFd);
    if (!delivered) {
        std::fprintf(stderr, "rawpush: session failed\n");
        return 1;
    }
    return 0;
}
