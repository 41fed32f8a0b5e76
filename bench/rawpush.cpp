// The transport half of the benchmarks' "limit" row: one plain SMTP session
// that hands a ready-made message file (CR LF line ends, ending in ".\r\n") to
// the kernel with sendfile, so no user-space copy is made at all. With --encode
// the one-process limit instead, what a sender that composes its message into a
// file needs at least: FILE's bytes are read and base64-encoded in lines of 76
// (two characters per table look-up) into a new file beside it, whose name goes
// at once, and that file is pushed as above.
//
// usage: brenvox_rawpush [--encode] PORT FILE

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Pairs {
    char pair[4096][2];
    Pairs() {
        for (unsigned v = 0; v < 4096; ++v) {
            pair[v][0] = alphabet[v >> 6];
            pair[v][1] = alphabet[v & 63U];
        }
    }
};

char* encodeLine(const Pairs& pairs, const unsigned char* in, std::size_t size, char* out) {
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3, out += 4) {
        const unsigned v = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(out, pairs.pair[v >> 12], 2);
        std::memcpy(out + 2, pairs.pair[v & 0xFFFU], 2);
    }
    if (i < size) {
        const unsigned b0 = in[i], b1 = i + 1 < size ? in[i + 1] : 0U;
        *out++ = alphabet[b0 >> 2];
        *out++ = alphabet[((b0 & 3U) << 4) | (b1 >> 4)];
        *out++ = i + 1 < size ? alphabet[(b1 & 15U) << 2] : '=';
        *out++ = '=';
    }
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

// The message file of FILE's bytes, open for reading; -1 on failure.
int encodeToFile(int fileFd, const std::string& path) {
    static const Pairs pairs;
    constexpr std::size_t lineBytes = 57, blockLines = 4096;
    const std::string name = path + ".limit.eml";
    const int out = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        return -1;
    }
    unlink(name.c_str());
    std::vector<unsigned char> in(lineBytes * blockLines);
    std::string text = "Subject: limit\r\nMIME-Version: 1.0\r\n"
                       "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::size_t head = text.size();
    text.resize(head + blockLines * 78 + 3);
    char* end = &text[head];
    for (std::size_t filled = in.size(); filled == in.size();) {
        filled = 0;
        ssize_t n = 0;
        while (filled < in.size() &&
               (n = read(fileFd, in.data() + filled, in.size() - filled)) > 0) {
            filled += static_cast<std::size_t>(n);
        }
        for (std::size_t at = 0; at < filled; at += lineBytes) {
            end = encodeLine(pairs, in.data() + at, std::min(lineBytes, filled - at), end);
        }
        if (filled < in.size()) {
            std::memcpy(end, ".\r\n", 3);
            end += 3;
        }
        const auto size = static_cast<std::size_t>(end - text.data());
        if (n < 0 || write(out, text.data(), size) != static_cast<ssize_t>(size)) {
            close(out);
            return -1;
        }
        end = text.data();
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    const bool encode = argc == 4 && std::strcmp(argv[1], "--encode") == 0;
    argv += encode ? 1 : 0;
    if (argc != (encode ? 4 : 3)) {
        std::fprintf(stderr, "usage: %s [--encode] PORT FILE\n", argv[0]);
        return 2;
    }
    int fileFd = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fileFd >= 0 && encode) {
        const int input = fileFd;
        fileFd = encodeToFile(input, argv[2]);
        close(input);
    }
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
