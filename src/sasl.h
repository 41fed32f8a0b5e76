#ifndef BRENVOX_SASL_H
#define BRENVOX_SASL_H

#include <string>

// The SASL encodings of AUTH (RFC 4954), every result already base64.

struct Credentials {
    std::string user;
    std::string password;
};

// "user:pass" split at the first colon; no colon: an empty password.
Credentials splitCredentials(const std::string& userColonPass);
// RFC 4616: NUL user NUL password.
std::string plainInitialResponse(const Credentials& credentials);
// XOAUTH2: the OAuth 2.0 bearer token in place of the password.
std::string xoauth2InitialResponse(const Credentials& credentials);
// RFC 7628 OAUTHBEARER: the token with the user name in a GS2 header.
std::string oauthbearerInitialResponse(const Credentials& credentials);
// What a client sends to an OAUTHBEARER error challenge to get the final reply.
std::string oauthbearerErrorAnswer();
// AUTH LOGIN's answers to its two challenges: the user name, then the password.
std::string loginResponse(const std::string& text);

#endif
