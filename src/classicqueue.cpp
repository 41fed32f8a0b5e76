#include "classicqueue.h"

#include "envelope.h"
#include "messagefile.h"
#include "queuecommands.h"
#include "settings.h"
#include "spool.h"

#include <sysexits.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace {

std::string absolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return !path.empty() && realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

std::string unbracketed(const std::string& address) {
    const bool bracketed = address.size() >= 2 && address.front() == '<' && address.back() == '>';
    return bracketed ? address.substr(1, address.size() - 2) : address;
}

const char* tlsName(TlsMode mode) {
    return mode == TlsMode::startTls ? "starttls" : mode == TlsMode::implicit ? "implicit" : "none";
}

bool isOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-';
}

} // namespace

std::string parseQueueOption(const StringList& arguments, bool authFromEnvironment,
                             ClassicQueue& queue, bool& queued) {
    bool secretGiven = false, accountNamed = false;
    std::string dir, authFile;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        const std::string next = hasValue ? arguments[i + 1] : "";
        queued = queued || argument == "--queue";
        dir = argument == "--queue" && hasValue && !isOption(next) ? next : dir;
        authFile = argument == "--auth-file" && hasValue ? next : authFile;
        secretGiven = secretGiven || argument.rfind("-A", 0) == 0;
        queue.settings = argument == "--settings" && hasValue ? next : queue.settings;
        accountNamed = accountNamed || argument == "--settings" || argument == "--account";
        queue.account =
            argument == "--account" && hasValue && !isOption(next) ? next : queue.account;
    }
    if (!queued) {
        return "";
    }
    if (secretGiven) {
        return "! Error: --queue cannot keep the password of -A for a later flush; give it with "
               "--auth-file, BRENVOX_AUTH or --account";
    }
    // The order chooseCredentials and the account options give them.
    queue.credentials = accountNamed          ? "account"
                        : !authFile.empty()   ? "file"
                        : authFromEnvironment ? "environment"
                                              : "none";
    queue.authFile = absolutePath(authFile);
    queue.settings = accountNamed ? absolutePath(findSettingsFile(queue.settings)) : "";
    queue.dir = queueDirectoryFor(dir, queue.settings);
    const std::string error = prepareQueueDirectory(queue.dir);
    return error.empty() ? "" : "! Error: " + error;
}

int queueClassicMessage(const ClassicQueue& queue, const Envelope& envelope,
                        const std::string& mechanism, MessageFile& message,
                        const std::string& reason) {
    QueueEntry record;
    record.kind = QueueEntry::Kind::classic;
    record.settings = queue.settings;
    record.account = queue.account;
    record.server = envelope.serverName;
    record.port = envelope.port;
    record.tls = tlsName(envelope.tlsMode);
    record.cafile = envelope.tls.caFile;
    record.insecure = envelope.tls.insecure;
    record.helo = envelope.heloName;
    record.auth = mechanism;
    record.credentials = queue.credentials;
    record.authFile = queue.authFile;
    record.sender = unbracketed(envelope.sender);
    for (const std::string& recipient : envelope.recipients) {
        record.recipients.push_back(unbracketed(recipient));
    }
    record.created = std::time(nullptr);
    record.nextAttempt = record.created + retryDelaySeconds(1);
    record.attempts = 1;
    record.lastError = reason;
    record.stuffing = DotStuffing::lastLineEnds;
    record.wireForm = message.inWireForm();
    record.lines = message.lineCount();
    LockedEntry locked;
    const std::string error = locked.create(queue.dir, record, message.descriptor());
    if (!error.empty()) {
        std::cout << "! Error: the message was not queued: " << error << std::endl;
        return 1;
    }
    std::cout << "* Queued as " << locked.id() << ": " << reason << std::endl;
    return EX_TEMPFAIL;
}
