#ifndef BRENVOX_QUEUERUN_H
#define BRENVOX_QUEUERUN_H

#include "envelope.h"
#include "mtadialogue.h"
#include "settings.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

class LockedEntry;
struct QueueEntry;
class Transcript;

// Where an entry can go: an account of a settings file, or the server a classic run named.
struct Route {
    std::string key; // one connection per key and run
    Account account; // its name, rate, max_per_connection and log
    Envelope server;
};

// How an attempt left its entry.
enum class Ending { delivered, queued, held, failed };

// "(queued as ID)" and the like, after the problem line of an attempt that ended so.
std::string endingNote(const std::string& id, Ending ending);
// The file whose change releases a held entry; empty: only --flush --now does.
std::string watchedFile(const QueueEntry& entry);
// The modification time and size of path, to notice that it changed.
std::string fileStamp(const std::string& path);

// Attempts on queue entries, keeping one connection per route open across them.
class QueueRun {
  public:
    explicit QueueRun(const Transcript& transcript);
    ~QueueRun();
    QueueRun(const QueueRun&) = delete;
    QueueRun& operator=(const QueueRun&) = delete;

    // A route already settled (the sendmail mode's account): its secret is not read twice.
    void know(const std::string& settingsPath, const Route& route);
    // Through the entry's routes until one takes it or refuses it for good, then the entry is
    // removed, saved with its next time, held or moved to failed/. The decisive report.
    DeliveryReport attempt(LockedEntry& locked, Ending& ending);

  private:
    struct Connection {
        std::unique_ptr<MtaDialogue> dialogue;
        DeliveryReport opened;
        int sent = 0;
    };

    std::vector<const Route*> routesFor(const QueueEntry& entry, std::string& error);
    const Route* mailerRoute(const std::string& settings, const Account& account,
                             std::string& error);
    const Route* classicRoute(const QueueEntry& entry, std::string& error);
    DeliveryReport sendThrough(const Route& route, LockedEntry& locked);
    void pace(const Route& route);
    Ending settle(LockedEntry& locked, const DeliveryReport& report, const Route* primary,
                  const Route* taker);

    const Transcript& transcript;
    std::map<std::string, Route> routes;
    std::map<std::string, Connection> connections;
    std::map<std::string, std::chrono::steady_clock::time_point> lastSend;
};

#endif
