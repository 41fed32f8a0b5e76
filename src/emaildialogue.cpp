// The SMTP dialogue of the send driver: the commands in their order and the
// decisions taken on each reply.
#include "email.h"

#include "messagefile.h"
#include "smtpclient.h"
#include "tlssession.h"

#include <algorithm>
#include <cctype>

#include <iostream>

namespace {

// RFC 5321 4.2: only the three digits of the code decide.
bool replyIs(const std::string& reply, const char* code) {
    return reply.size() >= 3 && reply.compare(0, 3, code) == 0;
}

// A keyword line of an EHLO reply (RFC 5321 4.1.1.1): "250-WORD ..." or "250 WORD ...".
bool offersKeyword(const std::string& reply, const std::string& keyword) {
    std::size_t start = 0;
    while (start < reply.size()) {
        std::size_t end = reply.find('\n', start);
        end = end == std::string::npos ? reply.size() : end;
        std::string word = reply.substr(start, end - start);
        const bool keywordLine =
            word.size() > 4 && word.compare(0, 3, "250") == 0 && (word[3] == '-' || word[3] == ' ');
        word = keywordLine ? word.substr(4, word.find_first_of(" \r", 4) - 4) : "";
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (word == keyword) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

Email::Outcome Email::runDialogue(SmtpClient& client, MessageFile& message) {
    displayString("* Connecting to server " + serverName + "\n");
    const auto port =
        static_cast<unsigned short>(static_cast<unsigned int>(serverPortInt) & 0xFFFFu);
    const TlsOptions tls{serverName, caFile, insecure};
    if (tlsMode == TlsMode::implicit) {
        const std::string greeting = client.connectTls(serverName, port, tls);
        displayString("* " + client.tlsDescription() + "\n");
        displayString("< " + greeting);
    } else {
        displayString("< " + client.connect(serverName, port));
    }
    Outcome outcome = tlsMode == TlsMode::startTls ? startTls(client, tls) : Outcome{};
    if (!outcome.stopped()) {
        outcome = !authName.empty()              ? ehloAndAuthenticate(client)
                  : tlsMode == TlsMode::startTls ? ehloOverTls(client)
                                                 : helo(client);
    }
    if (outcome.next == Outcome::Next::useHelo) {
        outcome = helo(client);
    }
    if (!outcome.stopped()) {
        outcome = mailFrom(client);
    }
    if (!outcome.stopped()) {
        outcome = rcptToAll(client);
    }
    if (!outcome.stopped()) {
        outcome = transfer(client, message);
    }
    return outcome;
}

Email::Outcome Email::ehloAndAuthenticate(SmtpClient& client) {
    const std::size_t colon = authName.find(':');
    const std::string aName = authName.substr(0, colon);
    const std::string aPass =
        colon == std::string::npos ? std::string() : authName.substr(colon + 1);

    displayString("> EHLO " + heloName + "\n");
    const std::string response = client.ehlo(heloName);
    displayString("< " + response);
    if (replyIs(response, "250") && authMechanism != "login") {
        return authenticateInOneStep(client, aName, aPass);
    }
    if (replyIs(response, "250")) {
        if (response.rfind("250-AUTH LOGIN PLAIN", 0) == 0) {
            authName.clear();
            return {Outcome::Next::useHelo, {}};
        }
        return authenticate(client, base64Encode(aName), base64Encode(aPass));
    }
    if (replyIs(response, "501")) {
        return Outcome::stop("! Error in argument " + heloName + "\n");
    }
    if (replyIs(response, "502")) {
        std::cout << "! Error, ESMTP not supported, attempting HELO..." << std::endl;
        authName.clear();
        return {Outcome::Next::useHelo, {}};
    }
    return Outcome::stop("! Error, giving up.");
}

// RFC 4954 AUTH LOGIN. A server that refuses the mechanism or the user name
// gets the mail unauthenticated; only a refused password stops the run.
Email::Outcome Email::authenticate(SmtpClient& client, const std::string& aName,
                                   const std::string& aPass) {
    displayString("> AUTH LOGIN\n");
    std::string response = client.authLogin();
    displayString("< " + response);
    if (!replyIs(response, "334")) {
        return {};
    }
    displayString("> " + aName + "\n");
    response = client.sendAuthName(aName);
    displayString("< " + response);
    if (!replyIs(response, "334")) {
        return {};
    }
    displayString("> " + aPass + "\n");
    response = client.sendAuthPass(aPass);
    displayString("< " + response);
    if (replyIs(response, "235")) {
        return {};
    }
    return Outcome::stop("! Authentication failure, quitting.");
}

// RFC 4616 PLAIN, or XOAUTH2 with the bearer token in place of the password,
// the credentials sent with the command. A refusal stops the run; the error
// challenge of XOAUTH2 (334) is answered with an empty line to get the final one.
Email::Outcome Email::authenticateInOneStep(SmtpClient& client, const std::string& aName,
                                            const std::string& aPass) {
    const bool plain = authMechanism == "plain";
    const std::string mechanism = plain ? "PLAIN" : "XOAUTH2";
    const std::string initial =
        plain ? std::string(1, '\0') + aName + '\0' + aPass
              : "user=" + aName + "\x01" + "auth=Bearer " + aPass + "\x01\x01";
    const std::string response64 = base64Encode(initial);
    displayString("> AUTH " + mechanism + " " + response64 + "\n");
    std::string response = client.authWith(mechanism, response64);
    displayString("< " + response);
    if (!plain && replyIs(response, "334")) {
        displayString("> \n");
        response = client.sendAuthPass("");
        displayString("< " + response);
    }
    if (replyIs(response, "235")) {
        return {};
    }
    return Outcome::stop("! Authentication failure, quitting.");
}

// RFC 3207: once asked for, TLS has no fall-back to plain text.
Email::Outcome Email::startTls(SmtpClient& client, const TlsOptions& tls) {
    displayString("> EHLO " + heloName + "\n");
    std::string response = client.ehlo(heloName);
    displayString("< " + response);
    if (!replyIs(response, "250") || !offersKeyword(response, "STARTTLS")) {
        return Outcome::stop("! Error, server does not offer STARTTLS, quitting.");
    }
    displayString("> STARTTLS\n");
    response = client.startTls();
    displayString("< " + response);
    if (!replyIs(response, "220")) {
        return Outcome::stop("! Error, STARTTLS refused, quitting.");
    }
    client.beginTls(tls);
    displayString("* " + client.tlsDescription() + "\n");
    return {};
}

// The EHLO that RFC 3207 asks for after the handshake, when no AUTH follows.
Email::Outcome Email::ehloOverTls(SmtpClient& client) {
    displayString("> EHLO " + heloName + "\n");
    const std::string response = client.ehlo(heloName);
    displayString("< " + response);
    if (replyIs(response, "250")) {
        return {};
    }
    return Outcome::stop("! Error, giving up.");
}

Email::Outcome Email::helo(SmtpClient& client) {
    displayString("> HELO " + heloName + "\n");
    const std::string response = client.helo(heloName);
    displayString("< " + response);
    if (replyIs(response, "250")) {
        return {};
    }
    return Outcome::stop(replyIs(response, "501") ? "! Error in argument" + heloName + "\n"
                                                  : std::string("! Error, giving up.\n"));
}

Email::Outcome Email::mailFrom(SmtpClient& client) {
    displayString("> MAIL FROM: " + fromAddress + "\n");
    const std::string response = client.mailFrom(fromAddress);
    displayString("< " + response);
    if (!replyIs(response, "250")) {
        return Outcome::stop("! Error, sender address refused.");
    }
    return {};
}

// Every recipient is tried; one acceptance is enough to go on.
Email::Outcome Email::rcptToAll(SmtpClient& client) {
    bool atLeastOneRecipientOK = false;
    for (const std::string& recipient : toList) {
        displayString("> RCPT TO: " + recipient + "\n");
        const std::string response = client.rcptTo(recipient);
        displayString("< " + response);
        atLeastOneRecipientOK = atLeastOneRecipientOK || replyIs(response, "250");
    }
    if (!atLeastOneRecipientOK) {
        return Outcome::stop("! Something odd occurred, bailing out...");
    }
    return {};
}

Email::Outcome Email::transfer(SmtpClient& client, MessageFile& message) {
    displayString("> DATA\n");
    std::string response = client.data();
    displayString("< " + response);
    if (!replyIs(response, "354")) {
        return Outcome::stop("! Error, remote server doesn't want your data.");
    }
    displayString("* Sending data...\n");
    const ByteSource source = [&message](char* buffer, std::size_t capacity) {
        return message.readBlock(buffer, capacity);
    };
    response = client.sendMessage(source, message.lineCount());
    displayString("< " + response);
    if (!replyIs(response, "250")) {
        return Outcome::stop("! Data transmission error.");
    }
    return {};
}

// The closing QUIT: its reply is shown, never judged.
void Email::quit(SmtpClient& client) {
    displayString("> QUIT\n");
    displayString("< " + client.quit());
}
