#include "scriptedserver.h"

#include "process.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <stdexcept>

namespace {

const Script defaults = {"CONNECT 220 scripted.test ESMTP ready",
                         "HELO 250 scripted.test",
                         "EHLO 250-scripted.test\r\n250 AUTH LOGIN",
                         "STARTTLS 220 2.0.0 Ready to start TLS",
                         "STARTTLS handshake good",
                         "AUTH 334 VXNlcm5hbWU6",
                         "AUTH-NAME 334 UGFzc3dvcmQ6",
                         "AUTH-PASS 235 2.7.0 Authentication successful",
                         "MAIL 250 2.1.0 Ok",
                         "RCPT 250 2.1.5 Ok",
                         "DATA 354 End data with <CR><LF>.<CR><LF>",
                         "DATA-END 250 2.0.0 Ok: queued",
                         "QUIT 221 2.0.0 Bye"};

// An authority valid for two days and the certificates it signed, as the handshakes name them.
const char* const makeCertificates =
    "k='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes'\n"
    "openssl req -x509 $k -keyout ca.key -out ca.pem -days 2 -subj /CN=Brenvox-test-CA\n"
    "sign() { openssl req $k -keyout $1.key -out $1.csr -subj /CN=$1 -addext subjectAltName=$2\n"
    "  openssl x509 -req -in $1.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days $3 \\\n"
    "    -copy_extensions copy -out $1.pem; }\n"
    "sign good DNS:localhost,IP:127.0.0.1,IP:::1 2\n"
    "sign other DNS:other.example,IP:127.0.0.2 2\n"
    "sign expired DNS:localhost,IP:127.0.0.1 -1\n";

const TempDir& certificates() {
    static const TempDir dir;
    static const RunResult made = runProgram({"sh", "-ec", makeCertificates}, dir.path());
    return made.status == 0 ? dir : throw std::runtime_error("no certificates: " + made.out);
}

void setReceiveTimeout(int fd, int ms) {
    const timeval limit{ms / 1000, ms % 1000 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

} // namespace

ScriptedServer::ScriptedServer(const Script& script) {
    for (const Script* list : {&defaults, &script}) {
        std::set<std::string> named;
        for (const std::string& entry : *list) {
            const std::string name = entry.substr(0, entry.find(' '));
            const std::string rest = entry.substr(name.size() + 1);
            const std::string word = rest.substr(0, rest.find(' '));
            const std::string value = rest.substr(std::min(rest.size(), word.size() + 1));
            Step& step = steps[name];
            if (word == "close-after" || word == "stall" || word == "dribble") {
                (word == "stall"     ? step.stallMs
                 : word == "dribble" ? step.dribbleMs
                                     : step.closeAfter) = std::stoul(value);
                continue;
            }
            if (word == "handshake") {
                step.certificate = value;
                continue;
            }
            if (named.insert(name).second) {
                step.replies.clear();
            }
            std::vector<std::string> pieces;
            for (std::size_t from = 0, bar; word == "pieces" && from <= value.size();
                 from = bar + 1) {
                bar = std::min(value.find('|', from), value.size());
                pieces.push_back(value.substr(from, bar - from));
            }
            for (const char c : word == "bytewise" ? value : "") {
                pieces.emplace_back(1, c);
            }
            step.replies.push_back(pieces.empty() ? std::vector<std::string>{rest + "\r\n"}
                                                  : pieces);
        }
    }
}

std::string ScriptedServer::authority() {
    return certificates().file("ca.pem");
}

ScriptedServer::~ScriptedServer() {
    stopping = true;
    shutdown(connection, SHUT_RDWR); // wakes a blocked receive
    finish();
    close(listener);
}

unsigned short ScriptedServer::start(bool ipv6) {
    listener = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* bound =
        ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address);
    socklen_t length = ipv6 ? sizeof address6 : sizeof address;
    if (bind(listener, bound, length) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, bound, &length) != 0) {
        throw std::runtime_error("scripted server: cannot listen");
    }
    setReceiveTimeout(listener, 10000); // bounds the wait for a client
    worker = std::thread(&ScriptedServer::serve, this);
    return ntohs(ipv6 ? address6.sin6_port : address.sin_port);
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
    if (!accepted) {
        shutdown(listener, SHUT_RDWR); // no client came: none will
    }
    if (worker.joinable()) {
        worker.join();
    }
}

void ScriptedServer::serve() {
    sigset_t pipe; // a client gone makes a TLS write fail, not end the test process
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    accepted = true;
    shutdown(listener, SHUT_RDWR); // one session: a second connection is refused
    const int one = 1;             // each piece leaves at once
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setReceiveTimeout(connection, 5000);
    bool open = connection != -1 && play("CONNECT");
    std::string expecting; // the step that takes the next line whatever it says
    for (std::size_t lf; open;) {
        while ((lf = pending.find('\n')) == std::string::npos && (open = receiveMore())) {
        }
        if (!open) {
            break;
        }
        const bool cr = lf > 0 && pending[lf - 1] == '\r';
        const std::string line = pending.substr(0, cr ? lf - 1 : lf + 1);
        lines.push_back((fresh || !pipelining ? "" : "+") + line);
        fresh = false;
        pending.erase(0, lf + 1);
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
                pause(steps["DATA-BODY"].dribbleMs);
                open = receiveMore();
            }
            end = end == std::string::npos ? pending.size() : end + 5;
            dataBytes = pending.substr(2, end - 2);
            fresh = false;
            pending.erase(0, end);
            open = open && play("DATA-END");
        }
    }
    // End of stream first, then take what the client still sends for a moment: closing with
    // unread bytes would reset the connection before the client reads the end of stream.
    shutdown(connection, SHUT_WR);
    setReceiveTimeout(connection, 20);
    for (int i = 0; i < 12 && !stopping && receiveMore(); ++i) {
    }
    SSL_free(tls);
    close(connection.exchange(-1));
}

bool ScriptedServer::play(const std::string& name) {
    Step& step = steps[name];
    const std::vector<std::string> unknown = {"500 5.5.2 Command not recognized\r\n"};
    const auto& reply = step.replies.empty()
                            ? unknown
                            : step.replies[std::min(step.played++, step.replies.size() - 1)];
    code.clear(); // the code may come in pieces of its own
    for (const std::string& piece : reply) {
        code += piece.substr(0, 3 - std::min<std::size_t>(3, code.size()));
        pipelining = name == "EHLO" ? pipelining || piece.find("PIPELINING") != std::string::npos
                                    : pipelining;
    }
    pause(step.stallMs);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        pause(i > 0 ? 20 : 0);
        if (i == step.closeAfter || stopping || !write(reply[i])) {
            return false;
        }
    }
    if (!step.certificate.empty() && code == "220") {
        return shakeHands(step.certificate);
    }
    return step.closeAfter == std::string::npos;
}

bool ScriptedServer::shakeHands(const std::string& certificate) {
    if (certificate == "hang-up") {
        receiveMore();
        return false;
    }
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    const std::string name = certificates().file(certificate == "tls1.1" ? "good" : certificate);
    SSL_CTX_use_certificate_chain_file(context, (name + ".pem").c_str());
    SSL_CTX_use_PrivateKey_file(context, (name + ".key").c_str(), SSL_FILETYPE_PEM);
    if (certificate == "tls1.1") {
        SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION);
        SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
    }
    tls = SSL_new(context);
    SSL_CTX_free(context); // the session holds it
    SSL_set_fd(tls, connection);
    return SSL_accept(tls) == 1;
}

bool ScriptedServer::write(const std::string& bytes) {
    const int size = static_cast<int>(bytes.size());
    // The client may be gone already: no SIGPIPE in the test process.
    return tls != nullptr ? SSL_write(tls, bytes.data(), size) == size
                          : send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL) == size;
}

bool ScriptedServer::receiveMore() {
    char buffer[65536];
    const ssize_t count = tls != nullptr ? SSL_read(tls, buffer, static_cast<int>(sizeof buffer))
                                         : recv(connection, buffer, sizeof buffer, 0);
    pending.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    fresh = fresh || count > 0;
    return count > 0;
}

void ScriptedServer::pause(std::size_t ms) {
    for (std::size_t waited = 0; waited < ms && !stopping; waited += 10) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min<std::size_t>(10, ms - waited)));
    }
}
