#ifndef BRENVOX_QUEUECOMMANDS_H
#define BRENVOX_QUEUECOMMANDS_H

#include <string>

class Transcript;

// The queue directory of a run: given (--queue DIR), else the queue key of the settings
// file's default account (settingsPath, empty: the file found as usual), else the default.
std::string queueDirectoryFor(const std::string& given, const std::string& settingsPath);

// --flush, sendmail -q: every entry whose time has come (all: every one, held ones too),
// oldest first. Stale temporary files go, corrupt entries are moved to corrupt/ with a line on
// standard error, as are the ones that fail for good or are held. The status (sysexits.h) is
// 0 unless the directory cannot be used.
int flushQueue(const std::string& dir, bool all, const Transcript& transcript);
// --queue-list, mailq, sendmail -bp: one line per entry, failed/ and corrupt/ ones marked.
int listQueue(const std::string& dir);
// --queue-drop ID: the entry removed, from the queue or failed/ or corrupt/.
int dropQueueEntry(const std::string& dir, const std::string& id);

#endif
