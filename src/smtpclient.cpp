#include "smtpclient.h"

#include "linesplitter.h"
#include "smtpreply.h"
#include "socketexception.h"
#include "tlssession.h"
#include "transcript.h"
#include "updater.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// A server that never finishes its reply must not exhaust memory.
constexpr std::size_t maxReplySize = 1024 * 1024;
// The message goes to the socket a block at a time rather than a line at a time:
// 64 MiB in 0.12 s instead of 1.0 s (bench/compare).
constexpr std::size_t transferBlockSize = 256 * 1024;
const char secretMask[] = "****";
// RFC 5321 4.1.1.4: the line that ends the mail data.
constexpr char endOfData[] = ".\r\n";

int clampToInt(unsigned int value) {
    return static_cast<int>(std::min<unsigned int>(value, INT_MAX));
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

// The wire form of message lines: each followed by CR LF, at most limit of
// them (bytes after are ignored, so the count taken before sending holds).
// A message from elsewhere (a raw file) is untrusted: a "." line before the
// last would end the data and turn the rest into commands, so it goes as "..";
// a CR without LF goes as CR LF, as bare CRs are refused or misread by servers
// (SMTP smuggling), and what follows it is a wire line of its own. Other lines,
// ".." included, go as they stand. Remembers whether the last line was "."
// alone, which then ends the data itself. A message read from a pipe is text
// through and through: every line that starts with "." gets one more (RFC 5321
// 4.5.2) and the end-of-data line is always added.
class WireSink {
  public:
    WireSink(std::string& target, std::size_t lineLimit, DotStuffing rule)
        : out(target), limit(lineLimit), stuffEveryLine(rule == DotStuffing::everyLine) {}
    void piece(const char* begin, const char* end) {
        if (done == limit) {
            return;
        }
        for (const char* cr; (cr = static_cast<const char*>(std::memchr(
                                  begin, '\r', static_cast<std::size_t>(end - begin)))) != nullptr;
             begin = cr + 1) {
            append(begin, cr);
            endWireLine();
            splitByCr = true;
        }
        append(begin, end);
    }
    void lineEnd() {
        if (done == limit) {
            return;
        }
        ++done;
        lastLineWasDot = wireLineIsDot() && !splitByCr;
        if (lastLineWasDot && done == limit) {
            out += "\r\n";
        } else {
            endWireLine();
        }
        splitByCr = false;
        wireLineSize = 0;
    }
    std::size_t linesDone() const { return done; }
    bool full() const { return done == limit; }
    bool endedWithDot() const { return lastLineWasDot; }

  private:
    void append(const char* begin, const char* end) {
        if (wireLineSize == 0 && begin != end) {
            firstByte = *begin;
            if (stuffEveryLine && firstByte == '.') {
                out += '.';
            }
        }
        out.append(begin, end);
        wireLineSize += static_cast<std::size_t>(end - begin);
    }
    bool wireLineIsDot() const { return !stuffEveryLine && wireLineSize == 1 && firstByte == '.'; }
    void endWireLine() {
        out += wireLineIsDot() ? ".\r\n" : "\r\n";
        wireLineSize = 0;
    }

    std::string& out;
    std::size_t limit;
    std::size_t done = 0;
    std::size_t wireLineSize = 0;
    char firstByte = 0;
    bool splitByCr = false;
    bool lastLineWasDot = false;
    bool stuffEveryLine;
};

} // namespace

SmtpClient::SmtpClient(unsigned int buffSize)
    : maxBufferSize(buffSize),
      smtpSocket(std::make_unique<ClientSocket>(clampToInt(maxBufferSize))) {}

SmtpClient::~SmtpClient() = default;

void SmtpClient::setUpdater(Updater* updater) {
    smtpUpdater = updater;
}

void SmtpClient::setTranscript(const Transcript* transcript) {
    shownTo = transcript;
}

void SmtpClient::setMaskSecrets(bool value) {
    maskSecrets = value;
}

void SmtpClient::setTransmitTimeout(int val) {
    txTimeout = val;
}

void SmtpClient::setReceiveTimeout(int val) {
    rxTimeout = val;
}

// One deadline from the connection on bounds the whole greeting.
std::string SmtpClient::connect(std::string serverName, unsigned short port) {
    smtpSocket->setTransmitTimeout(txTimeout);
    smtpSocket->setReceiveTimeout(rxTimeout);
    smtpSocket->socketConnect(std::move(serverName), port);
    return shownReply(receiveReply());
}

std::string SmtpClient::connectTls(std::string serverName, unsigned short port,
                                   const TlsOptions& options) {
    smtpSocket->setTransmitTimeout(txTimeout);
    smtpSocket->setReceiveTimeout(rxTimeout);
    smtpSocket->socketConnect(std::move(serverName), port);
    smtpSocket->handshakeTls(options);
    showTlsHandshake();
    return shownReply(receiveReply());
}

std::string SmtpClient::requestTls() {
    std::string reply = exchange("STARTTLS");
    if (firstReplyLength(reply) != reply.size() || smtpSocket->dataWaiting()) {
        throw SocketException(EPROTO, "Unexpected data from server after STARTTLS");
    }
    return shownReply(reply);
}

void SmtpClient::beginTls(const TlsOptions& options) {
    smtpSocket->handshakeTls(options);
    showTlsHandshake();
}

std::string SmtpClient::shownReply(std::string reply) const {
    if (shownTo != nullptr) {
        shownTo->reply(reply);
    }
    return reply;
}

void SmtpClient::showTlsHandshake() const {
    if (shownTo != nullptr) {
        shownTo->step(smtpSocket->tlsDescription());
    }
}

std::string SmtpClient::tlsDescription() const {
    return smtpSocket->tlsDescription();
}

std::string SmtpClient::ehlo(std::string clientName) {
    return command("EHLO " + clientName);
}

std::string SmtpClient::helo(std::string clientName) {
    return command("HELO " + clientName);
}

std::string SmtpClient::authLogin() {
    return command("AUTH LOGIN");
}

std::string SmtpClient::authWith(const std::string& mechanism, const std::string& initialResponse) {
    const std::string line = "AUTH " + mechanism + " ";
    return command(line + initialResponse, maskSecrets ? line + secretMask : "");
}

std::string SmtpClient::sendAuthName(std::string authName) {
    return command(authName);
}

std::string SmtpClient::sendAuthPass(std::string authPass) {
    return command(authPass, maskSecrets && !authPass.empty() ? secretMask : "");
}

std::string SmtpClient::mailFrom(std::string fromAddress) {
    return command("MAIL FROM: " + fromAddress);
}

std::string SmtpClient::rcptTo(std::string toAddress) {
    return command("RCPT TO: " + toAddress);
}

std::string SmtpClient::mail(const std::string& reversePath) {
    return command("MAIL FROM:" + reversePath);
}

std::string SmtpClient::rcpt(const std::string& forwardPath) {
    return command("RCPT TO:" + forwardPath);
}

std::string SmtpClient::rset() {
    return command("RSET");
}

std::string SmtpClient::data() {
    return command("DATA");
}

std::string SmtpClient::sendMessage(const ByteSource& source, std::size_t lineCount,
                                    DotStuffing rule) {
    std::vector<char> block(transferBlockSize);
    std::string batch;
    batch.reserve(2 * block.size() + 2); // every byte an LF at worst
    LineSplitter splitter;
    WireSink wire(batch, lineCount, rule);
    std::size_t linesSent = 0;
    while (!wire.full()) {
        const std::size_t got = source(block.data(), block.size());
        if (got == 0) {
            splitter.finish(wire);
            if (!wire.full()) {
                throw SocketException(EIO, "Problem encountered reading message file");
            }
        }
        splitter.feed(block.data(), got, wire);
        sendBatch(batch, linesSent, wire.linesDone(), lineCount);
    }
    if (!wire.endedWithDot()) {
        smtpSocket->socketSend(endOfData, sizeof endOfData - 1);
    }
    return shownReply(receiveReply());
}

void SmtpClient::sendBatch(std::string& batch, std::size_t& linesSent, std::size_t linesDone,
                           std::size_t total) {
    if (!batch.empty()) {
        smtpSocket->socketSend(batch.data(), batch.size());
        batch.clear();
    }
    reportProgress(linesSent, linesDone - linesSent, total);
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

std::string SmtpClient::quit() {
    const std::string reply = command("QUIT");
    smtpSocket->socketClose();
    return reply;
}

std::string SmtpClient::command(const std::string& line, const std::string& shownAs) {
    return shownReply(exchange(line, shownAs));
}

std::string SmtpClient::exchange(const std::string& line, const std::string& shownAs) {
    if (shownTo != nullptr) {
        shownTo->command(shownAs.empty() ? line : shownAs);
    }
    smtpSocket->socketSend(line + "\r\n");
    return receiveReply();
}

// The receive time-out bounds the whole reply, not each piece of it: a server
// that dribbles bytes must not hold the run for longer.
SmtpClient::Deadline SmtpClient::replyDeadline() const {
    return std::chrono::steady_clock::now() + std::chrono::seconds(rxTimeout);
}

std::string SmtpClient::receiveBefore(Deadline deadline) {
    // 0 means no time-out at all, as for the socket option.
    return rxTimeout > 0 ? smtpSocket->socketReceive(deadline) : smtpSocket->socketReceive();
}

std::string SmtpClient::receiveReply() {
    const Deadline deadline = replyDeadline();
    std::string reply;
    for (;;) {
        const std::string piece = receiveBefore(deadline);
        // An empty receive means the server has closed its side: receiving again would only spin.
        if (piece.empty()) {
            throw SocketException(ECONNRESET, "Connection closed by server");
        }
        reply += piece;
        if (isCompleteReply(reply)) {
            latestReply = reply;
            return reply;
        }
        if (reply.size() > maxReplySize) {
            throw SocketException(EMSGSIZE, "Reply from server too long");
        }
    }
}
