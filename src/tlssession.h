#ifndef BRENVOX_TLSSESSION_H
#define BRENVOX_TLSSESSION_H

#include "tlsoptions.h"

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>

// OpenSSL's SSL_CTX and SSL, kept out of the includers.
struct ssl_ctx_st;
struct ssl_st;

// A TLS client session (OpenSSL, TLS 1.2 or newer) over a connected socket it
// does not own. Every failure is thrown as SocketException: the platform's
// error number when the socket failed (EAGAIN for a time-out), ECONNRESET for
// a peer that closed mid-handshake, EPROTO with OpenSSL's reason otherwise.
// Sends never raise SIGPIPE.
class TlsSession {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    // What needs no network: the context, the trust anchors (the system's take
    // milliseconds to load) and the name to check. A failure shows at handshake.
    explicit TlsSession(const TlsOptions& options);
    // Runs the handshake on descriptor, bounded by deadline unless unbounded is set.
    void handshake(int descriptor, Deadline deadline, bool unbounded);
    // Sends close_notify after a session that had no failure.
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Up to size bytes; 0 once the peer has closed. A deadline that passes
    // first fails the call (EAGAIN); without one the socket's time-out holds.
    std::size_t read(char* buffer, std::size_t size, const Deadline* deadline);
    // All size bytes; a deadline that passes first fails the call (EAGAIN),
    // without one the socket's time-out holds for each send.
    void write(const char* data, std::size_t size, const Deadline* deadline);
    // Decrypted or buffered bytes that a read returns without the socket.
    bool pending() const;
    // "TLSv1.3, TLS_AES_256_GCM_SHA384, certificate verified for NAME".
    const std::string& description() const { return summary; }

    struct Channel;

  private:
    void setUp();
    [[noreturn]] void fail(int number, const std::string& message);

    std::unique_ptr<Channel> channel;
    std::unique_ptr<ssl_ctx_st, void (*)(ssl_ctx_st*)> context;
    std::unique_ptr<ssl_st, void (*)(ssl_st*)> ssl;
    TlsOptions given;
    std::exception_ptr setUpFailure;
    std::string summary;
    bool healthy = false;
};

#endif
