#include "email.h"

#include "addresslist.h"
#include "authfile.h"
#include "bodytext.h"
#include "configfile.h"
#include "jobcheck.h"
#include "messagefile.h"
#include "messagewriter.h"
#include "sasl.h"
#include "smtpdialogue.h"
#include "socketexception.h"
#include "transcript.h"
#include "wirewriter.h"

#include <cctype>
#include <cerrno>
#include <iostream>

namespace {

constexpr int successStatus = 0;
constexpr int failureStatus = 1;

// Every line is flushed at once: a run from cron or into a file must show how
// far it got even when a silent server holds it or it is killed.
void printLine(const std::string& line) {
    std::cout << line << std::endl;
}

std::string transportError(const SocketException& e) {
    return "! Error: " + e.errMsg() + " - " + e.reason();
}

std::string oneLine(std::string reply) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) {
        reply.pop_back();
    }
    for (char& c : reply) {
        c = c == '\r' || c == '\n' ? ' ' : c;
    }
    return reply;
}

// Once the server has taken the message, a failing QUIT must not make a script
// send it again: the error is shown, the run still counts as delivered. A
// failure that a later try may not meet (no connection, 4xx, a connection lost
// before the reply to the data; not TLS) leaves its reason in temporary.
int deliver(const Envelope& envelope, MessageFile& message, const Transcript& transcript,
            bool showProgress, std::string& temporary) {
    SmtpDialogue dialogue(envelope, transcript, showProgress);
    try {
        const Outcome delivered = dialogue.deliver(message);
        if (delivered.stopped()) {
            printLine(delivered.errorLine());
            temporary = dialogue.lastReply()[0] == '4' ? oneLine(dialogue.lastReply()) : "";
            dialogue.quit();
            return failureStatus;
        }
    } catch (const SocketException& e) {
        printLine(transportError(e));
        temporary = e.errNum() == EPROTO ? "" : e.errMsg() + " - " + e.reason();
        return failureStatus;
    }
    try {
        dialogue.quit();
    } catch (const SocketException& e) {
        printLine(transportError(e));
    }
    return successStatus;
}

} // namespace

Email::Email() = default;

void Email::reset() {
    Email fresh;
    fresh.workingDir = std::move(workingDir);
    *this = std::move(fresh);
}

void Email::setConfigFile(std::string value) {
    configFile = std::move(value);
}
void Email::setRawFile(std::string value) {
    rawFile = std::move(value);
}
void Email::setWorkingDir(std::string value) {
    workingDir = std::move(value);
}
void Email::setServerName(std::string value) {
    serverName = std::move(value);
}
void Email::setServerPort(std::string value) {
    serverPort = std::move(value);
}
void Email::setToList(std::string tl) {
    toList = parseAddressList(tl);
}
void Email::setFromAddress(std::string value) {
    fromAddress = std::move(value);
}
void Email::setSubject(std::string value) {
    subject = std::move(value);
}
void Email::setMessageText(std::string value) {
    messageText = std::move(value);
}
void Email::setMessageFile(std::string value) {
    messageFile = std::move(value);
}
void Email::setHeloName(std::string value) {
    heloName = std::move(value);
}
void Email::setAuth(std::string value) {
    authName = std::move(value);
}
void Email::setAuthFile(std::string path) {
    authFile = std::move(path);
}
void Email::setAuthFromEnvironment(std::string value) {
    authEnvironment = std::move(value);
}
void Email::setAuthMechanism(std::string name) {
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    authMechanism = std::move(name);
}
void Email::setAttachmentList(StringList value) {
    attachmentList = std::move(value);
}
void Email::setVerbose(bool value) {
    verbose = value;
}
void Email::setShowProgress(bool value) {
    showProgress = value;
}
void Email::setTlsMode(TlsMode value) {
    tlsMode = value;
}
void Email::setCaFile(std::string value) {
    caFile = std::move(value);
}
void Email::setInsecure(bool value) {
    insecure = value;
}
void Email::setQueue(ClassicQueue value) {
    queued = true;
    queue = std::move(value);
}

void Email::setCcList(const std::string& list) {
    composeOptions.cc = parseAddressList(list);
}
void Email::setBccList(const std::string& list) {
    composeOptions.bcc = parseAddressList(list);
}
void Email::setReplyTo(const std::string& list) {
    composeOptions.replyTo = parseAddressList(list);
}
void Email::setFromName(std::string value) {
    composeOptions.fromName = std::move(value);
}
void Email::addHeaderField(std::string text) {
    composeOptions.headerFields.push_back(std::move(text));
}
void Email::setHtmlFile(std::string path) {
    composeOptions.htmlFile = std::move(path);
}
void Email::addInlineFile(std::string path) {
    composeOptions.inlines.push_back(std::move(path));
}

int Email::sendMail() {
    const Transcript transcript(verbose);
    Draft draft = draftFromOptions();
    MessageFile message;
    Outcome outcome = takeMessage(draft, message, transcript);
    outcome = outcome.stopped() ? outcome : settle(draft);
    if (outcome.stopped()) {
        printLine(outcome.errorLine());
        return failureStatus;
    }
    std::string temporary;
    const int status = deliver(draft.envelope, message, transcript, showProgress, temporary);
    if (status != successStatus && queued && !temporary.empty()) {
        return queueClassicMessage(queue, draft.envelope, authMechanism, message, temporary);
    }
    return status;
}

Email::Draft Email::draftFromOptions() const {
    Draft draft;
    draft.envelope.serverName = serverName;
    draft.envelope.heloName = heloName;
    draft.envelope.sender = fromAddress;
    draft.envelope.recipients = toList;
    draft.subject = subject;
    draft.portText = serverPort;
    draft.credentials = authName;
    return draft;
}

// The message ends up as an open file whose lines are counted; an empty one
// would leave the server waiting for data that never comes.
Outcome Email::takeMessage(Draft& draft, MessageFile& message, const Transcript& transcript) const {
    BodyText body;
    BodyText html;
    Outcome outcome = configFile.empty() ? Outcome{} : mergeConfigFile(draft, body);
    if (draft.envelope.heloName.empty()) {
        draft.envelope.heloName = "localhost";
    }
    if (!outcome.stopped() && rawFile.empty()) {
        outcome = readBodies(body, html);
        const BodyText* shown = composeOptions.htmlFile.empty() ? nullptr : &html;
        outcome = outcome.stopped() ? outcome : compose(draft, body, shown, message, transcript);
    }
    if (outcome.stopped()) {
        return outcome;
    }
    if ((!rawFile.empty() && !message.open(rawFile)) || !message.countLines() ||
        message.lineCount() == 0) {
        return Outcome::stop("Error reading message file.");
    }
    return {};
}

// Kept on purpose: lines 1 to 5 of the file override the options given with it.
Outcome Email::mergeConfigFile(Draft& draft, BodyText& body) const {
    ConfigFile config;
    const Outcome read = readConfigFile(configFile, config, body);
    if (read.stopped()) {
        return read;
    }
    draft.envelope.serverName = config.server;
    draft.envelope.heloName = config.heloName;
    draft.envelope.sender = "<" + config.sender + ">";
    draft.envelope.recipients = parseAddressList(config.recipients);
    draft.subject = config.subject;
    if (config.namesPort) {
        draft.portText = config.port;
        draft.configNamedPort = true;
    }
    return {};
}

// Standard input can be read for only one of them.
Outcome Email::readBodies(BodyText& body, BodyText& html) const {
    const std::string& htmlFile = composeOptions.htmlFile;
    if (messageText.empty() && messageFile == "-" && htmlFile == "-") {
        return Outcome::stop("Aborting - -M - and --html - both read standard input.");
    }
    std::string error = addMessageBody(body, messageText, messageFile);
    if (error.empty() && !htmlFile.empty()) {
        error = addBodyFile(html, htmlFile, "Error reading HTML file " + htmlFile);
    }
    return error.empty() ? Outcome{} : Outcome::stop(error);
}

// The name goes as soon as the message is written, or fails to be.
Outcome Email::compose(const Draft& draft, const BodyText& body, const BodyText* html,
                       MessageFile& message, const Transcript& transcript) const {
    transcript.step("Creating message file.");
    if (!message.create(workingDir)) {
        return Outcome::stop("Error writing message file.");
    }
    const Envelope& envelope = draft.envelope;
    const MessageContent content{envelope.sender, envelope.recipients, draft.subject,  body,
                                 attachmentList,  envelope.heloName,   composeOptions, html};
    // The text is dot-stuffed already; the "." last line it ends with ends the data.
    WireWriter wire(message.descriptor(), DotStuffing::lastLineEnds);
    std::string unreadable;
    const std::string error = writeErrorLine(writeMessage(wire, content, unreadable), unreadable);
    const Outcome written = error.empty() ? Outcome{} : Outcome::stop(error);
    message.setWireForm(wire.size(), wire.lineCount());
    if (!message.removeName() && !written.stopped()) {
        printLine("Error deleting message file " + message.path());
    }
    return written;
}

// Port, HELO name, credentials, TLS and mechanism, then the checks. The copies
// are recipients like the rest, counted and refused with them.
Outcome Email::settle(Draft& draft) const {
    Envelope& envelope = draft.envelope;
    for (const StringList* copies : {&composeOptions.cc, &composeOptions.bcc}) {
        envelope.recipients.insert(envelope.recipients.end(), copies->begin(), copies->end());
    }
    envelope.port =
        settledPort(draft.portText, draft.configNamedPort, tlsMode == TlsMode::implicit);
    const std::string error = chooseCredentials(authFile, authEnvironment, draft.credentials);
    if (!error.empty()) {
        return Outcome::stop(error);
    }
    const Outcome checked = checkJob({envelope, draft.credentials, rawFile.empty(), draft.subject,
                                      attachmentList, authMechanism, composeOptions});
    if (checked.stopped()) {
        return checked;
    }
    const Credentials credentials = splitCredentials(draft.credentials);
    envelope.hasCredentials = !draft.credentials.empty();
    envelope.user = credentials.user;
    envelope.password = credentials.password;
    envelope.mechanism = *mechanismNamed(authMechanism);
    envelope.tlsMode = tlsMode;
    envelope.tls = {envelope.serverName, caFile, insecure};
    return {};
}
