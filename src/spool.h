#ifndef BRENVOX_SPOOL_H
#define BRENVOX_SPOOL_H

#include "queueentry.h"
#include "stringlist.h"

#include <string>

class MessageFile;

// $XDG_STATE_HOME/brenvox/queue (~/.local/state/brenvox/queue), /var/spool/brenvox for root.
std::string defaultQueueDirectory();
// Makes dir (0700, parents as needed) and checks that it is a directory of this user that
// group and others cannot write. Returns the error line, empty on success.
std::string prepareQueueDirectory(const std::string& dir);
// The entries' names in dir, any order; temporary files and subdirectories left out.
StringList queueEntryIds(const std::string& dir);
// Temporary files of writers that died more than maxAgeSeconds ago.
void removeStaleTemporaries(const std::string& dir, long maxAgeSeconds);
// The header and size of an entry, without taking it; false (error set) when unreadable.
bool peekEntry(const std::string& path, QueueEntry& entry, std::string& error);

// One entry of the queue, held with an exclusive flock from its creation or opening until
// destruction: a second flush skips it. Every change is a whole new file renamed into place,
// locked before the rename, so a killed attempt leaves the entry as it was.
class LockedEntry {
  public:
    enum class State { locked, busy, gone, corrupt };

    LockedEntry() = default;
    ~LockedEntry();
    LockedEntry(const LockedEntry&) = delete;
    LockedEntry& operator=(const LockedEntry&) = delete;

    // Writes a new entry of record and the bytes of messageFd (from its start) into dir:
    // written to a temporary name, synced, linked into place and the directory synced, so a
    // crash leaves a whole entry or none. Returns the error line; on error nothing is left.
    std::string create(const std::string& dir, const QueueEntry& record, int messageFd);
    // Takes the entry id of dir unless another process has it.
    State open(const std::string& dir, const std::string& id);

    const std::string& id() const { return name; }
    const std::string& problem() const { return corruption; } // why it is corrupt
    QueueEntry entry;

    // The message after the header, as the dialogue sends it.
    void message(MessageFile& file) const;
    // The header replaced by entry's; the error line, empty on success.
    std::string save();
    // Unlinked while still locked, once the server has taken it.
    std::string remove();
    // Moved into dir/sub/ (made 0700 when missing).
    std::string moveTo(const std::string& sub);

  private:
    std::string writeFile(const std::string& header, int source, long long from,
                          unsigned long long bytes, int& written, std::string& temporary) const;
    std::string path() const { return directory + "/" + name; }
    void release();

    std::string directory, name, corruption;
    int fd = -1;
    long long headerSize = 0;
};

#endif
