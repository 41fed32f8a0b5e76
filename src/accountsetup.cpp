#include "accountsetup.h"

#include "configfile.h"
#include "secret.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>

namespace {

constexpr unsigned short smtpPort = 25;
constexpr unsigned short implicitTlsPort = 465;

TlsMode tlsModeOf(TlsSetting setting) {
    return setting == TlsSetting::on         ? TlsMode::implicit
           : setting == TlsSetting::starttls ? TlsMode::startTls
                                             : TlsMode::none;
}

AuthMechanism mechanismOf(AuthSetting setting) {
    return setting == AuthSetting::plain         ? AuthMechanism::plain
           : setting == AuthSetting::xoauth2     ? AuthMechanism::xoauth2
           : setting == AuthSetting::oauthbearer ? AuthMechanism::oauthbearer
                                                 : AuthMechanism::login;
}

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string credentialsFromAccount(const Account& account, Envelope& envelope) {
    if (account.auth == AuthSetting::off) {
        return "";
    }
    std::string secret;
    const std::string error = readSecret(account, secret);
    if (!error.empty()) {
        return error;
    }
    if (secret.empty()) {
        return "account '" + account.name +
               "' sets auth but no password, passwordfile or passwordeval";
    }
    if (hasLineBreak(account.user) || hasLineBreak(secret) ||
        secret.find('\0') != std::string::npos) {
        return "account '" + account.name + "': line break or NUL in the user or password";
    }
    envelope.hasCredentials = true;
    envelope.user = account.user;
    envelope.password = secret;
    envelope.mechanism = mechanismOf(account.auth);
    return "";
}

} // namespace

std::string loadAccount(const std::string& settingsPath, const std::string& accountName,
                        Account& account) {
    const std::string path = findSettingsFile(settingsPath);
    if (path.empty()) {
        return "no settings file: name one, or write $XDG_CONFIG_HOME/brenvox/config "
               "(~/.config/brenvox/config) or /etc/brenvox.conf";
    }
    Settings settings;
    std::string error = loadSettings(path, settings);
    if (!error.empty()) {
        return error;
    }
    const Account* found = findAccount(settings, accountName, error);
    if (found == nullptr) {
        return error;
    }
    account = *found;
    return "";
}

std::string loadAccountChain(const std::string& path, const std::string& accountName,
                             std::vector<Account>& chain) {
    Settings settings;
    std::string error = loadSettings(path, settings);
    const Account* account = error.empty() ? findAccount(settings, accountName, error) : nullptr;
    // The settings file has no loop (parseSettings), so the chain ends.
    for (; account != nullptr; account = account->fallback.empty()
                                             ? nullptr
                                             : findAccount(settings, account->fallback, error)) {
        chain.push_back(*account);
    }
    return error;
}

std::string serverFromAccount(const Account& account, Envelope& envelope) {
    if (account.host.empty()) {
        return "account '" + account.name + "' names no host";
    }
    if (hasLineBreak(account.host) || hasLineBreak(account.helo)) {
        return "account '" + account.name + "': line break in host or helo";
    }
    envelope.serverName = account.host;
    envelope.tlsMode = tlsModeOf(account.tls);
    envelope.port = !account.port.empty() ? static_cast<unsigned short>(portNumber(account.port))
                    : envelope.tlsMode == TlsMode::implicit ? implicitTlsPort
                                                            : smtpPort;
    envelope.tls = {account.host, account.cafile, !account.tlsVerify};
    envelope.heloName = account.helo.empty() ? machineName() : account.helo;
    return credentialsFromAccount(account, envelope);
}

std::string machineName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

std::string localUserName() {
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "";
}
