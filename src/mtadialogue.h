#ifndef BRENVOX_MTADIALOGUE_H
#define BRENVOX_MTADIALOGUE_H

#include "envelope.h"
#include "smtpclient.h"
#include "stringlist.h"

#include <string>

class MessageFile;
class Transcript;

// How a delivery of the system mailer ended.
struct DeliveryReport {
    int status = 0; // sysexits.h
    // What failed, with the server's reply and a hint where the cause is
    // known; empty once the server has taken the message.
    std::string problem;
    // The server's last reply on one line, for the log.
    std::string reply;
    // The settings must change first (TLS, 530, 535, 5.7.30): retrying as they are is useless.
    bool settingsAtFault = false;
    // The connection broke once the data was under way: the server may have taken it.
    bool afterData = false;
    bool delivered() const { return problem.empty(); }
};

// The SMTP dialogue of the system mailer, strictly by the RFCs: EHLO (HELO
// only when nothing needs EHLO), STARTTLS and AUTH as the account says, and
// every recipient accepted or none gets the message. Credentials are masked
// in the transcript. Never throws: transport failures become reports.
class MtaDialogue {
  public:
    MtaDialogue(const Envelope& envelope, const Transcript& transcript, int timeoutSeconds);

    // Connects, greets and authenticates.
    DeliveryReport open();
    // One transaction on the open connection: MAIL, RCPT for each recipient,
    // DATA and the message. A refusal is answered with RSET, so the
    // connection can carry the next message.
    DeliveryReport send(const std::string& sender, const StringList& recipients,
                        MessageFile& message, DotStuffing rule = DotStuffing::everyLine);
    // False once the connection is gone: lost, or dropped inside an unwanted data.
    bool isOpen() const { return connected; }
    // QUIT; its failure changes nothing.
    void close();

  private:
    DeliveryReport introduce();
    DeliveryReport upgradeToTls();
    DeliveryReport authenticate();
    DeliveryReport transaction(const std::string& sender, const StringList& recipients,
                               MessageFile& message, DotStuffing rule);
    StringList envelopeReplies(const std::string& sender, const StringList& recipients,
                               const std::string& mailParameters);
    void endUnwantedData(const StringList& replies);
    DeliveryReport judged(const StringList& replies, const std::string& sender,
                          const StringList& recipients) const;
    DeliveryReport refused(const std::string& what, const std::string& reply,
                           int permanentStatus) const;

    const Envelope& envelope;
    SmtpClient client;
    std::string ehloReply;
    bool connected = false;
    bool inData = false;
};

#endif
