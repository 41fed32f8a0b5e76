#include "scriptedserver.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <stdexcept>

namespace {

const std::vector<std::string> defaults = {
    "CONNECT 220 scripted.test ESMTP ready",
    "HELO 250 scripted.test",
    "EHLO 250-scripted.test\r\n250-SIZE 10240000\r\n250 AUTH LOGIN",
    "AUTH 334 VXNlcm5hbWU6",
    "AUTH-NAME 334 UGFzc3dvcmQ6",
    "AUTH-PASS 235 2.7.0 Authentication successful",
    "MAIL 250 2.1.0 Ok",
    "RCPT 250 2.1.5 Ok",
    "DATA 354 End data with <CR><LF>.<CR><LF>",
    "DATA-END 250 2.0.0 Ok: queued",
    "NOOP 250 2.0.0 Ok",
    "RSET 250 2.0.0 Ok",
    "QUIT 221 2.0.0 Bye"};

std::vector<std::string> pieces(const std::string& text, char kind) {
    std::vector<std::string> out;
    if (kind == ' ') {
        out.push_back(text + "\r\n");
    } else if (kind == '/') {
        for (const char c : text) {
            out.emplace_back(1, c);
        }
    } else { // "|p1|p2": the text starts after the first bar
        for (std::size_t at = 0, bar; at <= text.size(); at = bar + 1) {
            bar = std::min(text.find('|', at), text.size());
            out.push_back(text.substr(at, bar - at));
        }
    }
    return out;
}

} // namespace

ScriptedServer::ScriptedServer(const std::vector<std::string>& script) {
    std::set<std::string> named;
    for (const auto* list : {&defaults, &script}) {
        named.clear();
        for (const std::string& entry : *list) {
            const std::size_t at = entry.find_first_of(" |/#~");
            const std::string name = entry.substr(0, at);
            const char kind = entry[at];
            const std::string rest = entry.substr(at + 1);
            Step& step = steps[name];
            if (kind == '#') {
                step.closeAfter = rest.empty() ? 0 : std::stoul(rest);
            } else if (kind == '~') {
                step.stallMs = std::stoi(rest);
            } else {
                if (named.insert(name).second) {
                    step.replies.clear();
                }
                step.replies.push_back(pieces(rest, kind));
            }
        }
    }
}

ScriptedServer::~ScriptedServer() {
    stopping = true;
    finish();
    close(listener);
}

unsigned short ScriptedServer::start() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("scripted server: cannot listen");
    }
    worker = std::thread(&ScriptedServer::serve, this);
    return ntohs(address.sin_port);
}

std::vector<std::string> ScriptedServer::commands() {
    finish();
    return lines;
}

std::string ScriptedServer::data() {
    finish();
    return dataBytes;
}

void ScriptedServer::finish() {
    stopping = stopping || connection == -1; // no client came: none will
    if (worker.joinable()) {
        worker.join();
    }
}

void ScriptedServer::serve() {
    if (!readable(listener, 10000)) {
        return;
    }
    connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int one = 1; // each piece leaves at once
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool open = play("CONNECT");
    std::string expecting; // the step that takes the next line whatever it says
    while (open) {
        std::size_t lf;
        while ((lf = pending.find('\n')) == std::string::npos && (open = receiveMore())) {
        }
        if (!open) {
            break;
        }
        const bool cr = lf > 0 && pending[lf - 1] == '\r';
        std::string line = pending.substr(0, cr ? lf - 1 : lf + 1);
        pending.erase(0, lf + 1);
        lines.push_back(line);
        const std::string name = expecting.empty() ? line.substr(0, line.find(' ')) : expecting;
        open = play(name) && name != "QUIT";
        expecting = code != "334"         ? ""
                    : name == "AUTH"      ? "AUTH-NAME"
                    : name == "AUTH-NAME" ? "AUTH-PASS"
                                          : "";
        if (open && name == "DATA" && code == "354") {
            pause(steps["DATA-BODY"].stallMs);
            // The CR LF ending the DATA line is the first half of the terminator.
            pending.insert(0, "\r\n");
            std::size_t end, from = 0;
            while ((end = pending.find("\r\n.\r\n", from)) == std::string::npos && open) {
                from = std::max<std::size_t>(pending.size(), 4) - 4;
                open = receiveMore();
            }
            end = end == std::string::npos ? pending.size() : end + 5;
            dataBytes = pending.substr(2, end - 2);
            pending.erase(0, end);
            open = open && play("DATA-END");
        }
    }
    // End of stream first, then take what the client still sends for a moment: closing with
    // unread bytes would reset the connection before the client reads the end of stream.
    shutdown(connection, SHUT_WR);
    for (int i = 0; i < 12; ++i) {
        if (readable(connection, 20) && !receiveMore()) {
            break;
        }
    }
    close(connection);
}

bool ScriptedServer::play(const std::string& name) {
    Step& step = steps[name];
    const std::vector<std::string> unknown = {"500 5.5.2 Command not recognized\r\n"};
    const auto& reply = step.replies.empty()
                            ? unknown
                            : step.replies[std::min(step.played, step.replies.size() - 1)];
    ++step.played;
    code.clear(); // the code may come in pieces of its own
    for (const std::string& piece : reply) {
        code += piece.substr(0, 3 - std::min<std::size_t>(3, code.size()));
    }
    pause(step.stallMs);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (i == step.closeAfter || stopping) {
            return false;
        }
        pause(i > 0 ? 20 : 0);
        // The client may be gone already: no SIGPIPE in the test process.
        if (send(connection, reply[i].data(), reply[i].size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(reply[i].size())) {
            return false;
        }
    }
    return step.closeAfter == std::string::npos;
}

bool ScriptedServer::receiveMore() {
    char buffer[65536];
    const ssize_t count =
        readable(connection, 5000) ? recv(connection, buffer, sizeof buffer, 0) : 0;
    pending.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    return count > 0;
}

bool ScriptedServer::readable(int fd, int ms) {
    pollfd watch{fd, POLLIN, 0};
    for (int waited = 0; waited < ms && !stopping; waited += 20) {
        if (poll(&watch, 1, 20) > 0) {
            return true;
        }
    }
    return false;
}

void ScriptedServer::pause(int ms) {
    for (int waited = 0; waited < ms && !stopping; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, ms - waited)));
    }
}
