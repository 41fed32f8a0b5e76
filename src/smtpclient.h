#ifndef BRENVOX_SMTPCLIENT_H
#define BRENVOX_SMTPCLIENT_H

#include "clientsocket.h"
#include "stringlist.h"
#include "wirewriter.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

// Fills up to capacity bytes at buffer with the next bytes of a message and
// returns how many; 0 at its end.
using ByteSource = std::function<std::size_t(char* buffer, std::size_t capacity)>;

class Transcript;
class Updater;
struct TlsOptions;

// The SMTP command layer: one operation per command. Each sends one command
// line (arguments unchanged, CR LF added) and returns the server's whole reply
// as received, line ends included. Replies are not interpreted here. Transport
// failures arrive as SocketException, unchanged. What crosses the wire is shown
// here and nowhere else: each command line as it is sent, each reply as it has
// arrived, each finished TLS handshake.
class SmtpClient {
  public:
    explicit SmtpClient(unsigned int buffSize);
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Not owned; nullptr (the default): no progress reporting.
    void setUpdater(Updater* updater);
    // Not owned; nullptr (the default): nothing shown.
    void setTranscript(const Transcript* transcript);
    // Shows "****" for what AUTH sends after its mechanism and for passwords.
    void setMaskSecrets(bool value);
    // Seconds; copied into the socket by the next connect.
    void setTransmitTimeout(int val);
    void setReceiveTimeout(int val);

    // Opens the connection and returns the whole greeting. With startTls, the
    // TLS of a STARTTLS to come is set up while the greeting is on its way.
    std::string connect(std::string serverName, unsigned short port,
                        const TlsOptions* startTls = nullptr);
    // The same, but the TLS handshake comes first (implicit TLS, RFC 8314) and
    // the greeting is read over TLS.
    std::string connectTls(std::string serverName, unsigned short port, const TlsOptions& options);
    // "STARTTLS". Bytes beyond its reply, received or waiting, would be read as
    // replies once TLS is up (response injection): they throw SocketException
    // (EPROTO) instead, before the reply is shown.
    std::string requestTls();
    // The TLS handshake on the open connection, after a 220 to STARTTLS.
    void beginTls(const TlsOptions& options);
    // Protocol, cipher and what the certificate check found; empty without TLS.
    std::string tlsDescription() const;
    // "EHLO " + clientName
    std::string ehlo(std::string clientName);
    // "HELO " + clientName
    std::string helo(std::string clientName);
    // "AUTH LOGIN"
    std::string authLogin();
    // "AUTH " + mechanism + " " + initialResponse (RFC 4954, already base64).
    std::string authWith(const std::string& mechanism, const std::string& initialResponse);
    // The (base64) user name alone.
    std::string sendAuthName(std::string authName);
    // The (base64) password alone.
    std::string sendAuthPass(std::string authPass);
    // "MAIL FROM: " + fromAddress, then " " + parameters unless they are empty
    // (RFC 1870's "SIZE=n"); no brackets added.
    std::string mailFrom(std::string fromAddress, const std::string& parameters = "");
    // "RCPT TO: " + toAddress; no brackets added.
    std::string rcptTo(std::string toAddress);
    // RFC 5321's own forms, without a space: "MAIL FROM:" + "<path>" and
    // "RCPT TO:" + "<path>".
    std::string mail(const std::string& reversePath, const std::string& parameters = "");
    std::string rcpt(const std::string& forwardPath);
    // "RSET"
    std::string rset();
    // "DATA"
    std::string data();
    // The first lineCount lines of the bytes source hands out (the line rule of
    // LineSplitter), each followed by CR LF, reporting progress once a block has
    // been sent; then the end-of-data line "." unless the last line was one
    // (RFC 5321 4.1.1.4); then reads one reply. A source that ends before
    // lineCount lines throws SocketException ("Problem encountered reading
    // message file"); so may the source itself.
    std::string sendMessage(const ByteSource& source, std::size_t lineCount,
                            DotStuffing rule = DotStuffing::lastLineEnds);
    // The end of data with no message before it: after a 354 to a pipelined
    // DATA whose transaction failed (RFC 2920 3.1).
    std::string endEmptyData();
    // RFC 2920: from here on each command is only held (its reply is empty)
    // until sendHeld() writes them, at most 16 KiB at a time, each shown as it
    // goes, and returns their replies in order, each shown as it is read.
    void holdCommands();
    StringList sendHeld();
    // QUIT goes out in the same write as the end of the next message's data;
    // quit() then shows it and reads its reply, so the output keeps its order.
    void quitWithEndOfData();
    // The length bytes of file fd from offset, already in wire form (a
    // WireWriter's output, its end of data included), as they stand: with
    // sendfile(2) on plain TCP, in large blocks over TLS. Progress as above for
    // lineCount lines. Then reads one reply.
    std::string sendPrepared(int fd, off_t offset, std::uint64_t length, std::size_t lineCount);
    // "NOOP"
    std::string noop();
    // Closes the connection without QUIT: a transaction inside its data is
    // abandoned rather than ended (RFC 5321 4.1.1.4).
    void drop();
    // "QUIT"; closes the socket once the reply is complete.
    std::string quit();
    // The last whole reply received, to tell a temporary refusal from a permanent one.
    const std::string& lastReply() const { return latestReply; }

  private:
    // Reports lines first .. first + count - 1 of total, in runs of equal value.
    void reportProgress(std::size_t first, std::size_t count, std::size_t total) const;
    // Sends batch, reports its lines and starts the next batch.
    void sendBatch(std::string& batch, std::size_t& linesSent, std::size_t linesDone,
                   std::size_t total);
    // shownAs, when not empty, is shown instead of line.
    std::string command(const std::string& line, const std::string& shownAs = "");
    // The command shown and sent, its reply received but not shown yet.
    std::string exchange(const std::string& line, const std::string& shownAs = "");
    // Appends a QUIT due with the end of data, sends batch and reads the data's reply.
    std::string finishData(std::string& batch, std::size_t& linesSent, std::size_t linesDone,
                           std::size_t total);
    std::string shownReply(std::string reply) const;
    void showTlsHandshake() const;
    using Deadline = std::chrono::steady_clock::time_point;
    Deadline replyDeadline() const;
    std::string receiveBefore(Deadline deadline);
    // One receive; the server closing its side throws.
    std::string receivePiece(Deadline deadline);
    // Joins receives into one complete reply (RFC 5321 4.2.1), within one deadline.
    std::string receiveReply();
    // The same for one of several replies in flight: what follows it is kept.
    std::string receiveFirstReply();

    struct HeldCommand {
        std::string line, shownAs;
    };

    Updater* smtpUpdater = nullptr;
    const Transcript* shownTo = nullptr;
    bool maskSecrets = false;
    unsigned int maxBufferSize;
    int txTimeout = ClientSocket::defaultTransmitTimeoutSeconds;
    int rxTimeout = ClientSocket::defaultReceiveTimeoutSeconds;
    std::unique_ptr<ClientSocket> smtpSocket;
    bool holding = false;
    std::vector<HeldCommand> held;
    std::string unread; // received beyond the replies taken so far
    bool quitWithData = false;
    bool quitSent = false;
    std::string latestReply;
};

#endif
