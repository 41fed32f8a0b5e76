#include "smtpserversession.h"

#include "descriptorio.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

constexpr std::size_t maxCommandBytes = 512; // RFC 5321 4.5.3.1.4, CR LF included
constexpr std::size_t maxRecipients = 1000;
constexpr int tempFailure = 75; // EX_TEMPFAIL
constexpr int unavailable = 69; // EX_UNAVAILABLE

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    return first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// The address of "FROM:<a@b> SIZE=1" after keyword ("FROM:"), parameters
// tolerated; false when it is malformed.
bool parsePath(const std::string& argument, const std::string& keyword, std::string& address) {
    if (upper(argument.substr(0, keyword.size())) != keyword) {
        return false;
    }
    const std::string path = trimmed(argument.substr(keyword.size()));
    if (path.empty() || path[0] != '<') {
        address = path.substr(0, path.find(' '));
        return !address.empty();
    }
    const auto close = path.find('>');
    address = path.substr(1, close - 1);
    return close != std::string::npos;
}

// In $TMPDIR or /tmp, its name removed at once so that nothing stays behind.
int anonymousFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/brenvox-XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd != -1) {
        ::unlink(path.c_str());
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return fd;
}

// A reply line from the relay, kept to one line with a code the client can act on.
std::string replyLine(std::string reply) {
    std::replace(reply.begin(), reply.end(), '\r', ' ');
    std::replace(reply.begin(), reply.end(), '\n', ' ');
    if (reply.size() < 3 || std::string("245").find(reply[0]) == std::string::npos) {
        return "451 4.3.0 Relay failed " + reply;
    }
    return reply;
}

class Session {
  public:
    Session(int inFd, int outFd, const Relay& relayTo, const std::string& hostName)
        : in(inFd), out(outFd), relay(relayTo), host(hostName) {}

    int run() {
        reply("220 " + host + " ESMTP ready");
        std::string line;
        for (Read read; !quit && (read = readCommand(line)) != Read::end;) {
            if (read == Read::tooLong) {
                reply("500 5.5.2 Line too long");
            } else {
                command(line);
            }
        }
        return status;
    }

  private:
    enum class Read { line, tooLong, end };

    // A command line without its line end; a last line without one is dropped.
    Read readCommand(std::string& line) {
        line.clear();
        bool tooLong = false;
        for (int c = in.next(); c != '\n'; c = in.next()) {
            if (c < 0) {
                return Read::end;
            }
            tooLong = tooLong || line.size() + 1 >= maxCommandBytes; // the LF counts
            if (!tooLong) {
                line += static_cast<char>(c);
            }
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return tooLong ? Read::tooLong : Read::line;
    }

    void command(const std::string& line) {
        const auto space = line.find(' ');
        const std::string verb = upper(line.substr(0, space));
        const std::string argument = space == std::string::npos ? "" : trimmed(line.substr(space));
        if (verb == "EHLO" || verb == "HELO") {
            greet(verb, argument);
        } else if (verb == "MAIL") {
            mail(argument);
        } else if (verb == "RCPT") {
            recipient(argument);
        } else if (verb == "DATA") {
            data(argument);
        } else if (verb == "RSET" || verb == "NOOP") {
            if (verb == "RSET") {
                reset();
            }
            reply("250 2.0.0 Ok");
        } else if (verb == "QUIT") {
            reply("221 2.0.0 Bye");
            quit = true;
        } else if (verb == "VRFY" || verb == "EXPN" || verb == "HELP" || verb == "STARTTLS" ||
                   verb == "AUTH" || verb == "BDAT" || verb == "ETRN") {
            reply("502 5.5.1 Command not implemented");
        } else {
            reply("500 5.5.2 Command unrecognized");
        }
    }

    void greet(const std::string& verb, const std::string& argument) {
        if (argument.empty()) {
            reply("501 5.5.4 Syntax: " + verb + " hostname");
            return;
        }
        greeted = true;
        reset();
        reply(verb == "EHLO" ? "250-" + host + "\r\n250 PIPELINING" : "250 " + host);
    }

    void mail(const std::string& argument) {
        std::string address;
        if (!greeted) {
            reply("503 5.5.1 Send EHLO or HELO first");
        } else if (inTransaction) {
            reply("503 5.5.1 Sender already given");
        } else if (!parsePath(argument, "FROM:", address)) {
            reply("501 5.5.4 Syntax: MAIL FROM:<address>");
        } else {
            sender = address;
            inTransaction = true;
            reply("250 2.1.0 Ok");
        }
    }

    void recipient(const std::string& argument) {
        std::string address;
        if (!inTransaction) {
            reply("503 5.5.1 Need MAIL first");
        } else if (!parsePath(argument, "TO:", address) || address.empty()) {
            reply("501 5.5.4 Syntax: RCPT TO:<address>");
        } else if (recipients.size() == maxRecipients) {
            reply("452 4.5.3 Too many recipients");
        } else {
            recipients.push_back(address);
            reply("250 2.1.5 Ok");
        }
    }

    void data(const std::string& argument) {
        if (!argument.empty()) {
            reply("501 5.5.4 Syntax: DATA");
            return;
        }
        if (recipients.empty()) {
            reply(inTransaction ? "503 5.5.1 Need RCPT first" : "503 5.5.1 Need MAIL first");
            return;
        }
        const int fd = anonymousFile();
        if (fd == -1) {
            reply("451 4.3.0 Cannot store the message");
            return;
        }
        reply("354 End data with <CR><LF>.<CR><LF>");
        FdWriter message(fd);
        if (!receive(message)) {
            status = tempFailure;
            quit = true;
        } else if (!message.flush() || ::lseek(fd, 0, SEEK_SET) != 0) {
            reply("452 4.3.1 Cannot store the message");
            status = tempFailure;
        } else {
            deliver(fd, message.lines());
        }
        ::close(fd);
        reset();
    }

    void deliver(int fd, std::uint64_t lines) {
        const std::string answer = replyLine(relay(sender, recipients, fd, lines));
        reply(answer);
        if (answer[0] == '4') {
            status = tempFailure;
        } else if (answer[0] == '5' && status == 0) {
            status = unavailable;
        }
    }

    // The text up to the "." line, unstuffed, each line ended by LF; false
    // when the input ends first.
    bool receive(FdWriter& message) {
        enum class At { lineStart, dot, dotCr, text, cr } at = At::lineStart;
        for (int c = in.next(); c >= 0; c = in.next()) {
            const char byte = static_cast<char>(c);
            if (at == At::lineStart && byte == '.') {
                at = At::dot;
                continue;
            }
            if ((at == At::dot || at == At::dotCr) && byte == '\n') {
                return true;
            }
            if (at == At::dot && byte == '\r') {
                at = At::dotCr;
                continue;
            }
            if ((at == At::dotCr || at == At::cr) && byte != '\n') {
                message.put('\r'); // a bare CR is text
            }
            at = byte == '\r' ? At::cr : byte == '\n' ? At::lineStart : At::text;
            if (byte != '\r') {
                message.put(byte);
            }
        }
        return false;
    }

    void reset() {
        inTransaction = false;
        sender.clear();
        recipients.clear();
    }

    void reply(const std::string& line) {
        out.write(line + "\r\n");
        out.flush();
    }

    FdReader in;
    FdWriter out;
    const Relay& relay;
    std::string host;
    bool greeted = false;
    bool inTransaction = false;
    bool quit = false;
    int status = 0;
    std::string sender;
    StringList recipients;
};

} // namespace

int runSmtpServerSession(int inFd, int outFd, const Relay& relay, const std::string& hostName) {
    return Session(inFd, outFd, relay, hostName).run();
}
