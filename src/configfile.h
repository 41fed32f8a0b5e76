#ifndef BRENVOX_CONFIGFILE_H
#define BRENVOX_CONFIGFILE_H

#include "outcome.h"

#include <string>

class BodyText;

// Leading blanks, a sign and the longest run of digits; anything after is
// ignored and no digits give 0. Saturates instead of overflowing.
int portNumber(const std::string& text);
// The port to connect to: the text given (by -P, or by the file, which wins),
// else 465 for implicit TLS, else 25.
unsigned short settledPort(const std::string& portText, bool configNamedPort, bool implicitTls);

// The first five lines of a configuration file; the rest is body text.
struct ConfigFile {
    std::string server;
    // Whether the server line names a port, perhaps an empty one ("host:").
    bool namesPort = false;
    std::string port;
    std::string heloName;
    std::string sender; // bare, as written
    std::string recipients;
    std::string subject;
};

// Reads path into config and its body into body. Prints the port line the
// server line leads to; a stop gives the error line.
Outcome readConfigFile(const std::string& path, ConfigFile& config, BodyText& body);

#endif
