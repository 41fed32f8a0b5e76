#ifndef BRENVOX_SMTPDIALOGUE_H
#define BRENVOX_SMTPDIALOGUE_H

#include "envelope.h"
#include "outcome.h"
#include "smtpclient.h"
#include "updater.h"

#include <cstdint>

class MessageFile;
class Transcript;

// The SMTP conversation of one delivery on a connection of its own: the
// commands in their order and the decision taken on each reply. The client
// shows what crosses the wire; the dialogue adds only its own step lines.
// Transport failures arrive as SocketException.
class SmtpDialogue {
  public:
    SmtpDialogue(const Envelope& envelope, const Transcript& transcript, bool showProgress);

    // From the connection to the server's reply to the end of data. A stop
    // leaves the connection open for quit().
    Outcome deliver(MessageFile& message);
    // The closing QUIT: its reply is shown, never judged.
    void quit();
    // The server's last reply: a stop after a 4xx may be tried again later.
    const std::string& lastReply() const { return client.lastReply(); }

  private:
    // The outcome of EHLO when AUTH follows it, or a fall-back to HELO.
    struct EhloStep {
        Outcome outcome;
        bool heloInstead = false;
    };

    // What the last EHLO reply offers; nothing on the HELO path.
    struct Offers {
        bool pipelining = false;
        bool size = false;
        std::uint64_t sizeLimit = UINT64_MAX;
    };

    void connect();
    void noteOffers(const std::string& ehloReply);
    Outcome introduce();
    EhloStep ehloAndAuthenticate();
    Outcome authenticateLogin();
    Outcome authenticateInOneStep();
    Outcome upgradeToTls();
    Outcome ehloOverTls();
    Outcome helo();
    Outcome transaction(MessageFile& message);
    Outcome pipelinedTransaction(const std::string& mailParameters);
    Outcome transfer(MessageFile& message);

    const Envelope& envelope;
    const Transcript& transcript;
    Updater updater;
    SmtpClient client;
    Offers offers;
};

#endif
