#include "queuecommands.h"

#include "queuerun.h"
#include "settings.h"
#include "spool.h"

#include <sys/file.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <utility>

namespace {

constexpr long staleTemporarySeconds = 15 * 60;

void complain(const std::string& line) {
    std::cerr << "brenvox: " << line << std::endl;
}

struct Listed {
    std::string id;
    QueueEntry entry;
    std::string error; // why it cannot be read
};

// The entries of dir, oldest first; the unreadable ones first of all, to be moved aside.
std::vector<Listed> entriesByAge(const std::string& dir) {
    std::vector<Listed> entries;
    for (const std::string& id : queueEntryIds(dir)) {
        Listed listed{id, {}, ""};
        peekEntry(dir + "/" + id, listed.entry, listed.error);
        entries.push_back(listed);
    }
    std::sort(entries.begin(), entries.end(), [](const Listed& a, const Listed& b) {
        return std::make_pair(a.entry.created, a.id) < std::make_pair(b.entry.created, b.id);
    });
    return entries;
}

bool isDue(const QueueEntry& entry, std::time_t now, bool all) {
    if (all) {
        return true;
    }
    if (!entry.held.empty()) {
        return fileStamp(watchedFile(entry)) != entry.held;
    }
    return entry.nextAttempt <= now;
}

void tryEntry(const std::string& dir, const std::string& id, bool all, QueueRun& run) {
    LockedEntry locked;
    const LockedEntry::State state = locked.open(dir, id);
    if (state == LockedEntry::State::corrupt) {
        const std::string moved = locked.moveTo("corrupt");
        complain("queue entry " + id + " is corrupt (" + locked.problem() + "); " +
                 (moved.empty() ? "moved to " + dir + "/corrupt/, not sent" : moved));
        return;
    }
    if (state != LockedEntry::State::locked || !isDue(locked.entry, std::time(nullptr), all)) {
        return; // busy: another flush has it
    }
    Ending ending = Ending::queued;
    const DeliveryReport report = run.attempt(locked, ending);
    if (ending == Ending::failed || ending == Ending::held) {
        complain(report.problem + " " + endingNote(id, ending));
    }
}

std::string duration(long seconds) {
    seconds = std::max(seconds, 0L);
    return seconds < 60      ? std::to_string(seconds) + "s"
           : seconds < 3600  ? std::to_string(seconds / 60) + "m"
           : seconds < 86400 ? std::to_string(seconds / 3600) + "h"
                             : std::to_string(seconds / 86400) + "d";
}

std::string listLine(const std::string& id, const QueueEntry& entry, const std::string& mark) {
    const std::time_t now = std::time(nullptr);
    std::string recipients;
    for (const std::string& recipient : entry.recipients) {
        recipients += (recipients.empty() ? "" : ",") + recipient;
    }
    const std::string next = !mark.empty()              ? mark
                             : !entry.held.empty()      ? "held"
                             : entry.nextAttempt <= now ? "now"
                                                        : "in " + duration(entry.nextAttempt - now);
    const std::string maybe =
        entry.maybeDelivered > 0 ? "  maybe-delivered " + std::to_string(entry.maybeDelivered) : "";
    return id + "  " + std::to_string(entry.bytes) + "  " + duration(now - entry.created) + "  " +
           recipients + "  " + next + maybe +
           (entry.lastError.empty() ? "" : "  " + entry.lastError);
}

// The lines of one directory of the queue; false when it has no entry.
bool listDirectory(const std::string& dir, const std::string& mark) {
    const auto entries = entriesByAge(dir);
    for (const Listed& listed : entries) {
        std::cout << (listed.error.empty() ? listLine(listed.id, listed.entry, mark)
                                           : listed.id + "  corrupt  " + listed.error)
                  << '\n';
    }
    return !entries.empty();
}

bool plainId(const std::string& id) {
    return !id.empty() && id[0] != '.' && id.find('/') == std::string::npos;
}

} // namespace

std::string queueDirectoryFor(const std::string& given, const std::string& settingsPath) {
    if (!given.empty()) {
        return given;
    }
    Settings settings;
    std::string error;
    const std::string path = findSettingsFile(settingsPath);
    const Account* account = !path.empty() && loadSettings(path, settings).empty()
                                 ? findAccount(settings, "", error)
                                 : nullptr;
    return account != nullptr && !account->queue.empty() ? account->queue : defaultQueueDirectory();
}

int flushQueue(const std::string& dir, bool all, const Transcript& transcript) {
    const std::string error = prepareQueueDirectory(dir);
    if (!error.empty()) {
        complain(error);
        return EX_CANTCREAT;
    }
    removeStaleTemporaries(dir, staleTemporarySeconds);
    QueueRun run(transcript);
    for (const Listed& listed : entriesByAge(dir)) {
        tryEntry(dir, listed.id, all, run);
    }
    return EX_OK;
}

int listQueue(const std::string& dir) {
    const bool waiting = listDirectory(dir, "");
    const bool failed = listDirectory(dir + "/failed", "failed");
    const bool corrupt = listDirectory(dir + "/corrupt", "corrupt");
    if (!waiting && !failed && !corrupt) {
        std::cout << "Mail queue is empty\n";
    }
    std::cout << std::flush;
    return EX_OK;
}

int dropQueueEntry(const std::string& dir, const std::string& id) {
    for (const char* sub : {"", "/failed", "/corrupt"}) {
        const std::string path = dir + sub + "/" + id;
        const int fd = plainId(id) ? ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (fd == -1) {
            continue;
        }
        const bool taken = flock(fd, LOCK_EX | LOCK_NB) == 0;
        const bool removed = taken && ::unlink(path.c_str()) == 0;
        ::close(fd);
        if (!removed) {
            complain("queue entry " + id + (taken ? " cannot be removed" : " is being tried now"));
            return EX_TEMPFAIL;
        }
        return EX_OK;
    }
    complain("no queue entry " + id + " in " + dir);
    return EX_NOINPUT;
}
