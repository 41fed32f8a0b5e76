#include "queuerun.h"

#include "accountsetup.h"
#include "authfile.h"
#include "deliverylog.h"
#include "jobcheck.h"
#include "messagefile.h"
#include "sasl.h"
#include "spool.h"
#include "transcript.h"

#include <sys/stat.h>
#include <sysexits.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

namespace {

constexpr int defaultTimeoutSeconds = 120;

TlsMode tlsModeNamed(const std::string& name) {
    return name == "starttls"   ? TlsMode::startTls
           : name == "implicit" ? TlsMode::implicit
                                : TlsMode::none;
}

// Read again at each flush: no secret waits in the queue.
std::string classicCredentials(const QueueEntry& entry, std::string& userColonPass,
                               Envelope& fromAccount) {
    if (entry.credentials == "account") {
        Account account;
        std::string error = loadAccount(entry.settings, entry.account, account);
        return error.empty() ? serverFromAccount(account, fromAccount) : error;
    }
    if (entry.credentials == "file") {
        return readAuthFile(entry.authFile, userColonPass);
    }
    if (entry.credentials == "environment") {
        const char* given = std::getenv("BRENVOX_AUTH");
        userColonPass = given != nullptr ? given : "";
        return given != nullptr ? "" : "BRENVOX_AUTH is not set for this flush";
    }
    return "";
}

} // namespace

std::string endingNote(const std::string& id, Ending ending) {
    switch (ending) {
    case Ending::held:
        return "(queued as " + id + ", held until the settings change)";
    case Ending::failed:
        return "(moved to failed/" + id + ")";
    case Ending::queued:
        return "(queued as " + id + ")";
    case Ending::delivered:
        break;
    }
    return "";
}

std::string watchedFile(const QueueEntry& entry) {
    if (entry.kind == QueueEntry::Kind::mailer || entry.credentials == "account") {
        return entry.settings;
    }
    return entry.credentials == "file" ? entry.authFile : "";
}

std::string fileStamp(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        return path.empty() ? "none" : "missing";
    }
    return std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + " " +
           std::to_string(info.st_size);
}

QueueRun::QueueRun(const Transcript& shown) : transcript(shown) {}

QueueRun::~QueueRun() {
    for (auto& [key, connection] : connections) {
        if (connection.dialogue) {
            connection.dialogue->close();
        }
    }
}

void QueueRun::know(const std::string& settingsPath, const Route& route) {
    Route known = route;
    known.key = settingsPath + "\n" + route.account.name;
    routes.emplace(known.key, known);
}

const Route* QueueRun::mailerRoute(const std::string& settings, const Account& account,
                                   std::string& error) {
    const std::string key = settings + "\n" + account.name;
    const auto known = routes.find(key);
    if (known != routes.end()) {
        return &known->second;
    }
    Route route{key, account, {}};
    error = serverFromAccount(account, route.server);
    return error.empty() ? &routes.emplace(key, route).first->second : nullptr;
}

const Route* QueueRun::classicRoute(const QueueEntry& entry, std::string& error) {
    Route route;
    route.account.name = entry.account;
    Envelope& server = route.server;
    server.serverName = entry.server;
    server.port = entry.port;
    server.heloName = entry.helo;
    server.tlsMode = tlsModeNamed(entry.tls);
    server.tls = {entry.server, entry.cafile, entry.insecure};
    std::string userColonPass;
    Envelope fromAccount;
    error = classicCredentials(entry, userColonPass, fromAccount);
    if (!error.empty()) {
        return nullptr;
    }
    const Credentials credentials = fromAccount.hasCredentials
                                        ? Credentials{fromAccount.user, fromAccount.password}
                                        : splitCredentials(userColonPass);
    server.hasCredentials = fromAccount.hasCredentials || !userColonPass.empty();
    server.user = credentials.user;
    server.password = credentials.password;
    server.mechanism = mechanismNamed(entry.auth).value_or(AuthMechanism::login);
    route.key = "classic\n" + entry.server + "\n" + std::to_string(entry.port) + "\n" + entry.tls +
                "\n" + entry.helo + "\n" + entry.credentials + "\n" + entry.authFile + "\n" +
                entry.settings + "\n" + entry.account;
    return &routes.emplace(route.key, route).first->second;
}

std::vector<const Route*> QueueRun::routesFor(const QueueEntry& entry, std::string& error) {
    if (entry.kind == QueueEntry::Kind::classic) {
        const Route* route = classicRoute(entry, error);
        return route != nullptr ? std::vector<const Route*>{route} : std::vector<const Route*>{};
    }
    std::vector<Account> chain;
    error = loadAccountChain(entry.settings, entry.account, chain);
    std::vector<const Route*> found;
    for (const Account& account : chain) {
        const Route* route = error.empty() ? mailerRoute(entry.settings, account, error) : nullptr;
        if (route != nullptr) {
            found.push_back(route);
        }
    }
    return error.empty() ? found : std::vector<const Route*>{};
}

// rate N: the messages of one account at least 60/N seconds apart.
void QueueRun::pace(const Route& route) {
    if (route.account.rate <= 0) {
        return;
    }
    const auto gap = std::chrono::milliseconds(60000 / route.account.rate);
    const auto last = lastSend.find(route.account.name);
    if (last != lastSend.end()) {
        std::this_thread::sleep_until(last->second + gap);
    }
    lastSend[route.account.name] = std::chrono::steady_clock::now();
}

DeliveryReport QueueRun::sendThrough(const Route& route, LockedEntry& locked) {
    Connection& connection = connections[route.key];
    const int most = route.account.maxPerConnection;
    if (connection.dialogue && most > 0 && connection.sent >= most) {
        connection.dialogue->close();
        connection.dialogue.reset();
    }
    if (!connection.dialogue) {
        const int timeout =
            route.account.timeoutSeconds > 0 ? route.account.timeoutSeconds : defaultTimeoutSeconds;
        connection.dialogue = std::make_unique<MtaDialogue>(route.server, transcript, timeout);
        connection.opened = connection.dialogue->open();
        connection.sent = 0;
    }
    if (!connection.opened.delivered()) {
        return connection.opened; // one refused connection per run and route
    }
    pace(route);
    MessageFile message;
    locked.message(message);
    const DeliveryReport report = connection.dialogue->send(
        locked.entry.sender, locked.entry.recipients, message, locked.entry.stuffing);
    ++connection.sent;
    if (!connection.dialogue->isOpen()) {
        connection.dialogue.reset(); // lost or dropped: the next message connects again
    }
    return report;
}

DeliveryReport QueueRun::attempt(LockedEntry& locked, Ending& ending) {
    std::string error;
    const std::vector<const Route*> chain = routesFor(locked.entry, error);
    DeliveryReport report{EX_CONFIG, error, "", true};
    const Route* taker = nullptr;
    for (const Route* route : chain) {
        if (taker != nullptr) {
            transcript.step("Trying fallback account " + route->account.name + " (" +
                            route->server.serverName + ")");
        }
        taker = route;
        report = sendThrough(*route, locked);
        const bool permanent = report.status != EX_TEMPFAIL && !report.settingsAtFault;
        if (report.delivered() || permanent) {
            break;
        }
    }
    ending = settle(locked, report, chain.empty() ? nullptr : chain.front(), taker);
    return report;
}

Ending QueueRun::settle(LockedEntry& locked, const DeliveryReport& report, const Route* primary,
                        const Route* taker) {
    QueueEntry& entry = locked.entry;
    const std::time_t now = std::time(nullptr);
    Ending ending = Ending::delivered;
    std::string saved;
    entry.maybeDelivered += report.afterData ? 1 : 0;
    if (report.delivered()) {
        saved = locked.remove();
        if (taker != primary) {
            transcript.step("Delivered through fallback account " + taker->account.name + " (" +
                            taker->server.serverName + ")");
        }
    } else {
        ++entry.attempts;
        entry.lastError = report.problem;
        const bool expired = now - entry.created >= giveUpSeconds;
        ending = report.settingsAtFault && !expired         ? Ending::held
                 : report.status == EX_TEMPFAIL && !expired ? Ending::queued
                                                            : Ending::failed;
        entry.held = ending == Ending::held ? fileStamp(watchedFile(entry)) : "";
        entry.nextAttempt = now + retryDelaySeconds(entry.attempts);
        if (expired) {
            entry.lastError = "gave up after 4 days: " + entry.lastError;
        }
        saved = locked.save();
        if (saved.empty() && ending == Ending::failed) {
            saved = locked.moveTo("failed");
        }
    }
    if (!saved.empty()) {
        std::cerr << "brenvox: " << saved << std::endl;
    }
    if (primary != nullptr) {
        const std::string note =
            report.delivered() ? "relay=" + taker->account.name : endingNote(locked.id(), ending);
        logDelivery(primary->account, entry.sender, entry.recipients, entry.bytes, report, note);
    }
    return ending;
}
