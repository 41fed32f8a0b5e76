#ifndef BRENVOX_MESSAGEINGEST_H
#define BRENVOX_MESSAGEINGEST_H

#include "stringlist.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Values of the header fields a message lacks; an empty one is not added.
class WireWriter;

struct IngestOptions {
    std::string from;         // e.g. "Full Name <a@b.org>"
    std::string date;         // e.g. formatEmailDate(now)
    std::string messageId;    // with its brackets
    bool replaceFrom = false; // drop the message's own From for ours (from_override off)
};

struct IngestResult {
    enum class Failure { none, headerTooLong, readFailed, writeFailed };
    StringList recipients; // the bare addresses of To, Cc and Bcc, in order, repeats kept
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    bool addedFrom = false;
    bool addedDate = false;
    bool addedMessageId = false;
    Failure failure = Failure::none;
    std::string error; // the line for the failure
};

// Beyond this a header field (its continuation lines included) is refused, so
// that the header block is held in bounded memory.
constexpr std::size_t maxHeaderFieldBytes = 1024 * 1024;

// Copies the message on inFd, read to its very end (a "." line is text), to
// outFd: each line end (CR LF, LF or a bare CR) as LF, the last line ended too,
// lines not dot-stuffed. Bcc fields are dropped; the missing From, Date and
// Message-Id are added at the end of the header block. That block ends at the
// first empty line, or at the first line that is no header field, before which
// the empty line is then put, so a message of only text gets the fields before
// it; a message of only headers gets its empty line at the end.
IngestResult ingestMessage(int inFd, int outFd, const IngestOptions& options);
// The same, written in its wire form (dot-stuffed, CR LF, the end of data) and finished.
IngestResult ingestMessage(int inFd, WireWriter& out, const IngestOptions& options);

#endif
