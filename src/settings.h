#ifndef BRENVOX_SETTINGS_H
#define BRENVOX_SETTINGS_H

#include <string>
#include <vector>

enum class TlsSetting { off, starttls, on };
enum class AuthSetting { off, login, plain, xoauth2, oauthbearer };

// One account of a settings file: where and how to send. Empty texts are unset.
struct Account {
    std::string name;
    std::string host;
    std::string port; // decimal, empty: the default port of the mode
    TlsSetting tls = TlsSetting::off;
    std::string cafile;
    bool tlsVerify = true;
    AuthSetting auth = AuthSetting::off;
    std::string user, password, passwordFile, passwordEval, from;
    bool fromOverride = true; // off: the account's from replaces any other sender
    std::string domain, aliases, helo;
    int timeoutSeconds = 0; // 0: the program's default
    std::string logfile;
    bool syslog = false;
    std::string queue;
    std::string fallback;     // the account tried next on a temporary failure
    int rate = 0;             // messages per minute at most, 0: no limit
    int maxPerConnection = 0; // messages before a new connection, 0: no limit
};

struct Settings {
    std::string path;
    std::vector<Account> accounts; // in file order
};

// The settings file to read: explicitPath when given (taken as it is, so a missing one is
// reported by loadSettings), else $XDG_CONFIG_HOME/brenvox/config ($HOME/.config when that is
// unset or empty), else systemPath; the first that exists, empty when none does.
std::string findSettingsFile(const std::string& explicitPath,
                             const std::string& systemPath = "/etc/brenvox.conf");

// Reads path into settings after the permission checks: a regular file owned by the user or
// root, that group and others cannot write, and that they cannot read when it holds a
// password. Returns the error line ("FILE:LINE: ..." for the text), empty on success.
std::string loadSettings(const std::string& path, Settings& settings);

// The text of a settings file, path only naming it in the error line. A fallback that names
// no account, or a chain of them that comes back to itself, is an error.
std::string parseSettings(const std::string& path, const std::string& text, Settings& settings);

// The account called name; for an empty name the account "default" (what "account default :
// NAME" defines), else the only account of the file. Null with the error line in error.
const Account* findAccount(const Settings& settings, const std::string& name, std::string& error);

#endif
