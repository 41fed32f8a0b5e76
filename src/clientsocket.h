#ifndef BRENVOX_CLIENTSOCKET_H
#define BRENVOX_CLIENTSOCKET_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

class TlsSession;
struct TlsOptions;
struct addrinfo;

// A blocking TCP client connection (IPv6 or IPv4). Keeps no data between calls: every
// receive takes what the platform has, up to maxBufferSize bytes. Every failure
// is thrown as SocketException; nothing is printed.
class ClientSocket {
  public:
    static constexpr int defaultTransmitTimeoutSeconds = 60;
    static constexpr int defaultReceiveTimeoutSeconds = 120;
    static constexpr std::size_t fileBlockSize = 256 * 1024;

    explicit ClientSocket(int buffSize);
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    // Seconds. The transmit time-out bounds each connection attempt and every
    // send, the receive time-out the TLS handshake and every receive.
    void setTransmitTimeout(int val);
    void setReceiveTimeout(int val);

    // Resolves serverName (host name, IPv4 or IPv6 address) and connects to
    // port with the time-outs set. Throws SocketException.
    void socketConnect(std::string serverName, unsigned short port);
    // Runs the TLS handshake on the open connection, bounded by the receive
    // time-out; every later send and receive goes through TLS. Throws
    // SocketException.
    void handshakeTls(const TlsOptions& options);
    // Sets up the TLS of a handshake to come, so that it is done while a reply
    // is on its way; its failure shows at handshakeTls.
    void prepareTls(const TlsOptions& options);
    // Whether received bytes wait that no receive has taken; never blocks.
    bool dataWaiting() const;
    // The TLS session's one-line summary; empty without TLS.
    std::string tlsDescription() const;
    // Sends all bytes of msg within the transmit time-out and returns msg. Throws
    // SocketException (EAGAIN for the time-out).
    std::string socketSend(std::string msg);
    // The same for the size bytes at data, without a copy.
    void socketSend(const char* data, std::size_t size);
    // Told the bytes sent so far after each piece of a file that has gone.
    using SentSoFar = std::function<void(std::uint64_t)>;
    // The same for size bytes of file fd from offset: handed over in the kernel
    // on plain TCP, read in and encrypted a block at a time over TLS; each
    // block of fileBlockSize bytes within the transmit time-out. A file that
    // ends first or cannot be read throws SocketException ("Problem encountered
    // reading message file").
    void socketSendFile(int fd, off_t offset, std::uint64_t size, const SentSoFar& sent);
    // One receive of at most maxBufferSize bytes; the empty text when the peer
    // has closed; NUL bytes are kept. Throws SocketException.
    std::string socketReceive();
    // The same, but fails as a receive time-out does (EAGAIN) once deadline
    // passes without data.
    std::string socketReceive(std::chrono::steady_clock::time_point deadline);
    // Closes the connection if one is open; always 0.
    int socketClose();

  private:
    using Deadline = std::chrono::steady_clock::time_point;
    std::string receive(const Deadline* deadline);
    void sendFilePlain(int fd, off_t offset, std::uint64_t size, const SentSoFar& sent);
    void sendFileOverTls(int fd, off_t offset, std::uint64_t size, const SentSoFar& sent);
    // Leaves descriptor connected, or errno set (and descriptor -1 when no
    // socket could be made).
    bool connectTo(const addrinfo& address);

    int descriptor = -1; // -1: no descriptor held
    int maxBufferSize;
    int txTimeout = defaultTransmitTimeoutSeconds;
    int rxTimeout = defaultReceiveTimeoutSeconds;
    std::unique_ptr<TlsSession> tls; // set once handshakeTls has succeeded
    std::unique_ptr<TlsSession> preparedTls;
    std::vector<char> fileBlock; // what socketSendFile reads in for TLS
};

#endif
