#ifndef BRENVOX_SECRET_H
#define BRENVOX_SECRET_H

#include "settings.h"

#include <string>

// The password or OAuth 2.0 token of account: its password key, else the first line of its
// passwordfile (the auth-file rules: only its owner may read it), else the first output line
// of its passwordeval command. Left empty without an error when none of them is set. Returns
// the error line, empty on success; the secret is never part of it.
std::string readSecret(const Account& account, std::string& secret, int evalTimeoutSeconds = 60);

// Runs command with /bin/sh -c, standard input from /dev/null, standard error passed through,
// and takes the first line of its output (its CR LF or LF dropped). A command that fails, is
// killed, prints an empty first line or is still running after timeoutSeconds (then killed)
// is an error line naming it.
std::string runPasswordEval(const std::string& command, std::string& secret, int timeoutSeconds);

#endif
