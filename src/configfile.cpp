#include "configfile.h"

#include "bodytext.h"
#include "textfile.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iostream>

namespace {

constexpr std::size_t configHeaderLines = 5;
constexpr int defaultPort = 25;
constexpr int implicitTlsPort = 465;

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

// Kept on purpose, wording and all: scripts read the port a file led to from
// these lines. "set serverPortInt to 25" is printed even when -P or implicit TLS
// then chooses another port.
void printPortLine(const ServerLine& server) {
    if (!server.hasPort) {
        std::cout << "set serverPortInt to 25" << std::endl;
        return;
    }
    std::cout << "serverport = " << server.port << "  serverPortInt = " << portNumber(server.port)
              << std::endl;
}

} // namespace

int portNumber(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Kept on purpose: a port number wraps to 16 bits (65561 reaches 25) rather
// than being refused, and a file's "host:" names an empty port, read as 0 like
// any port text without digits, unless implicit TLS gives 465.
unsigned short settledPort(const std::string& portText, bool configNamedPort, bool implicitTls) {
    const int number = !portText.empty() ? portNumber(portText)
                       : implicitTls     ? implicitTlsPort
                       : configNamedPort ? 0
                                         : defaultPort;
    return static_cast<unsigned short>(static_cast<unsigned int>(number) & 0xFFFFu);
}

// An invalid server line ends the run before its port is reported; too few
// lines or no body after the port line.
Outcome readConfigFile(const std::string& path, ConfigFile& config, BodyText& body) {
    TextFile file;
    const TextFile::Status status = file.open(path);
    StringList head;
    off_t bodyStart = 0;
    if (status != TextFile::Status::open || !file.readLines(configHeaderLines, head, bodyStart)) {
        return Outcome::stop(textFileError(status, "Error reading config file."));
    }
    const ServerLine server = head.empty() ? ServerLine{} : splitServerLine(head.front());
    if (!server.valid) {
        return Outcome::stop("Error reading config file.");
    }
    if (!head.empty()) {
        printPortLine(server);
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
    config = {server.host, server.hasPort, server.port, head[1], head[2], head[3], head[4]};
    return {};
}
