#include "scriptedserver.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>

namespace {

constexpr int acceptTimeoutMs = 10000;
constexpr int idleTimeoutMs = 5000;
constexpr int lingerMs = 250;
// Waits are cut into slices this long so that the destructor never waits on them for long.
constexpr int sliceMs = 20;

std::string verbOf(const std::string& line) {
    std::string verb = line.substr(0, line.find(' '));
    std::transform(verb.begin(), verb.end(), verb.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return verb;
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        // The client may be gone already; that must not raise SIGPIPE in the test process.
        const ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

} // namespace

ScriptedServer::ScriptedServer() {
    reply("CONNECT", "220 scripted.test ESMTP ready");
    reply("HELO", "250 scripted.test");
    reply("EHLO", "250-scripted.test\r\n250-SIZE 10240000\r\n250 AUTH LOGIN");
    reply("AUTH", "334 VXNlcm5hbWU6");
    reply("AUTH-NAME", "334 UGFzc3dvcmQ6");
    reply("AUTH-PASS", "235 2.7.0 Authentication successful");
    reply("MAIL", "250 2.1.0 Ok");
    reply("RCPT", "250 2.1.5 Ok");
    reply("DATA", "354 End data with <CR><LF>.<CR><LF>");
    reply("DATA-END", "250 2.0.0 Ok: queued");
    reply("NOOP", "250 2.0.0 Ok");
    reply("RSET", "250 2.0.0 Ok");
    reply("QUIT", "221 2.0.0 Bye");
}

ScriptedServer::~ScriptedServer() {
    stopping = true;
    finish();
    if (listener != -1) {
        close(listener);
    }
}

void ScriptedServer::reply(const std::string& step, const std::string& text) {
    script[step].replies = {{text + "\r\n"}};
}

void ScriptedServer::sequence(const std::string& step, const std::vector<std::string>& texts) {
    std::vector<std::vector<std::string>>& replies = script[step].replies;
    replies.clear();
    for (const std::string& text : texts) {
        replies.push_back({text + "\r\n"});
    }
}

void ScriptedServer::split(const std::string& step, std::vector<std::string> pieces) {
    script[step].replies = {std::move(pieces)};
}

void ScriptedServer::stall(const std::string& step, int ms) {
    script[step].stallMs = ms;
}

void ScriptedServer::closeAfter(const std::string& step, std::size_t piecesSent) {
    script[step].closeAfterPieces = piecesSent;
}

void ScriptedServer::setPieceDelay(int ms) {
    pieceDelayMs = ms;
}

std::vector<std::string> ScriptedServer::oneByteEach(const std::string& text) {
    std::vector<std::string> pieces;
    for (const char c : text) {
        pieces.emplace_back(1, c);
    }
    return pieces;
}

unsigned short ScriptedServer::start() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listener == -1 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("scripted server: cannot listen on 127.0.0.1");
    }
    worker = std::thread(&ScriptedServer::serve, this);
    return ntohs(address.sin_port);
}

std::string ScriptedServer::received() {
    finish();
    return receivedBytes;
}

std::vector<std::string> ScriptedServer::commands() {
    finish();
    return commandLines;
}

std::string ScriptedServer::data() {
    finish();
    return dataBytes;
}

void ScriptedServer::finish() {
    if (worker.joinable()) {
        worker.join();
    }
}

void ScriptedServer::serve() {
    if (!waitReadable(listener, acceptTimeoutMs)) {
        return;
    }
    connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener); // one connection only: later ones are refused
    listener = -1;
    if (connection == -1) {
        return;
    }
    // Each piece of a reply must leave at once, not wait to be coalesced with the next.
    const int noDelay = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    bool open = play("CONNECT");
    std::string expecting; // a step that takes the next line whatever its verb
    std::string line;
    while (open && readLine(line)) {
        const std::string stepName = expecting.empty() ? verbOf(line) : expecting;
        expecting.clear();
        open = play(stepName) && stepName != "QUIT";
        if (open && stepName == "AUTH" && replyCode == "334") {
            expecting = "AUTH-NAME";
        } else if (open && stepName == "AUTH-NAME" && replyCode == "334") {
            expecting = "AUTH-PASS";
        } else if (open && stepName == "DATA" && replyCode == "354") {
            pause(script["DATA-BODY"].stallMs);
            open = readData() && play("DATA-END");
        }
    }
    hangUp();
}

void ScriptedServer::hangUp() {
    // End of stream first, then take what the client still sends for a moment: closing with
    // unread bytes would reset the connection, and a client that has just sent a command would
    // see a receive failure instead of the end of the stream.
    shutdown(connection, SHUT_WR);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(lingerMs);
    char buffer[65536];
    while (!stopping && std::chrono::steady_clock::now() < until) {
        if (!waitReadable(connection, sliceMs)) {
            continue;
        }
        const ssize_t count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0) {
            break;
        }
        receivedBytes.append(buffer, static_cast<std::size_t>(count));
    }
    close(connection);
    connection = -1;
}

bool ScriptedServer::play(const std::string& stepName) {
    static const std::vector<std::string> unknown = {"500 5.5.2 Command not recognized\r\n"};
    Step& step = script[stepName];
    const std::vector<std::string>& pieces =
        step.replies.empty() ? unknown
                             : step.replies[std::min(step.played, step.replies.size() - 1)];
    ++step.played;
    replyCode.clear(); // the code may come in pieces of its own
    for (std::size_t i = 0; i < pieces.size() && replyCode.size() < 3; ++i) {
        replyCode += pieces[i].substr(0, 3 - replyCode.size());
    }
    pause(step.stallMs);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i == step.closeAfterPieces || stopping) {
            return false;
        }
        if (i > 0) {
            pause(pieceDelayMs);
        }
        if (!sendAll(connection, pieces[i])) {
            return false;
        }
    }
    return step.closeAfterPieces == noClose;
}

bool ScriptedServer::readLine(std::string& line) {
    std::size_t lf;
    while ((lf = pending.find('\n')) == std::string::npos) {
        if (!receiveMore()) {
            return false;
        }
    }
    line = pending.substr(0, lf);
    pending.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    commandLines.push_back(line);
    return true;
}

bool ScriptedServer::readData() {
    // The CR LF that ended the DATA line is the first half of the terminator (RFC 5321, 4.1.1.4).
    static const std::string terminator = "\r\n.\r\n";
    std::size_t end = std::string::npos;
    std::size_t searchFrom = 0;
    while (end == std::string::npos) {
        if (pending.compare(0, 3, ".\r\n") == 0) {
            end = 3;
        } else if (const std::size_t at = pending.find(terminator, searchFrom);
                   at != std::string::npos) {
            end = at + terminator.size();
        } else {
            // Only the new bytes, and a possible start of the terminator, need searching again.
            searchFrom =
                pending.size() < terminator.size() ? 0 : pending.size() - terminator.size();
            if (!receiveMore()) {
                dataBytes = pending; // whatever arrived before the client went
                return false;
            }
        }
    }
    dataBytes = pending.substr(0, end);
    pending.erase(0, end);
    return true;
}

bool ScriptedServer::receiveMore() {
    if (!waitReadable(connection, idleTimeoutMs)) {
        return false;
    }
    char buffer[65536];
    const ssize_t count = recv(connection, buffer, sizeof buffer, 0);
    if (count <= 0) {
        return false;
    }
    pending.append(buffer, static_cast<std::size_t>(count));
    receivedBytes.append(buffer, static_cast<std::size_t>(count));
    return true;
}

bool ScriptedServer::waitReadable(int fd, int timeoutMs) {
    pollfd watch{fd, POLLIN, 0};
    for (int waited = 0; waited < timeoutMs && !stopping; waited += sliceMs) {
        if (poll(&watch, 1, sliceMs) > 0) {
            return true;
        }
    }
    return false;
}

void ScriptedServer::pause(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(sliceMs), until - std::chrono::steady_clock::now()));
    }
}
