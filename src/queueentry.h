#ifndef BRENVOX_QUEUEENTRY_H
#define BRENVOX_QUEUEENTRY_H

#include "smtpclient.h"
#include "stringlist.h"

#include <cstddef>
#include <ctime>
#include <string>

// The envelope of a queued message, the text header of its spool file. No secret is ever in
// it: a mailer entry names its settings file and account, a classic one the server it was given
// and where its credentials are read again (the account, an auth file or BRENVOX_AUTH).
struct QueueEntry {
    enum class Kind { mailer, classic };
    Kind kind = Kind::mailer;
    std::string settings, account;
    // Classic entries: the server as the command line settled it.
    std::string server, tls = "none", cafile, helo, auth = "login";
    unsigned short port = 25;
    bool insecure = false;
    std::string credentials = "none"; // none, account, file, environment
    std::string authFile;

    std::string sender; // without brackets
    StringList recipients;
    std::time_t created = 0, nextAttempt = 0;
    int attempts = 0;
    int maybeDelivered = 0; // connections lost after the data, before the reply
    std::string lastError;
    // Not empty: held until the watched file's stamp differs from this (or --flush --now).
    std::string held;
    // How the message after the header goes on the wire.
    DotStuffing stuffing = DotStuffing::everyLine;
    bool wireForm = false; // already as it goes on the wire, its end of data included
    std::size_t lines = 0;
    unsigned long long bytes = 0; // of the message alone
};

// The header text, through its closing empty line; line breaks in values become blanks.
std::string formatEntryHeader(const QueueEntry& entry);
// Reads the header at the start of text into entry; headerSize is where the message begins.
// Returns the error, empty on success.
std::string parseEntryHeader(const std::string& text, QueueEntry& entry, std::size_t& headerSize);

// Seconds to wait after a message's attempts-th failed attempt: 1, 5, 15, 30 minutes, then
// hourly.
long retryDelaySeconds(int attempts);
// Retries end this long after the message was queued.
constexpr long giveUpSeconds = 4L * 24 * 3600;

#endif
