#ifndef BRENVOX_ENVELOPE_H
#define BRENVOX_ENVELOPE_H

#include "stringlist.h"
#include "tlsoptions.h"

#include <string>

enum class AuthMechanism { login, plain, xoauth2, oauthbearer };

// None, STARTTLS after the greeting (RFC 3207, no fall-back to plain text), or
// TLS from the connection on (RFC 8314).
enum class TlsMode { none, startTls, implicit };

// What the dialogue needs, settled once preparation is over: nothing in it is
// decided again while the dialogue runs.
struct Envelope {
    std::string serverName;
    unsigned short port = 25;
    std::string heloName;
    TlsMode tlsMode = TlsMode::none;
    TlsOptions tls;
    // Without credentials the dialogue starts with HELO (or EHLO for STARTTLS).
    bool hasCredentials = false;
    std::string user;
    std::string password;
    AuthMechanism mechanism = AuthMechanism::login;
    // As they go into MAIL FROM and RCPT TO: brackets included, nothing added.
    std::string sender;
    StringList recipients;
};

#endif
