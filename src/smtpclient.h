#ifndef BRENVOX_SMTPCLIENT_H
#define BRENVOX_SMTPCLIENT_H

#include "clientsocket.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

class Updater;
struct TlsOptions;

// The SMTP command layer: one operation per command. Each sends one command
// line (arguments unchanged, CR LF added) and returns the server's whole reply
// as received, line ends included. Replies are not interpreted here. Transport
// failures arrive as SocketException, unchanged.
class SmtpClient {
  public:
    explicit SmtpClient(unsigned int buffSize);
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Not owned. Switches progress reporting on for sendData.
    void setUpdater(Updater* updater);
    // Seconds; copied into the socket by the next connect.
    void setTransmitTimeout(unsigned int val);
    void setReceiveTimeout(unsigned int val);

    // Opens the connection and returns the whole greeting.
    std::string connect(std::string serverName, unsigned short port) const;
    // The same, but the TLS handshake comes first (implicit TLS, RFC 8314) and
    // the greeting is read over TLS.
    std::string connectTls(std::string serverName, unsigned short port,
                           const TlsOptions& options) const;
    // "STARTTLS". Bytes beyond its reply, received or waiting, would be read as
    // replies once TLS is up (response injection): they throw SocketException
    // (EPROTO) instead.
    std::string startTls();
    // The TLS handshake on the open connection, after a 220 to STARTTLS.
    void beginTls(const TlsOptions& options);
    // Protocol, cipher and what the certificate check found; empty without TLS.
    std::string tlsDescription() const;
    // "EHLO " + clientName
    std::string ehlo(std::string clientName) const;
    // "HELO " + clientName
    std::string helo(std::string clientName) const;
    // "AUTH LOGIN"
    std::string authLogin();
    // The (base64) user name alone.
    std::string sendAuthName(std::string authName) const;
    // The (base64) password alone.
    std::string sendAuthPass(std::string authPass) const;
    // "MAIL FROM: " + fromAddress; no brackets added.
    std::string mailFrom(std::string fromAddress) const;
    // "RCPT TO: " + toAddress; no brackets added.
    std::string rcptTo(std::string toAddress) const;
    // "DATA"
    std::string data();
    // Every line followed by CR LF, unchanged and in order, reporting progress
    // after each; the final "." must be the last line. Then reads one reply.
    // Lines are sent in batches; a batch's values are reported once it has left.
    std::string sendData(const StringList& messageData) const;
    // The same for a message kept in a file: its first lineCount lines (as the
    // line file reader splits them), read from the start of fd in blocks, each
    // line followed by CR LF. Progress is reported once a block has been sent.
    // A file that ends before lineCount lines, or cannot be read, throws
    // SocketException ("Problem encountered reading message file").
    std::string sendFile(int fd, std::size_t lineCount) const;
    // "NOOP"
    std::string noop();
    // "RSET"
    std::string rset();
    // "QUIT"; closes the socket once the reply is complete.
    std::string quit();

    const ClientSocket& socket() const { return *smtpSocket; }
    unsigned int getMaxBufferSize() const { return maxBufferSize; }

  private:
    void update(const int& val) const;
    // Reports lines first .. first + count - 1 of total, in runs of equal value.
    void reportProgress(std::size_t first, std::size_t count, std::size_t total) const;
    // Sends batch, reports its lines and starts the next batch.
    void sendBatch(std::string& batch, std::size_t& linesSent, std::size_t linesDone,
                   std::size_t total) const;
    std::string command(const std::string& line) const;
    // Joins receives, starting with firstPiece, into one complete reply.
    using Deadline = std::chrono::steady_clock::time_point;
    Deadline replyDeadline() const;
    std::string receiveBefore(Deadline deadline) const;
    std::string receiveReply() const;
    std::string readReply(std::string firstPiece, Deadline deadline) const;

    Updater* smtpUpdater = nullptr;
    bool updateEnabled = false;
    unsigned int maxBufferSize;
    int txTimeout = ClientSocket::defaultTransmitTimeoutSeconds;
    int rxTimeout = ClientSocket::defaultReceiveTimeoutSeconds;
    std::unique_ptr<ClientSocket> smtpSocket;
};

#endif
