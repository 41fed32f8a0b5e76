#include "smtpdialogue.h"

#include "messagefile.h"
#include "smtpauth.h"
#include "smtpreply.h"
#include "transcript.h"
#include "wiresize.h"

#include <algorithm>
#include <iostream>

namespace {

// The reply reader takes what one receive gives, up to this many bytes.
constexpr unsigned int receiveSizeBytes = 34;
constexpr int transmitTimeoutSeconds = 60;
constexpr int receiveTimeoutSeconds = 120;
const char givingUp[] = "! Error, giving up.";
// Also what a server's refusal of a message too large for it prints.
const char notTransmitted[] = "! Data transmission error.";

Outcome senderAccepted(const std::string& reply) {
    return replyIs(reply, "250") ? Outcome{} : Outcome::stop("! Error, sender address refused.");
}

// Every recipient is tried; one acceptance is enough to go on.
Outcome someRecipientAccepted(StringList::const_iterator reply, StringList::const_iterator end) {
    const bool accepted =
        std::any_of(reply, end, [](const std::string& one) { return replyIs(one, "250"); });
    return accepted ? Outcome{} : Outcome::stop("! Something odd occurred, bailing out...");
}

Outcome dataAccepted(const std::string& reply) {
    return replyIs(reply, "354") ? Outcome{}
                                 : Outcome::stop("! Error, remote server doesn't want your data.");
}

} // namespace

SmtpDialogue::SmtpDialogue(const Envelope& settled, const Transcript& shown, bool showProgress)
    : envelope(settled), transcript(shown), client(receiveSizeBytes) {
    client.setUpdater(showProgress ? &updater : nullptr);
    client.setTranscript(&transcript);
    client.setTransmitTimeout(transmitTimeoutSeconds);
    client.setReceiveTimeout(receiveTimeoutSeconds);
}

Outcome SmtpDialogue::deliver(MessageFile& message) {
    connect();
    Outcome outcome = envelope.tlsMode == TlsMode::startTls ? upgradeToTls() : Outcome{};
    if (!outcome.stopped()) {
        outcome = introduce();
    }
    if (!outcome.stopped()) {
        outcome = transaction(message);
    }
    if (!outcome.stopped()) {
        outcome = transfer(message);
    }
    return outcome;
}

void SmtpDialogue::connect() {
    transcript.step("Connecting to server " + envelope.serverName);
    if (envelope.tlsMode == TlsMode::implicit) {
        client.connectTls(envelope.serverName, envelope.port, envelope.tls);
    } else {
        client.connect(envelope.serverName, envelope.port,
                       envelope.tlsMode == TlsMode::startTls ? &envelope.tls : nullptr);
    }
}

// Credentials need EHLO; without them a plain connection says HELO, and one
// upgraded by STARTTLS the EHLO that RFC 3207 asks for after the handshake.
Outcome SmtpDialogue::introduce() {
    if (envelope.hasCredentials) {
        EhloStep step = ehloAndAuthenticate();
        return step.heloInstead ? helo() : step.outcome;
    }
    return envelope.tlsMode == TlsMode::startTls ? ehloOverTls() : helo();
}

SmtpDialogue::EhloStep SmtpDialogue::ehloAndAuthenticate() {
    const std::string response = client.ehlo(envelope.heloName);
    // Kept on purpose: a server whose first keyword line is exactly this is
    // spoken to with HELO, unauthenticated; scripts rely on the fall-back.
    if (replyIs(response, "250") && envelope.mechanism == AuthMechanism::login &&
        response.rfind("250-AUTH LOGIN PLAIN", 0) == 0) {
        return {{}, true};
    }
    if (replyIs(response, "250")) {
        noteOffers(response);
    }
    if (replyIs(response, "250") && envelope.mechanism != AuthMechanism::login) {
        return {authenticateInOneStep()};
    }
    if (replyIs(response, "250")) {
        return {authenticateLogin()};
    }
    if (replyIs(response, "501")) {
        // Kept on purpose, with its empty line: see helo().
        return {Outcome::stop("! Error in argument " + envelope.heloName + "\n")};
    }
    if (replyIs(response, "502")) {
        std::cout << "! Error, ESMTP not supported, attempting HELO..." << std::endl;
        return {{}, true};
    }
    return {Outcome::stop(givingUp)};
}

// RFC 4954 AUTH LOGIN. Kept on purpose: a server that refuses the mechanism or
// the user name gets the mail unauthenticated; only a refused password stops.
Outcome SmtpDialogue::authenticateLogin() {
    if (!replyIs(client.authLogin(), "334") ||
        !replyIs(client.sendAuthName(loginResponse(envelope.user)), "334")) {
        return {};
    }
    if (replyIs(client.sendAuthPass(loginResponse(envelope.password)), "235")) {
        return {};
    }
    return Outcome::stop("! Authentication failure, quitting.");
}

// PLAIN or a token mechanism; a refusal stops the run.
Outcome SmtpDialogue::authenticateInOneStep() {
    const Credentials credentials{envelope.user, envelope.password};
    if (replyIs(::authenticateInOneStep(client, envelope.mechanism, credentials), "235")) {
        return {};
    }
    return Outcome::stop("! Authentication failure, quitting.");
}

// RFC 3207: once asked for, TLS has no fall-back to plain text.
Outcome SmtpDialogue::upgradeToTls() {
    const std::string response = client.ehlo(envelope.heloName);
    if (!replyIs(response, "250") || !offersKeyword(response, "STARTTLS")) {
        return Outcome::stop("! Error, server does not offer STARTTLS, quitting.");
    }
    if (!replyIs(client.requestTls(), "220")) {
        return Outcome::stop("! Error, STARTTLS refused, quitting.");
    }
    client.beginTls(envelope.tls);
    return {};
}

Outcome SmtpDialogue::ehloOverTls() {
    const std::string response = client.ehlo(envelope.heloName);
    if (!replyIs(response, "250")) {
        return Outcome::stop(givingUp);
    }
    noteOffers(response);
    return {};
}

void SmtpDialogue::noteOffers(const std::string& ehloReply) {
    offers.pipelining = offersKeyword(ehloReply, "PIPELINING");
    offers.size = offersKeyword(ehloReply, "SIZE");
    offers.sizeLimit = sizeLimit(ehloReply);
}

// Kept on purpose: HELO's error lines end in an empty line and its argument
// line has no space before the name, unlike EHLO's; scripts match both.
Outcome SmtpDialogue::helo() {
    const std::string response = client.helo(envelope.heloName);
    if (replyIs(response, "250")) {
        return {};
    }
    return Outcome::stop(replyIs(response, "501") ? "! Error in argument" + envelope.heloName + "\n"
                                                  : std::string(givingUp) + "\n");
}

// MAIL, RCPT and DATA. A message over the server's stated limit is not even
// announced: the refusal would come only after all of it has been sent.
Outcome SmtpDialogue::transaction(MessageFile& message) {
    const std::uint64_t size = offers.size ? messageWireSize(message) : 0;
    if (size > offers.sizeLimit) {
        return Outcome::stop(notTransmitted);
    }
    const std::string parameters = offers.size ? "SIZE=" + std::to_string(size) : "";
    if (offers.pipelining) {
        return pipelinedTransaction(parameters);
    }
    Outcome outcome = senderAccepted(client.mailFrom(envelope.sender, parameters));
    if (outcome.stopped()) {
        return outcome;
    }
    StringList replies;
    for (const std::string& recipient : envelope.recipients) {
        replies.push_back(client.rcptTo(recipient));
    }
    outcome = someRecipientAccepted(replies.begin(), replies.end());
    return outcome.stopped() ? outcome : dataAccepted(client.data());
}

// RFC 2920: the same decisions on the same replies, which all come in before
// any is judged. A 354 to a DATA that no longer has a transaction is answered
// with an empty message, which the server then refuses.
Outcome SmtpDialogue::pipelinedTransaction(const std::string& mailParameters) {
    client.holdCommands();
    client.mailFrom(envelope.sender, mailParameters);
    for (const std::string& recipient : envelope.recipients) {
        client.rcptTo(recipient);
    }
    client.data();
    const StringList replies = client.sendHeld();
    Outcome outcome = senderAccepted(replies.front());
    if (!outcome.stopped()) {
        outcome = someRecipientAccepted(replies.begin() + 1, replies.end() - 1);
    }
    if (!outcome.stopped()) {
        outcome = dataAccepted(replies.back());
    } else if (replyIs(replies.back(), "354")) {
        client.endEmptyData();
    }
    if (!outcome.stopped()) {
        client.quitWithEndOfData();
    }
    return outcome;
}

Outcome SmtpDialogue::transfer(MessageFile& message) {
    transcript.step("Sending data...");
    if (!replyIs(message.sendThrough(client), "250")) {
        return Outcome::stop(notTransmitted);
    }
    return {};
}

void SmtpDialogue::quit() {
    client.quit();
}
