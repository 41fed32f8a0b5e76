#include "smtpdialogue.h"

#include "messagefile.h"
#include "smtpauth.h"
#include "smtpreply.h"
#include "transcript.h"

#include <iostream>

namespace {

// The reply reader takes what one receive gives, up to this many bytes.
constexpr unsigned int receiveSizeBytes = 34;
constexpr int transmitTimeoutSeconds = 60;
constexpr int receiveTimeoutSeconds = 120;
const char givingUp[] = "! Error, giving up.";

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
        outcome = mailFrom();
    }
    if (!outcome.stopped()) {
        outcome = rcptToAll();
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
        client.connect(envelope.serverName, envelope.port);
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
    if (replyIs(response, "250") && envelope.mechanism != AuthMechanism::login) {
        return {authenticateInOneStep()};
    }
    if (replyIs(response, "250")) {
        // Kept on purpose: a server whose first keyword line is exactly this is
        // spoken to with HELO, unauthenticated; scripts rely on the fall-back.
        if (response.rfind("250-AUTH LOGIN PLAIN", 0) == 0) {
            return {{}, true};
        }
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
    return replyIs(client.ehlo(envelope.heloName), "250") ? Outcome{} : Outcome::stop(givingUp);
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

Outcome SmtpDialogue::mailFrom() {
    if (!replyIs(client.mailFrom(envelope.sender), "250")) {
        return Outcome::stop("! Error, sender address refused.");
    }
    return {};
}

// Every recipient is tried; one acceptance is enough to go on.
Outcome SmtpDialogue::rcptToAll() {
    bool atLeastOneRecipientOK = false;
    for (const std::string& recipient : envelope.recipients) {
        atLeastOneRecipientOK = replyIs(client.rcptTo(recipient), "250") || atLeastOneRecipientOK;
    }
    if (!atLeastOneRecipientOK) {
        return Outcome::stop("! Something odd occurred, bailing out...");
    }
    return {};
}

Outcome SmtpDialogue::transfer(MessageFile& message) {
    if (!replyIs(client.data(), "354")) {
        return Outcome::stop("! Error, remote server doesn't want your data.");
    }
    transcript.step("Sending data...");
    if (!replyIs(message.sendThrough(client), "250")) {
        return Outcome::stop("! Data transmission error.");
    }
    return {};
}

void SmtpDialogue::quit() {
    client.quit();
}
