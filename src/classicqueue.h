#ifndef BRENVOX_CLASSICQUEUE_H
#define BRENVOX_CLASSICQUEUE_H

#include "stringlist.h"

#include <string>

class MessageFile;
struct Envelope;

// --queue on the classic command line: where a temporarily failed message waits, and where a
// flush reads its credentials again (none, account, file, environment), never the secret.
struct ClassicQueue {
    std::string dir;
    std::string credentials = "none";
    std::string authFile, settings, account;
};

// The --queue of arguments into queue (set true in queued); the error line when the run could
// not be flushed later (-A, whose secret would have to be kept), empty otherwise.
std::string parseQueueOption(const StringList& arguments, bool authFromEnvironment,
                             ClassicQueue& queue, bool& queued);

// Spools the composed message for a later --flush and prints "* Queued as ID: REASON".
// Returns 75, or 1 with an error line when it could not be spooled whole.
int queueClassicMessage(const ClassicQueue& queue, const Envelope& envelope,
                        const std::string& mechanism, MessageFile& message,
                        const std::string& reason);

#endif
