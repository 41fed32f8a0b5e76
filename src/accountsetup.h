#ifndef BRENVOX_ACCOUNTSETUP_H
#define BRENVOX_ACCOUNTSETUP_H

#include "envelope.h"
#include "settings.h"

#include <string>
#include <vector>

// The account a run names: the settings file found (settingsPath when given,
// else the user's, else the system's), read and checked, and the account in it
// (accountName, empty: the default one). Returns the error line, empty on success.
std::string loadAccount(const std::string& settingsPath, const std::string& accountName,
                        Account& account);

// The account accountName of the settings file at path and the accounts its fallback
// chain names, in the order they are tried. Returns the error line, empty on success.
std::string loadAccountChain(const std::string& path, const std::string& accountName,
                             std::vector<Account>& chain);

// The server half of an envelope from account: host, port (given, else 465 for
// tls on, else 25), TLS and its checks, the HELO name (helo, else this
// machine's name) and, when auth is set, the user and the password or token.
// Returns the error line, empty on success.
std::string serverFromAccount(const Account& account, Envelope& envelope);

// This machine's name, "localhost" when it has none.
std::string machineName();
// The name of the user running this, "root" for root; empty when unknown.
std::string localUserName();

#endif
