#include "smtpclient.h"

#include "messagefile.h"
#include "socketexception.h"
#include "tlssession.h"
#include "updater.h"
#include "wirelines.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

namespace {

// A server that never finishes its reply must not exhaust memory.
constexpr std::size_t maxReplySize = 1024 * 1024;
// sendData hands the socket this much at a time rather than making one call per line.
constexpr std::size_t sendBatchSize = 64 * 1024;

int clampToInt(unsigned int value) {
    return static_cast<int>(std::min<unsigned int>(value, INT_MAX));
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A reply is complete once it ends in LF and its last line is not a continuation line, i.e. a
// three-digit code followed by "-" (RFC 5321, 4.2.1). Only the last line is looked at, so the
// check costs nothing like a rescan of the whole reply.
bool isComplete(const std::string& reply) {
    if (reply.empty() || reply.back() != '\n') {
        return false;
    }
    const std::size_t finalLf = reply.size() - 1;
    const std::size_t previousLf =
        finalLf == 0 ? std::string::npos : reply.rfind('\n', finalLf - 1);
    const std::size_t start = previousLf == std::string::npos ? 0 : previousLf + 1;
    const bool continued = finalLf - start >= 4 && isDigit(reply[start]) &&
                           isDigit(reply[start + 1]) && isDigit(reply[start + 2]) &&
                           reply[start + 3] == '-';
    return !continued;
}

// The length of the first complete reply at the start of text.
std::size_t firstReplyLength(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos) {
            break;
        }
        if (!isComplete(text.substr(start, lf + 1 - start))) {
            start = lf + 1;
            continue;
        }
        return lf + 1;
    }
    return text.size();
}

// Line i of n as a whole percentage, exact so that the last line gives 100. A single line has
// no step between lines; it is simply all of the message.
int progressOf(std::size_t index, std::size_t lines) {
    if (lines <= 1) {
        return 100;
    }
    return static_cast<int>(static_cast<std::uint64_t>(index) * 100U /
                            static_cast<std::uint64_t>(lines - 1));
}

// The first line whose value is at least value: the inverse of progressOf.
std::size_t firstLineOf(int value, std::size_t lines) {
    if (lines <= 1) {
        return lines;
    }
    const std::uint64_t steps = static_cast<std::uint64_t>(lines - 1);
    return static_cast<std::size_t>((static_cast<std::uint64_t>(value) * steps + 99U) / 100U);
}

// One block of the file at offset; 0 at its end.
std::size_t readBlock(int fd, std::vector<char>& block, off_t offset) {
    for (;;) {
        const ssize_t got = pread(fd, block.data(), block.size(), offset);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            throw SocketException(errno, "Problem encountered reading message file");
        }
    }
}

} // namespace

SmtpClient::SmtpClient(unsigned int buffSize)
    : maxBufferSize(buffSize),
      smtpSocket(std::make_unique<ClientSocket>(clampToInt(maxBufferSize))) {}

SmtpClient::~SmtpClient() = default;

void SmtpClient::setUpdater(Updater* updater) {
    smtpUpdater = updater;
    updateEnabled = true;
}

void SmtpClient::setTransmitTimeout(unsigned int val) {
    txTimeout = clampToInt(val);
}

void SmtpClient::setReceiveTimeout(unsigned int val) {
    rxTimeout = clampToInt(val);
}

void SmtpClient::update(const int& val) const {
    if (smtpUpdater != nullptr) {
        smtpUpdater->update(val);
    }
}

std::string SmtpClient::connect(std::string serverName, unsigned short port) const {
    smtpSocket->setTransmitTimeout(txTimeout);
    smtpSocket->setReceiveTimeout(rxTimeout);
    std::string greeting = smtpSocket->socketOpen(std::move(serverName), port);
    return readReply(std::move(greeting), replyDeadline());
}

std::string SmtpClient::connectTls(std::string serverName, unsigned short port,
                                   const TlsOptions& options) const {
    smtpSocket->setTransmitTimeout(txTimeout);
    smtpSocket->setReceiveTimeout(rxTimeout);
    smtpSocket->socketConnect(std::move(serverName), port);
    smtpSocket->startTls(options);
    return receiveReply();
}

std::string SmtpClient::startTls() {
    std::string reply = command("STARTTLS");
    if (firstReplyLength(reply) != reply.size() || smtpSocket->dataWaiting()) {
        throw SocketException(EPROTO, "Unexpected data from server after STARTTLS");
    }
    return reply;
}

void SmtpClient::beginTls(const TlsOptions& options) {
    smtpSocket->startTls(options);
}

std::string SmtpClient::tlsDescription() const {
    return smtpSocket->tlsDescription();
}

std::string SmtpClient::ehlo(std::string clientName) const {
    return command("EHLO " + clientName);
}

std::string SmtpClient::helo(std::string clientName) const {
    return command("HELO " + clientName);
}

std::string SmtpClient::authLogin() {
    return command("AUTH LOGIN");
}

std::string SmtpClient::sendAuthName(std::string authName) const {
    return command(authName);
}

std::string SmtpClient::sendAuthPass(std::string authPass) const {
    return command(authPass);
}

std::string SmtpClient::mailFrom(std::string fromAddress) const {
    return command("MAIL FROM: " + fromAddress);
}

std::string SmtpClient::rcptTo(std::string toAddress) const {
    return command("RCPT TO: " + toAddress);
}

std::string SmtpClient::data() {
    return command("DATA");
}

std::string SmtpClient::sendData(const StringList& messageData) const {
    const std::size_t lines = messageData.size();
    std::string batch;
    std::size_t linesSent = 0;
    for (std::size_t i = 0; i < lines; ++i) {
        WireLines::appendLine(messageData[i], batch);
        if (batch.size() >= sendBatchSize) {
            sendBatch(batch, linesSent, i + 1, lines);
        }
    }
    sendBatch(batch, linesSent, lines, lines);
    return receiveReply();
}

std::string SmtpClient::sendFile(int fd, std::size_t lineCount) const {
    WireLines wire(lineCount);
    std::vector<char> block(MessageFile::blockSize);
    std::string batch;
    batch.reserve(2 * block.size() + 2); // every byte an LF at worst
    std::size_t linesSent = 0;
    off_t offset = 0;
    while (!wire.full()) {
        const std::size_t got = readBlock(fd, block, offset);
        if (got == 0) {
            wire.finish(batch);
            if (!wire.full()) {
                throw SocketException(EIO, "Problem encountered reading message file");
            }
        }
        wire.append(block.data(), got, batch);
        offset += static_cast<off_t>(got);
        sendBatch(batch, linesSent, wire.linesDone(), lineCount);
    }
    return receiveReply();
}

void SmtpClient::sendBatch(std::string& batch, std::size_t& linesSent, std::size_t linesDone,
                           std::size_t total) const {
    if (!batch.empty()) {
        smtpSocket->socketSend(batch.data(), batch.size());
        batch.clear();
    }
    if (updateEnabled) {
        reportProgress(linesSent, linesDone - linesSent, total);
    }
    linesSent = linesDone;
}

void SmtpClient::reportProgress(std::size_t first, std::size_t count, std::size_t total) const {
    if (smtpUpdater == nullptr) {
        return;
    }
    while (count > 0) {
        const int value = progressOf(first, total);
        const std::size_t nextValueAt = std::max(firstLineOf(value + 1, total), first + 1);
        const std::size_t run = std::min(count, nextValueAt - first);
        smtpUpdater->update(value, run);
        first += run;
        count -= run;
    }
}

std::string SmtpClient::noop() {
    return command("NOOP");
}

std::string SmtpClient::rset() {
    return command("RSET");
}

std::string SmtpClient::quit() {
    std::string reply = command("QUIT");
    smtpSocket->socketClose();
    return reply;
}

std::string SmtpClient::command(const std::string& line) const {
    smtpSocket->socketSend(line + "\r\n");
    return receiveReply();
}

// The receive time-out bounds the whole reply, not each piece of it: a server
// that dribbles bytes must not hold the run for longer.
SmtpClient::Deadline SmtpClient::replyDeadline() const {
    return std::chrono::steady_clock::now() + std::chrono::seconds(rxTimeout);
}

std::string SmtpClient::receiveBefore(Deadline deadline) const {
    // 0 means no time-out at all, as for the socket option.
    return rxTimeout > 0 ? smtpSocket->socketReceive(deadline) : smtpSocket->socketReceive();
}

std::string SmtpClient::receiveReply() const {
    const Deadline deadline = replyDeadline();
    return readReply(receiveBefore(deadline), deadline);
}

std::string SmtpClient::readReply(std::string firstPiece, Deadline deadline) const {
    std::string reply;
    std::string piece = std::move(firstPiece);
    while (true) {
        // An empty receive means the server has closed its side: receiving again would only spin.
        if (piece.empty()) {
            throw SocketException(ECONNRESET, "Connection closed by server");
        }
        reply += piece;
        if (isComplete(reply)) {
            return reply;
        }
        if (reply.size() > maxReplySize) {
            throw SocketException(EMSGSIZE, "Reply from server too long");
        }
        piece = receiveBefore(deadline);
    }
}
