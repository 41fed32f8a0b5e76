#ifndef BRENVOX_SMTPCLIENT_H
#define BRENVOX_SMTPCLIENT_H

#include "clientsocket.h"

#include <memory>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

class Updater;

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
    // Lines are sent in batches, so a value may be reported a little before its
    // line has left.
    std::string sendData(const StringList& messageData) const;
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
    std::string command(const std::string& line) const;
    // Joins receives, starting with firstPiece, into one complete reply.
    std::string readReply(std::string firstPiece) const;

    Updater* smtpUpdater = nullptr;
    bool updateEnabled = false;
    unsigned int maxBufferSize;
    int txTimeout = ClientSocket::defaultTransmitTimeoutSeconds;
    int rxTimeout = ClientSocket::defaultReceiveTimeoutSeconds;
    std::unique_ptr<ClientSocket> smtpSocket;
};

#endif
