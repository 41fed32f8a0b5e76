#ifndef BRENVOX_SMTPAUTH_H
#define BRENVOX_SMTPAUTH_H

#include "envelope.h"
#include "sasl.h"

#include <string>

class SmtpClient;

// AUTH with the credentials in the command (RFC 4954's initial response):
// PLAIN, XOAUTH2 or OAUTHBEARER. The error challenge (334) of a token
// mechanism is answered as the mechanism asks, to get the final reply.
// Returns the reply that ended the exchange.
std::string authenticateInOneStep(SmtpClient& client, AuthMechanism mechanism,
                                  const Credentials& credentials);

#endif
