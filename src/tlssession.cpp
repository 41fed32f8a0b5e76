#include "tlssession.h"

#include "awaitreadable.h"
#include "socketexception.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

// What the socket layer under OpenSSL saw: the record layer reports only that a
// call failed, not why.
struct TlsSession::Channel {
    int fd = -1;
    int error = 0;                      // errno of the failed socket call, 0 if none failed
    bool closed = false;                // the peer closed its side
    const Deadline* deadline = nullptr; // of the call under way; none: the socket's time-outs
    bool holding = false;               // writes are kept in held rather than sent
    std::string held;
};

namespace {

using Channel = TlsSession::Channel;

Channel& channelOf(BIO* bio) {
    return *static_cast<Channel*>(BIO_get_data(bio));
}

bool sendHeld(Channel& channel) {
    if (!channel.held.empty() &&
        !sendAllBefore(channel.fd, channel.held.data(), channel.held.size(), channel.deadline)) {
        channel.error = errno;
        return false;
    }
    channel.held.clear();
    return true;
}

// No retry flags are set: waits happen here, so a failure is final. Each record
// leaves at once: gathering them for fewer sends costs more in copying than it
// saves, and keeps the server from decrypting while we encrypt. Only what the
// handshake writes is held until the next read or write: in TLS 1.3 the
// client's Finished then leaves with the first command, in one segment.
int channelWrite(BIO* bio, const char* data, int size) {
    Channel& channel = channelOf(bio);
    BIO_clear_retry_flags(bio);
    if (channel.holding || !channel.held.empty()) {
        channel.held.append(data, static_cast<std::size_t>(size));
        return channel.holding || sendHeld(channel) ? size : -1;
    }
    if (!sendAllBefore(channel.fd, data, static_cast<std::size_t>(size), channel.deadline)) {
        channel.error = errno;
        return -1;
    }
    return size;
}

int channelRead(BIO* bio, char* out, int size) {
    Channel& channel = channelOf(bio);
    BIO_clear_retry_flags(bio);
    if (!sendHeld(channel)) {
        return -1;
    }
    if (channel.deadline != nullptr && !awaitReadable(channel.fd, *channel.deadline)) {
        channel.error = errno;
        return -1;
    }
    ssize_t count;
    do {
        count = recv(channel.fd, out, static_cast<std::size_t>(size), 0);
    } while (count == -1 && errno == EINTR);
    if (count == -1) {
        channel.error = errno;
        return -1;
    }
    channel.closed = channel.closed || count == 0;
    return static_cast<int>(count);
}

long channelControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int channelCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once and kept for the life of the process.
const BIO_METHOD* channelMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket");
        if (made != nullptr) {
            BIO_meth_set_write(made, channelWrite);
            BIO_meth_set_read(made, channelRead);
            BIO_meth_set_ctrl(made, channelControl);
            BIO_meth_set_create(made, channelCreate);
        }
        return made;
    }();
    return method;
}

std::string openSslReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* text = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return text != nullptr ? text : "unknown error";
}

bool isAddressLiteral(const std::string& name) {
    unsigned char address[16];
    return inet_pton(AF_INET, name.c_str(), address) == 1 ||
           inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// The name the certificate must carry: "host." is the host "host" (an absolute
// name), and "fe80::1%eth0" the address fe80::1 reached through one link.
std::string certificateName(const std::string& given) {
    const std::size_t zone = given.find('%');
    if (zone != std::string::npos && isAddressLiteral(given.substr(0, zone))) {
        return given.substr(0, zone);
    }
    if (given.size() > 1 && given.back() == '.') {
        return given.substr(0, given.size() - 1);
    }
    return given;
}

} // namespace

TlsSession::TlsSession(const TlsOptions& options)
    : channel(std::make_unique<Channel>()), context(nullptr, SSL_CTX_free), ssl(nullptr, SSL_free),
      given(options) {
    try {
        setUp();
    } catch (const SocketException&) {
        setUpFailure = std::current_exception();
    }
}

void TlsSession::setUp() {
    const TlsOptions& options = given;
    ERR_clear_error();
    context.reset(SSL_CTX_new(TLS_client_method()));
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_ciphersuites(context.get(), "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                                                "TLS_CHACHA20_POLY1305_SHA256") != 1) {
        fail(EPROTO, "TLS set-up failed: " + openSslReason());
    }
    SSL_CTX_set_verify(context.get(), options.insecure ? SSL_VERIFY_NONE : SSL_VERIFY_PEER,
                       nullptr);
    const char* caFile = options.caFile.c_str();
    // OpenSSL names a missing file only "system lib"; the platform's text says more.
    if (!options.insecure && !options.caFile.empty() && access(caFile, R_OK) != 0) {
        fail(errno, "Unable to load CA file " + options.caFile);
    }
    if (!options.insecure &&
        (options.caFile.empty()
             ? SSL_CTX_set_default_verify_paths(context.get())
             : SSL_CTX_load_verify_locations(context.get(), caFile, nullptr)) != 1) {
        fail(EPROTO, "Unable to load CA file " + options.caFile + ": " + openSslReason());
    }
    ssl.reset(SSL_new(context.get()));
    BIO* bio = ssl && channelMethod() != nullptr ? BIO_new(channelMethod()) : nullptr;
    if (bio == nullptr) {
        fail(EPROTO, "TLS set-up failed: " + openSslReason());
    }
    BIO_set_data(bio, channel.get());
    SSL_set_bio(ssl.get(), bio, bio);

    const std::string checkedName = certificateName(options.serverName);
    const char* name = checkedName.c_str();
    const bool literal = isAddressLiteral(checkedName);
    // SNI carries host names only (RFC 6066, 3).
    bool named = literal || SSL_set_tlsext_host_name(ssl.get(), name) == 1;
    if (!options.insecure) {
        named = named && (literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), name)
                                  : SSL_set1_host(ssl.get(), name)) == 1;
    }
    if (!named) {
        fail(EPROTO, "TLS set-up failed: " + openSslReason());
    }
}

void TlsSession::handshake(int descriptor, Deadline deadline, bool unbounded) {
    if (setUpFailure) {
        std::rethrow_exception(setUpFailure);
    }
    const TlsOptions& options = given;
    channel->fd = descriptor;
    channel->deadline = unbounded ? nullptr : &deadline;
    channel->holding = true;
    const int result = SSL_connect(ssl.get());
    channel->holding = false;
    if (result != 1 && channel->error == 0 && !channel->closed) {
        sendHeld(*channel); // the alert that tells the server why, if any
        channel->error = 0;
    }
    channel->deadline = nullptr;
    if (result != 1) {
        if (channel->closed || channel->error == ECONNRESET) {
            fail(ECONNRESET, "Connection closed by server");
        }
        if (channel->error != 0) {
            fail(channel->error, "TLS handshake failed");
        }
        std::string why = openSslReason();
        const long verified = SSL_get_verify_result(ssl.get());
        if (!options.insecure && verified != X509_V_OK) {
            why += std::string(": ") + X509_verify_cert_error_string(verified);
        }
        fail(EPROTO, "TLS handshake failed: " + why);
    }
    healthy = true;
    summary = std::string(SSL_get_version(ssl.get())) + ", " + SSL_get_cipher_name(ssl.get()) +
              ", " +
              (options.insecure ? std::string("certificate not verified (--insecure)")
                                : "certificate verified for " + options.serverName);
}

TlsSession::~TlsSession() {
    if (healthy) {
        SSL_shutdown(ssl.get());
    }
}

void TlsSession::fail(int number, const std::string& message) {
    healthy = false;
    ERR_clear_error();
    throw SocketException(number, message);
}

std::size_t TlsSession::read(char* buffer, std::size_t size, const Deadline* deadline) {
    channel->error = 0;
    channel->deadline = deadline;
    ERR_clear_error();
    std::size_t got = 0;
    const int result = SSL_read_ex(ssl.get(), buffer, size, &got);
    channel->deadline = nullptr;
    if (result == 1) {
        return got;
    }
    // A close without close_notify ends the text as well: a reply cut short is
    // caught by the reply reader, and the message has already been answered.
    if (SSL_get_error(ssl.get(), result) == SSL_ERROR_ZERO_RETURN || channel->closed) {
        healthy = false;
        return 0;
    }
    if (channel->error != 0) {
        fail(channel->error, "Problem encountered receiving data");
    }
    fail(EPROTO, "TLS receive failed: " + openSslReason());
}

void TlsSession::write(const char* data, std::size_t size, const Deadline* deadline) {
    channel->error = 0;
    channel->deadline = deadline;
    ERR_clear_error();
    std::size_t written = 0;
    const bool failed = size != 0 && SSL_write_ex(ssl.get(), data, size, &written) != 1;
    channel->deadline = nullptr;
    if (failed) {
        if (channel->error != 0) {
            fail(channel->error, "Problem encountered sending data");
        }
        fail(EPROTO, "TLS send failed: " + openSslReason());
    }
}

bool TlsSession::pending() const {
    return SSL_has_pending(ssl.get()) == 1;
}
