#include "mtadialogue.h"

#include "messagefile.h"
#include "sasl.h"
#include "smtpauth.h"
#include "smtpreply.h"
#include "socketexception.h"
#include "wiresize.h"

#include <sysexits.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr unsigned int receiveSizeBytes = 64 * 1024;

// A reply on one line: its lines joined by blanks, line ends dropped.
std::string oneLine(const std::string& reply) {
    std::string line;
    for (const char c : reply) {
        if (c == '\n') {
            line += ' ';
        } else if (c != '\r') {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

// What to change when the reply says the settings are wrong.
std::string hintFor(const std::string& reply) {
    if (reply.find("5.7.30") != std::string::npos) {
        return " (hint: the provider has turned password login off; use auth xoauth2 or "
               "oauthbearer with a token command in passwordeval)";
    }
    if (replyIs(reply, "530") && reply.find("STARTTLS") != std::string::npos) {
        return " (hint: set tls starttls in the account)";
    }
    if (replyIs(reply, "535")) {
        return " (hint: check the account's user and password)";
    }
    return "";
}

// Kept apart from refusals: the server could not be reached or the
// connection broke, which a later try may not meet again.
DeliveryReport transportFailure(const std::string& server, const SocketException& e) {
    const bool tls = e.errNum() == EPROTO;
    return {tls ? EX_PROTOCOL : EX_TEMPFAIL, server + ": " + e.errMsg() + " - " + e.reason(), "",
            tls};
}

} // namespace

MtaDialogue::MtaDialogue(const Envelope& settled, const Transcript& transcript, int timeoutSeconds)
    : envelope(settled), client(receiveSizeBytes) {
    client.setTranscript(&transcript);
    client.setMaskSecrets(true);
    client.setTransmitTimeout(timeoutSeconds);
    client.setReceiveTimeout(timeoutSeconds);
}

DeliveryReport MtaDialogue::open() {
    try {
        const std::string greeting =
            envelope.tlsMode == TlsMode::implicit
                ? client.connectTls(envelope.serverName, envelope.port, envelope.tls)
                : client.connect(envelope.serverName, envelope.port,
                                 envelope.tlsMode == TlsMode::startTls ? &envelope.tls : nullptr);
        connected = true;
        if (!replyIs(greeting, "220")) {
            return refused("the connection", greeting, EX_UNAVAILABLE);
        }
        DeliveryReport report = introduce();
        if (report.delivered() && envelope.tlsMode == TlsMode::startTls) {
            report = upgradeToTls();
        }
        if (report.delivered() && envelope.hasCredentials) {
            report = authenticate();
        }
        return report;
    } catch (const SocketException& e) {
        connected = false;
        return transportFailure(envelope.serverName, e);
    }
}

// HELO only for a server that does not know EHLO and when nothing needs it.
DeliveryReport MtaDialogue::introduce() {
    ehloReply = client.ehlo(envelope.heloName);
    if (replyIs(ehloReply, "250")) {
        return {};
    }
    const bool needsEhlo = envelope.tlsMode == TlsMode::startTls || envelope.hasCredentials;
    if (ehloReply[0] == '5' && !needsEhlo) {
        const std::string reply = client.helo(envelope.heloName);
        return replyIs(reply, "250") ? DeliveryReport{} : refused("HELO", reply, EX_UNAVAILABLE);
    }
    return refused("EHLO", ehloReply, EX_UNAVAILABLE);
}

// RFC 3207: no fall-back to plain text, and EHLO again once TLS is up.
DeliveryReport MtaDialogue::upgradeToTls() {
    if (!offersKeyword(ehloReply, "STARTTLS")) {
        return {EX_UNAVAILABLE,
                envelope.serverName +
                    " does not offer STARTTLS (hint: set tls off or on, or another port)",
                oneLine(ehloReply), true};
    }
    const std::string reply = client.requestTls();
    if (!replyIs(reply, "220")) {
        return refused("STARTTLS", reply, EX_UNAVAILABLE);
    }
    client.beginTls(envelope.tls);
    ehloReply = client.ehlo(envelope.heloName);
    return replyIs(ehloReply, "250") ? DeliveryReport{}
                                     : refused("EHLO", ehloReply, EX_UNAVAILABLE);
}

DeliveryReport MtaDialogue::authenticate() {
    const Credentials credentials{envelope.user, envelope.password};
    std::string reply;
    if (envelope.mechanism == AuthMechanism::login) {
        reply = client.authLogin();
        if (replyIs(reply, "334")) {
            reply = client.sendAuthName(loginResponse(credentials.user));
        }
        if (replyIs(reply, "334")) {
            reply = client.sendAuthPass(loginResponse(credentials.password));
        }
    } else {
        reply = authenticateInOneStep(client, envelope.mechanism, credentials);
    }
    return replyIs(reply, "235") ? DeliveryReport{} : refused("AUTH", reply, EX_UNAVAILABLE);
}

DeliveryReport MtaDialogue::send(const std::string& sender, const StringList& recipients,
                                 MessageFile& message, DotStuffing rule) {
    DeliveryReport report;
    inData = false;
    try {
        report = transaction(sender, recipients, message, rule);
    } catch (const SocketException& e) {
        connected = false;
        report = transportFailure(envelope.serverName, e);
        report.afterData = inData;
        return report;
    }
    if (!report.delivered() && connected) {
        try {
            client.rset();
        } catch (const SocketException&) {
            // The refusal is what the report must say.
        }
    }
    return report;
}

// A refused recipient ends the transaction before DATA: nobody gets a
// message that silently missed someone, and a retry cannot duplicate it.
// Neither does a message over the server's stated limit (RFC 1870).
DeliveryReport MtaDialogue::transaction(const std::string& sender, const StringList& recipients,
                                        MessageFile& message, DotStuffing rule) {
    const bool sizeOffered = offersKeyword(ehloReply, "SIZE");
    const std::uint64_t size = sizeOffered ? messageWireSize(message) : 0;
    const std::uint64_t limit = sizeLimit(ehloReply);
    if (size > limit) {
        return {EX_UNAVAILABLE,
                envelope.serverName + " takes at most " + std::to_string(limit) +
                    " bytes (SIZE), the message has " + std::to_string(size),
                ""};
    }
    const StringList replies =
        envelopeReplies(sender, recipients, sizeOffered ? "SIZE=" + std::to_string(size) : "");
    const DeliveryReport report = judged(replies, sender, recipients);
    if (!report.delivered()) {
        endUnwantedData(replies);
        return report;
    }
    inData = true;
    const std::string reply = message.sendThrough(client, rule);
    inData = false;
    if (!replyIs(reply, "250")) {
        return refused("the message", reply, EX_UNAVAILABLE);
    }
    return {EX_OK, "", oneLine(reply)};
}

// The replies to MAIL, each RCPT and DATA: all of them in one round trip when
// the server pipelines (RFC 2920), else up to the first refusal.
StringList MtaDialogue::envelopeReplies(const std::string& sender, const StringList& recipients,
                                        const std::string& mailParameters) {
    const bool pipelining = offersKeyword(ehloReply, "PIPELINING");
    if (pipelining) {
        client.holdCommands();
    }
    StringList replies{client.mail("<" + sender + ">", mailParameters)};
    while (replies.size() < recipients.size() + 2 &&
           (pipelining || judged(replies, sender, recipients).delivered())) {
        const std::size_t next = replies.size() - 1;
        replies.push_back(next < recipients.size() ? client.rcpt("<" + recipients[next] + ">")
                                                   : client.data());
    }
    return pipelining ? client.sendHeld() : replies;
}

// A 354 to a pipelined DATA after a refusal. Without an accepted recipient the
// empty message goes nowhere (RFC 2920 3.1); with one it would reach them, so
// the connection is dropped inside the data, which the server then discards.
void MtaDialogue::endUnwantedData(const StringList& replies) {
    if (replies.size() < 3 || !replyIs(replies.back(), "354")) {
        return;
    }
    const bool someAccepted =
        replyIs(replies.front(), "250") &&
        std::any_of(replies.begin() + 1, replies.end() - 1, [](const std::string& reply) {
            return replyIs(reply, "250") || replyIs(reply, "251");
        });
    if (someAccepted) {
        client.drop();
        connected = false;
    } else {
        client.endEmptyData();
    }
}

// The first refusal among the replies to MAIL, each RCPT and DATA, as far as
// they have come.
DeliveryReport MtaDialogue::judged(const StringList& replies, const std::string& sender,
                                   const StringList& recipients) const {
    if (!replyIs(replies.front(), "250")) {
        return refused("the sender <" + sender + ">", replies.front(), EX_UNAVAILABLE);
    }
    for (std::size_t i = 0; i < recipients.size() && i + 1 < replies.size(); ++i) {
        const std::string& reply = replies[i + 1];
        if (!replyIs(reply, "250") && !replyIs(reply, "251")) {
            return refused("the recipient <" + recipients[i] + ">", reply, EX_NOUSER);
        }
    }
    if (replies.size() == recipients.size() + 2 && !replyIs(replies.back(), "354")) {
        return refused("DATA", replies.back(), EX_UNAVAILABLE);
    }
    return {};
}

void MtaDialogue::close() {
    if (!connected) {
        return;
    }
    connected = false;
    try {
        client.quit();
    } catch (const SocketException&) {
        // The server has had its say; a broken goodbye changes nothing.
    }
}

// 4xx is temporary whatever was refused; anything but 4xx and 5xx is a
// server that does not speak SMTP as it should.
DeliveryReport MtaDialogue::refused(const std::string& what, const std::string& reply,
                                    int permanentStatus) const {
    const char kind = reply.empty() ? '?' : reply[0];
    const int status = kind == '4' ? EX_TEMPFAIL : kind == '5' ? permanentStatus : EX_PROTOCOL;
    const std::string hint = hintFor(reply);
    return {status, envelope.serverName + " refused " + what + ": " + oneLine(reply) + hint,
            oneLine(reply), !hint.empty() || what == "STARTTLS"};
}
