#include "clientsocket.h"

#include "awaitreadable.h"
#include "retry.h"
#include "socketexception.h"
#include "tlssession.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>
#include <utility>

namespace {

// A time-out the platform refuses just leaves the socket without it.
void setTimeout(int descriptor, int option, int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    limit.tv_usec = 0;
    setsockopt(descriptor, SOL_SOCKET, option, &limit, sizeof limit);
}

// A connect() interrupted by a signal carries on in the background (POSIX); wait for its outcome
// within the send time-out, which bounds the attempt otherwise. Leaves errno set on failure.
bool awaitConnect(int descriptor, int seconds) {
    pollfd watch{descriptor, POLLOUT, 0};
    const int waitMs = seconds > 0 && seconds < INT_MAX / 1000 ? seconds * 1000 : -1;
    const int ready = retryOnEintr([&] { return poll(&watch, 1, waitMs); });
    if (ready == 0) {
        errno = EINPROGRESS;
        return false;
    }
    if (ready < 0) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length);
    errno = error;
    return error == 0;
}

// sendfile has no MSG_NOSIGNAL: a peer gone raises SIGPIPE, held blocked for
// the transfer and taken back unless it was pending before.
class SigpipeHeld {
  public:
    SigpipeHeld() {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &saved);
        wasPending = isPending();
    }
    ~SigpipeHeld() {
        if (!wasPending && isPending()) {
            const timespec now{};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

  private:
    bool isPending() const {
        sigset_t pending;
        return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    sigset_t pipe{};
    sigset_t saved{};
    bool wasPending = false;
};

// With a time-out the socket must not block, so that the wait is poll's.
class NonBlocking {
  public:
    NonBlocking(int descriptor, bool wanted)
        : fd(descriptor), flags(wanted ? fcntl(fd, F_GETFL) : -1) {
        if (flags != -1) {
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
    ~NonBlocking() {
        if (flags != -1) {
            fcntl(fd, F_SETFL, flags);
        }
    }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;

  private:
    int fd;
    int flags;
};

} // namespace

ClientSocket::ClientSocket(int buffSize) : maxBufferSize(buffSize) {}

ClientSocket::~ClientSocket() {
    socketClose();
}

void ClientSocket::setTransmitTimeout(int val) {
    txTimeout = val;
}

void ClientSocket::setReceiveTimeout(int val) {
    rxTimeout = val;
}

// Every address the name resolves to, IPv6 and IPv4, in the resolver's order
// (RFC 6724), until one connects; each attempt is bounded by the send time-out.
// The last failure is the one reported.
void ClientSocket::socketConnect(std::string serverName, unsigned short port) {
    socketClose(); // a second open must not leak the first connection
    errno = 0;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = getaddrinfo(serverName.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        const int number = resolved == EAI_SYSTEM ? errno : 0;
        throw SocketException(number, "Unable to resolve host name",
                              resolved == EAI_SYSTEM ? "" : gai_strerror(resolved));
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, freeaddrinfo);
    int failure = 0;
    const char* failed = "Unable to connect to server";
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        if (connectTo(*address)) {
            return;
        }
        failure = errno;
        failed = descriptor == -1 ? "Unable to allocate socket" : "Unable to connect to server";
        socketClose();
    }
    throw SocketException(failure, failed);
}

bool ClientSocket::connectTo(const addrinfo& address) {
    descriptor = socket(address.ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor == -1) {
        return false;
    }
    // Set before connect: on Linux the send time-out also bounds the connection attempt.
    setTimeout(descriptor, SO_SNDTIMEO, txTimeout);
    setTimeout(descriptor, SO_RCVTIMEO, rxTimeout);
    // Command lines are written whole; waiting to coalesce them only adds a round trip.
    const int noDelay = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return connect(descriptor, address.ai_addr, address.ai_addrlen) == 0 ||
           (errno == EINTR && awaitConnect(descriptor, txTimeout));
}

void ClientSocket::handshakeTls(const TlsOptions& options) {
    if (descriptor == -1) {
        throw SocketException(ENOTCONN, "TLS handshake failed");
    }
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(rxTimeout);
    std::unique_ptr<TlsSession> session =
        preparedTls ? std::move(preparedTls) : std::make_unique<TlsSession>(options);
    session->handshake(descriptor, deadline, rxTimeout <= 0);
    tls = std::move(session);
}

void ClientSocket::prepareTls(const TlsOptions& options) {
    preparedTls = std::make_unique<TlsSession>(options);
}

bool ClientSocket::dataWaiting() const {
    char byte;
    return (tls && tls->pending()) ||
           (descriptor != -1 && recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1);
}

std::string ClientSocket::tlsDescription() const {
    return tls ? tls->description() : std::string();
}

std::string ClientSocket::socketSend(std::string msg) {
    socketSend(msg.data(), msg.size());
    return msg;
}

// One deadline bounds all the bytes of a send, 0 meaning none as for the socket option. A short
// send goes on with the rest, so a message is never cut silently.
void ClientSocket::socketSend(const char* data, std::size_t size) {
    errno = 0;
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(txTimeout);
    const Deadline* bound = txTimeout > 0 ? &deadline : nullptr;
    if (tls) {
        tls->write(data, size, bound);
    } else if (!sendAllBefore(descriptor, data, size, bound)) {
        throw SocketException(errno, "Problem encountered sending data");
    }
}

void ClientSocket::socketSendFile(int fd, off_t offset, std::uint64_t size, const SentSoFar& sent) {
    errno = 0;
    if (tls) {
        sendFileOverTls(fd, offset, size, sent);
    } else {
        sendFilePlain(fd, offset, size, sent);
    }
}

// Each block must go within the time-out, as with socketSend, but the kernel
// takes as much as the socket will hold at a time.
void ClientSocket::sendFilePlain(int fd, off_t offset, std::uint64_t size, const SentSoFar& sent) {
    const SigpipeHeld held;
    const NonBlocking mode(descriptor, txTimeout > 0);
    Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(txTimeout);
    std::uint64_t done = 0;
    std::uint64_t blockStart = 0;
    while (done < size) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, SSIZE_MAX));
        const ssize_t count =
            retryOnEintr([&] { return sendfile(descriptor, fd, &offset, wanted); });
        if (count > 0) {
            done += static_cast<std::uint64_t>(count);
            if (done - blockStart >= fileBlockSize) {
                blockStart = done;
                deadline = std::chrono::steady_clock::now() + std::chrono::seconds(txTimeout);
            }
            sent(done);
        } else if (count == 0) {
            throw SocketException(EIO, "Problem encountered reading message file");
        } else if (txTimeout <= 0 || (errno != EAGAIN && errno != EWOULDBLOCK) ||
                   !awaitWritable(descriptor, deadline)) {
            throw SocketException(errno, "Problem encountered sending data");
        }
    }
}

// A block at a time, each in one write that OpenSSL cuts into full records.
void ClientSocket::sendFileOverTls(int fd, off_t offset, std::uint64_t size,
                                   const SentSoFar& sent) {
    fileBlock.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, fileBlockSize)));
    for (std::uint64_t done = 0; done < size;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, fileBlock.size()));
        const ssize_t got = retryOnEintr(
            [&] { return pread(fd, fileBlock.data(), wanted, offset + static_cast<off_t>(done)); });
        if (got <= 0) {
            throw SocketException(got == 0 ? EIO : errno,
                                  "Problem encountered reading message file");
        }
        socketSend(fileBlock.data(), static_cast<std::size_t>(got));
        done += static_cast<std::uint64_t>(got);
        sent(done);
    }
}

std::string ClientSocket::socketReceive() {
    return receive(nullptr);
}

std::string ClientSocket::receive(const Deadline* deadline) {
    errno = 0;
    std::string buffer(maxBufferSize > 0 ? static_cast<std::size_t>(maxBufferSize) : 0, '\0');
    if (tls) {
        // The deadline also bounds a record whose bytes arrive in pieces.
        buffer.resize(tls->read(&buffer[0], buffer.size(), deadline));
        return buffer;
    }
    const ssize_t count =
        retryOnEintr([&] { return recv(descriptor, &buffer[0], buffer.size(), 0); });
    if (count == -1) {
        throw SocketException(errno, "Problem encountered receiving data");
    }
    // 0 bytes (peer closed) gives the empty text. A NUL byte is kept like any
    // other: cutting the text there would drop the line feed behind it and leave
    // the reply waiting for bytes that already came.
    buffer.resize(static_cast<std::size_t>(count));
    return buffer;
}

std::string ClientSocket::socketReceive(std::chrono::steady_clock::time_point deadline) {
    // TLS waits for the socket itself: bytes it has already taken off the socket would not wake
    // poll(), and the handshake's last flight may still have to go out first.
    if (!tls && !awaitReadable(descriptor, deadline)) {
        throw SocketException(errno, "Problem encountered receiving data");
    }
    return receive(&deadline);
}

int ClientSocket::socketClose() {
    tls.reset();
    preparedTls.reset();
    if (descriptor != -1) {
        close(descriptor);
        descriptor = -1;
    }
    return 0;
}
