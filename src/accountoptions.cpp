#include "accountoptions.h"

#include "accountsetup.h"
#include "email.h"

namespace {

const char* mechanismName(AuthMechanism mechanism) {
    switch (mechanism) {
    case AuthMechanism::plain:
        return "plain";
    case AuthMechanism::xoauth2:
        return "xoauth2";
    case AuthMechanism::oauthbearer:
        return "oauthbearer";
    case AuthMechanism::login:
        break;
    }
    return "login";
}

void applyAccount(const Account& account, const Envelope& server, Email& job) {
    job.setServerName(server.serverName);
    job.setServerPort(std::to_string(server.port));
    job.setTlsMode(server.tlsMode);
    job.setCaFile(server.tls.caFile);
    job.setInsecure(server.tls.insecure);
    if (server.hasCredentials) {
        job.setAuth(server.user + ":" + server.password);
        job.setAuthMechanism(mechanismName(server.mechanism));
    }
    if (!account.from.empty()) {
        job.setFromAddress("<" + account.from + ">");
    }
    if (!account.helo.empty()) {
        job.setHeloName(account.helo);
    }
}

} // namespace

std::string applyAccountOptions(const StringList& arguments, Email& job) {
    bool named = false;
    std::string settingsPath;
    std::string accountName;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const bool hasValue = i + 1 < arguments.size();
        if (arguments[i] == "--settings" && hasValue) {
            settingsPath = arguments[i + 1];
            named = true;
        } else if (arguments[i] == "--account") {
            const bool nameFollows = hasValue && arguments[i + 1].rfind('-', 0) != 0;
            accountName = nameFollows ? arguments[i + 1] : "";
            named = true;
        }
    }
    if (!named) {
        return "";
    }
    Account account;
    Envelope server;
    std::string error = loadAccount(settingsPath, accountName, account);
    if (error.empty()) {
        error = serverFromAccount(account, server);
    }
    if (error.empty()) {
        applyAccount(account, server, job);
    }
    return error;
}
