#include "email.h"

#include "addresslist.h"
#include "authfile.h"
#include "base64.h"
#include "bodytext.h"
#include "clocktext.h"
#include "interruption.h"
#include "messagefile.h"
#include "messagewriter.h"
#include "mimetypes.h"
#include "smtpclient.h"
#include "socketexception.h"
#include "textfile.h"
#include "transcript.h"
#include "updater.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <vector>

namespace {

constexpr unsigned int receiveSizeBytes = 34;
constexpr unsigned int transmitTimeoutSeconds = 60;
constexpr unsigned int receiveTimeoutSeconds = 120;
constexpr int defaultPort = 25;
constexpr int implicitTlsPort = 465;
constexpr int successStatus = 0;
constexpr int failureStatus = 1;
constexpr std::size_t configHeaderLines = 5;
// Names are drawn from the microsecond clock; this many collisions in a row
// means the directory is not usable rather than unlucky.
constexpr int maxFileNameAttempts = 100000;

// Every line is flushed at once: a run from cron or into a file must show how
// far it got even when a silent server holds it or it is killed.
void printLine(const std::string& line) {
    std::cout << line << std::endl;
}

std::string transportError(const SocketException& e) {
    return "! Error: " + e.errMsg() + " - " + e.reason();
}

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// Leading blanks, a sign and the longest run of digits; anything after is
// ignored and no digits give 0. Saturates instead of overflowing.
int portNumber(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

struct ServerLine {
    std::string host;
    bool hasPort = false;
    std::string port;
    bool valid = true;
};

// "server[:port]", split at the last colon (one at the very start names no
// port); an IPv6 address, full of colons, is written in brackets:
// "[2001:db8::1]:2525" or "[::1]". Brackets that are not closed, hold nothing or
// are followed by anything but ":port" make the line invalid: dropping the rest
// would send to a server or port the file does not name.
ServerLine splitServerLine(const std::string& line) {
    if (!line.empty() && line[0] == '[') {
        const std::size_t close = line.find(']');
        const bool hasPort = close != std::string::npos && line.compare(close + 1, 1, ":") == 0;
        if (close == std::string::npos || close == 1 || (!hasPort && close + 1 != line.size())) {
            return {"", false, "", false};
        }
        return {line.substr(1, close - 1), hasPort, hasPort ? line.substr(close + 2) : ""};
    }
    const std::size_t colon = line.rfind(':');
    const bool hasPort = colon != std::string::npos && colon != 0;
    return {line.substr(0, colon), hasPort, hasPort ? line.substr(colon + 1) : ""};
}

// Why a text file could not be taken: the copy of a pipe or device fills the
// disk like the message file would.
std::string textFileError(TextFile::Status status, const std::string& unreadableLine) {
    return status == TextFile::Status::spoolFailed ? "Error writing message file." : unreadableLine;
}

} // namespace

Email::Email() {
    reset();
}

void Email::reset() {
    configFile.clear();
    rawFile.clear();
    serverName.clear();
    serverPort.clear();
    serverPortInt = defaultPort;
    toList.clear();
    fromAddress.clear();
    subject.clear();
    messageText.clear();
    messageFile.clear();
    heloName.clear();
    authName.clear();
    authFile.clear();
    authEnvironment.clear();
    authMechanism = "login";
    attachmentList.clear();
    verbose = false;
    tlsMode = TlsMode::none;
    caFile.clear();
    insecure = false;
    showProgress = true;
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
    toList = parseList(std::move(tl));
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

// ---- Helpers whose rules live in their own files ---------------------------

void Email::displayString(std::string line) const {
    if (verbose && !line.empty()) {
        std::cout << transcriptText(line) << std::flush;
    }
}
std::string Email::base64Encode(std::string stringToEncode) const {
    return ::base64Encode(stringToEncode);
}
std::string Email::getEmailDate() {
    return formatEmailDate(std::time(nullptr));
}
std::string Email::getMessageIDPrefix() const {
    return messageIdPrefix();
}
void Email::stripWhiteSpace(std::string& st) const {
    st = stripSpaces(std::move(st));
}
StringList Email::parseList(std::string recipientList) {
    return parseAddressList(recipientList);
}
std::string Email::extensionToMimeType(std::string extensionName) {
    return mimeTypeFor(extensionName);
}
std::string Email::getExtension(std::string fileName) const {
    return extensionOf(fileName);
}
std::string Email::extractFile(const std::string& fullPath) const {
    return fileNameOf(fullPath);
}
std::string Email::generateFileName() {
    return messageFileName();
}
std::string Email::padIt(int hour, int min) const {
    return formatZoneOffset(hour, min);
}

Email::Outcome Email::writeMailFile(int fd, const BodyText& body) {
    const MessageContent content{fromAddress,    toList,
                                 subject,        body,
                                 attachmentList, heloName.empty() ? "localhost" : heloName};
    std::string unreadable;
    switch (writeMessage(fd, content, unreadable)) {
    case WriteOutcome::written:
        return {};
    case WriteOutcome::textUnreadable:
        return Outcome::stop("Error reading message file.");
    case WriteOutcome::attachmentUnreadable:
        return Outcome::stop("Error reading attachment file " + unreadable);
    case WriteOutcome::writeFailed:
        break;
    }
    return Outcome::stop("Error writing message file.");
}

// ---- Send driver -------------------------------------------------------------

int Email::sendMail() {
    SmtpClient smtpclient(receiveSizeBytes);
    Updater upd;
    if (showProgress) {
        smtpclient.setUpdater(&upd);
    }
    smtpclient.setTransmitTimeout(transmitTimeoutSeconds);
    smtpclient.setReceiveTimeout(receiveTimeoutSeconds);

    MessageFile message;
    Outcome outcome = prepareMessage(message);
    if (!outcome.stopped()) {
        outcome = settleCredentials();
    }
    if (!outcome.stopped()) {
        outcome = checkJob();
    }
    if (outcome.stopped()) {
        printLine(outcome.errorLine);
        return failureStatus;
    }
    try {
        outcome = runDialogue(smtpclient, message);
        if (outcome.stopped()) {
            printLine(outcome.errorLine);
            quit(smtpclient);
            return failureStatus;
        }
    } catch (const SocketException& e) {
        printLine(transportError(e));
        return failureStatus;
    }
    quitAfterDelivery(smtpclient);
    return successStatus;
}

// The message ends up as an open file whose lines are counted.
Email::Outcome Email::prepareMessage(MessageFile& message) {
    BodyText body;
    if (!configFile.empty()) {
        const Outcome merged = mergeConfigFile(body);
        if (merged.stopped()) {
            return merged;
        }
    }
    if (rawFile.empty()) {
        Outcome composed = collectBody(body);
        if (!composed.stopped()) {
            composed = composeMessageFile(body, message);
        }
        if (composed.stopped()) {
            return composed;
        }
    } else if (!message.open(rawFile)) {
        return Outcome::stop("Error reading message file.");
    }
    // An empty message would leave the server waiting for data that never comes.
    if (!message.countLines() || message.lineCount() == 0) {
        return Outcome::stop("Error reading message file.");
    }
    if (!serverPort.empty()) {
        serverPortInt = portNumber(serverPort);
    } else if (tlsMode == TlsMode::implicit) {
        serverPortInt = implicitTlsPort;
    }
    if (heloName.empty()) {
        heloName = "localhost";
    }
    return {};
}

// Lines 1 to 5 override the command line; the rest starts the body. An invalid
// server line ends the run before its port is reported.
Email::Outcome Email::mergeConfigFile(BodyText& body) {
    TextFile file;
    const TextFile::Status status = file.open(configFile);
    StringList head;
    off_t bodyStart = 0;
    if (status != TextFile::Status::open || !file.readLines(configHeaderLines, head, bodyStart)) {
        return Outcome::stop(textFileError(status, "Error reading config file."));
    }
    if (!head.empty()) {
        if (!splitServerLine(head.front()).valid) {
            return Outcome::stop("Error reading config file.");
        }
        takeConfigPort(head.front());
    }
    if (head.size() < configHeaderLines) {
        return Outcome::stop("Invalid config file.");
    }
    if (!body.addFile(std::move(file), bodyStart)) {
        return Outcome::stop("Error reading config file.");
    }
    if (body.empty()) {
        return Outcome::stop("Invalid config file.");
    }
    serverName = splitServerLine(head[0]).host;
    heloName = head[1];
    fromAddress = "<" + head[2] + ">";
    toList = parseList(head[3]);
    subject = head[4];
    return {};
}

void Email::takeConfigPort(const std::string& serverLine) {
    const ServerLine parts = splitServerLine(serverLine);
    if (!parts.hasPort) {
        serverPortInt = defaultPort;
        printLine("set serverPortInt to 25");
        return;
    }
    serverPort = parts.port;
    serverPortInt = portNumber(serverPort);
    printLine("serverport = " + serverPort + "  serverPortInt = " + std::to_string(serverPortInt));
}

// The -m text is an argument, held already; a file is read as it is written.
Email::Outcome Email::collectBody(BodyText& body) const {
    if (!messageText.empty()) {
        body.addText(messageText);
        return {};
    }
    if (messageFile.empty()) {
        return {};
    }
    TextFile file;
    const TextFile::Status status = file.open(messageFile);
    if (status != TextFile::Status::open || !body.addFile(std::move(file), 0)) {
        return Outcome::stop(textFileError(status, "Error reading message file."));
    }
    return {};
}

// One descriptor from the exclusive creation (mode 0600, never through a
// planted link) through writing and reading back: the name is never opened
// again, so swapping it for a link in a shared directory gains nothing. The
// name goes as soon as the message is written, or fails to be.
Email::Outcome Email::composeMessageFile(const BodyText& body, MessageFile& message) {
    displayString("* Creating message file.\n");
    std::string filePath;
    const int fd = createExclusiveFile(filePath);
    if (fd == -1) {
        return Outcome::stop("Error writing message file.");
    }
    message.adopt(fd);
    OwnedFileName name(filePath, fd);
    const Outcome written = writeMailFile(fd, body);
    if (!name.remove() && !written.stopped()) {
        printLine("Error deleting message file " + filePath);
    }
    return written;
}

int Email::createExclusiveFile(std::string& filePath) const {
    for (int attempt = 0; attempt < maxFileNameAttempts; ++attempt) {
        filePath = workingDir + messageFileName();
        const int fd =
            ::open(filePath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

Email::Outcome Email::settleCredentials() {
    if (!authName.empty()) {
        return {};
    }
    if (!authFile.empty()) {
        const std::string error = readAuthFile(authFile, authName);
        return error.empty() ? Outcome{} : Outcome::stop(error);
    }
    authName = authEnvironment;
    return {};
}

// The job must name a server, a recipient and a sender, and no text that goes
// into a command line or a header may carry a line break (it would inject
// commands or headers). The first failing row gives the line.
Email::Outcome Email::checkJob() const {
    const bool composed = rawFile.empty();
    const auto attachmentNameBreaks = [](const std::string& path) {
        return hasLineBreak(fileNameOf(path));
    };
    const std::pair<bool, const char*> rows[] = {
        {serverName.empty(), "Aborting - no server defined."},
        {toList.empty(), "Aborting - no recipients defined."},
        {fromAddress.empty(), "Aborting - no From address defined."},
        {hasLineBreak(fromAddress), "Aborting - line break in From address."},
        {std::any_of(toList.begin(), toList.end(), hasLineBreak),
         "Aborting - line break in recipient address."},
        {hasLineBreak(heloName), "Aborting - line break in HELO domain."},
        {hasLineBreak(authName), "Aborting - line break in credentials."},
        // AUTH PLAIN separates the user name and password with NUL bytes.
        {authName.find('\0') != std::string::npos, "Aborting - NUL byte in credentials."},
        {composed && hasLineBreak(subject), "Aborting - line break in subject."},
        // The file name goes into the part headers, where a line break would
        // end the data early or add header lines.
        {composed &&
             std::any_of(attachmentList.begin(), attachmentList.end(), attachmentNameBreaks),
         "Aborting - line break in attachment name."},
    };
    for (const auto& [failed, line] : rows) {
        if (failed) {
            return Outcome::stop(line);
        }
    }
    if (authMechanism != "login" && authMechanism != "plain" && authMechanism != "xoauth2") {
        return Outcome::stop("Aborting - unknown authentication mechanism " + authMechanism + ".");
    }
    return {};
}

// Once the server has taken the message, a failing QUIT must not make a script
// send it again: the error is shown, the run still counts as delivered.
void Email::quitAfterDelivery(SmtpClient& client) {
    try {
        quit(client);
    } catch (const SocketException& e) {
        printLine(transportError(e));
    }
}
