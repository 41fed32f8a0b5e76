// A fast loopback SMTP sink for the benchmarks: accepts any envelope, takes the
// data in large receives and answers at once, so the sender is measured, not
// the server. Each finished session appends one line to the log:
// "complete BYTES" per message received, "incomplete BYTES" for data cut off.
//
// usage: brenvox_sink [--tls CERT KEY] LOGFILE [SAVEDIR]
// Prints the port it listens on (127.0.0.1) and serves one session at a time
// until killed. With SAVEDIR every message is also stored as SAVEDIR/N.eml, as
// it went over the wire (dot-stuffed, ending in ".\r\n"). With --tls it offers
// STARTTLS with the PEM certificate and key given. It offers PIPELINING and, once
// in TLS (or without --tls), AUTH PLAIN and LOGIN, taking any credentials.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t receiveSize = 4 * 1024 * 1024;
SSL_CTX* tlsContext = nullptr; // set by --tls

bool sendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string replyTo(const std::string& line, bool inTls) {
    std::string verb = line.substr(0, 4);
    for (char& c : verb) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    if (verb == "EHLO") {
        return tlsContext != nullptr && !inTls
                   ? "250-sink\r\n250-PIPELINING\r\n250-STARTTLS\r\n250 SIZE 0\r\n"
                   : "250-sink\r\n250-PIPELINING\r\n250-8BITMIME\r\n250-AUTH PLAIN LOGIN\r\n"
                     "250 SIZE 0\r\n";
    }
    if (verb == "DATA") {
        return "354 go ahead\r\n";
    }
    if (verb == "QUIT") {
        return "221 bye\r\n";
    }
    if (verb == "STAR") {
        return tlsContext != nullptr && !inTls ? "220 go ahead\r\n" : "454 TLS not available\r\n";
    }
    return "250 ok\r\n";
}

// Finds the end of the data, "\r\n.\r\n", across receives. The data starts
// right after the CR LF of the DATA command, so history starts as "\r\n".
class EndFinder {
  public:
    void reset() {
        history = "\r\n";
        pending.clear();
    }

    // The offset just past the terminator in chunk, or npos when not there.
    std::size_t find(const char* chunk, std::size_t size) {
        std::size_t from = 0;
        if (!pending.empty()) {
            const std::size_t end = completePending(chunk, size);
            if (end != std::string::npos) {
                return end;
            }
        }
        while (from < size) {
            const auto* dot = static_cast<const char*>(std::memchr(chunk + from, '.', size - from));
            if (dot == nullptr) {
                break;
            }
            const std::size_t at = static_cast<std::size_t>(dot - chunk);
            if (precededByLineEnd(chunk, at)) {
                const std::size_t after = size - at;
                if (after >= 3) {
                    if (dot[1] == '\r' && dot[2] == '\n') {
                        return at + 3;
                    }
                } else {
                    pending.assign(dot, after);
                    break;
                }
            }
            from = at + 1;
        }
        remember(chunk, size);
        return std::string::npos;
    }

  private:
    bool precededByLineEnd(const char* chunk, std::size_t at) const {
        const char before1 = at >= 1 ? chunk[at - 1] : history[history.size() - 1];
        const char before2 = at >= 2 ? chunk[at - 2] : history[history.size() - 2 + at];
        return before2 == '\r' && before1 == '\n';
    }

    std::size_t completePending(const char* chunk, std::size_t size) {
        std::string joined = pending;
        joined.append(chunk, std::min<std::size_t>(size, 3));
        const std::size_t taken = pending.size();
        pending.clear();
        if (joined.size() >= 3 && joined.compare(0, 3, ".\r\n") == 0) {
            return 3 - taken;
        }
        return std::string::npos;
    }

    void remember(const char* chunk, std::size_t size) {
        history.append(chunk + (size > 2 ? size - 2 : 0), std::min<std::size_t>(size, 2));
        history.erase(0, history.size() - 2);
    }

    std::string history = "\r\n";
    std::string pending;
};

class Session {
  public:
    Session(int descriptor, FILE* logFile, const char* saveDirectory, int& messageNumber)
        : fd(descriptor), log(logFile), saveDir(saveDirectory), number(messageNumber),
          buffer(receiveSize) {}

    ~Session() { SSL_free(ssl); }

    void run() {
        if (!sendText("220 sink ready\r\n")) {
            return;
        }
        std::string pendingText;
        for (;;) {
            std::size_t lineEnd;
            while ((lineEnd = pendingText.find('\n')) != std::string::npos) {
                const std::string line = pendingText.substr(0, lineEnd + 1);
                pendingText.erase(0, lineEnd + 1);
                const std::string reply =
                    loginLines > 0 ? loginReply() : answer(line, ssl != nullptr);
                if (!sendText(reply)) {
                    return;
                }
                if (reply.compare(0, 3, "220") == 0 && !startTls(pendingText)) {
                    return;
                }
                if (reply.compare(0, 3, "221") == 0) {
                    return;
                }
                if (reply.compare(0, 3, "354") == 0 && !receiveData(pendingText)) {
                    return;
                }
            }
            const ssize_t n = receive();
            if (n <= 0) {
                return;
            }
            pendingText.append(buffer.data(), static_cast<std::size_t>(n));
        }
    }

  private:
    // AUTH PLAIN or LOGIN, any credentials: the lines still due after "AUTH MECH [response]".
    std::string loginReply() {
        return --loginLines > 0 ? "334 UGFzc3dvcmQ6\r\n" : "235 2.7.0 ok\r\n";
    }

    std::string answer(const std::string& line, bool inTls) {
        const auto words = std::count(line.begin(), line.end(), ' ') + 1;
        if (line.compare(0, 10, "AUTH PLAIN") == 0 || line.compare(0, 10, "auth plain") == 0) {
            loginLines = words == 2 ? 1 : 0;
            return words == 2 ? "334 \r\n" : "235 2.7.0 ok\r\n";
        }
        if (line.compare(0, 10, "AUTH LOGIN") == 0 || line.compare(0, 10, "auth login") == 0) {
            loginLines = words == 2 ? 2 : 1;
            return words == 2 ? "334 VXNlcm5hbWU6\r\n" : "334 UGFzc3dvcmQ6\r\n";
        }
        return replyTo(line, inTls);
    }

    bool startTls(std::string& pendingText) {
        pendingText.clear();
        ssl = SSL_new(tlsContext);
        return ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1;
    }

    ssize_t receive() {
        if (ssl == nullptr) {
            return recv(fd, buffer.data(), buffer.size(), 0);
        }
        std::size_t got = 0;
        return SSL_read_ex(ssl, buffer.data(), buffer.size(), &got) == 1 ? static_cast<ssize_t>(got)
                                                                         : -1;
    }

    bool sendText(const std::string& text) {
        std::size_t written = 0;
        return ssl == nullptr ? sendAll(fd, text)
                              : SSL_write_ex(ssl, text.data(), text.size(), &written) == 1;
    }

    // Takes the data; what follows the terminator is left in pendingText.
    bool receiveData(std::string& pendingText) {
        finder.reset();
        bytes = 0;
        openSaveFile();
        const std::string early = pendingText;
        pendingText.clear();
        if (!early.empty() && takeChunk(early.data(), early.size(), pendingText)) {
            return finishMessage();
        }
        for (;;) {
            const ssize_t n = receive();
            if (n <= 0) {
                logLine("incomplete");
                closeSaveFile();
                return false;
            }
            if (takeChunk(buffer.data(), static_cast<std::size_t>(n), pendingText)) {
                return finishMessage();
            }
        }
    }

    bool takeChunk(const char* chunk, std::size_t size, std::string& rest) {
        const std::size_t end = finder.find(chunk, size);
        const std::size_t used = end == std::string::npos ? size : end;
        bytes += used;
        if (saveFile != nullptr) {
            std::fwrite(chunk, 1, used, saveFile);
        }
        if (end != std::string::npos) {
            rest.assign(chunk + end, size - end);
        }
        return end != std::string::npos;
    }

    bool finishMessage() {
        closeSaveFile();
        logLine("complete");
        return sendText("250 ok: queued\r\n");
    }

    void openSaveFile() {
        if (saveDir != nullptr) {
            ++number;
            const std::string path = std::string(saveDir) + "/" + std::to_string(number) + ".eml";
            saveFile = std::fopen(path.c_str(), "wb");
        }
    }

    void closeSaveFile() {
        if (saveFile != nullptr) {
            std::fclose(saveFile);
            saveFile = nullptr;
        }
    }

    void logLine(const char* state) {
        std::fprintf(log, "%s %zu\n", state, bytes);
        std::fflush(log);
    }

    int fd;
    FILE* log;
    const char* saveDir;
    int& number;
    std::vector<char> buffer;
    EndFinder finder;
    std::size_t bytes = 0;
    FILE* saveFile = nullptr;
    SSL* ssl = nullptr;
    int loginLines = 0;
};

int listenOnLoopback() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0) {
        std::perror("listen");
        return -1;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN); // SSL_write to a sender that has gone
    if (argc > 3 && std::strcmp(argv[1], "--tls") == 0) {
        tlsContext = SSL_CTX_new(TLS_server_method());
        // Whole records per read: the sink must not be what limits the sender.
        SSL_CTX_set_read_ahead(tlsContext, 1);
        if (SSL_CTX_use_certificate_chain_file(tlsContext, argv[2]) != 1 ||
            SSL_CTX_use_PrivateKey_file(tlsContext, argv[3], SSL_FILETYPE_PEM) != 1) {
            std::fprintf(stderr, "cannot load %s and %s\n", argv[2], argv[3]);
            return 2;
        }
        argv += 3;
        argc -= 3;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s [--tls CERT KEY] LOGFILE [SAVEDIR]\n", argv[0]);
        return 2;
    }
    FILE* log = std::fopen(argv[1], "a");
    const int listener = log == nullptr ? -1 : listenOnLoopback();
    if (listener < 0) {
        return 1;
    }
    const char* saveDir = argc > 2 ? argv[2] : nullptr;
    int messageNumber = 0;
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Session(fd, log, saveDir, messageNumber).run();
        close(fd);
    }
}
