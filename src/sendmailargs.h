#ifndef BRENVOX_SENDMAILARGS_H
#define BRENVOX_SENDMAILARGS_H

#include "stringlist.h"

#include <optional>
#include <string>
#include <vector>

// The command line of the sendmail-compatible entry, as the programs that pipe
// their mail into /usr/sbin/sendmail write it.
struct SendmailRequest {
    enum class Mode {
        deliver,       // -bm, the default: one message from standard input
        smtpSession,   // -bs: the server side of SMTP on standard input and output
        listQueue,     // -bp
        flushQueue,    // -q, -qINTERVAL
        rebuildAliases // -bi (newaliases): the aliases file is read on each run, nothing to do
    };
    Mode mode = Mode::deliver;
    StringList recipients;              // the operands, in order
    bool recipientsFromHeaders = false; // -t: To, Cc and Bcc as well
    // -f / -r, the last one given; "" is the null sender (given as '' or '<>').
    std::optional<std::string> sender;
    std::string fullName;      // -F
    bool verbose = false;      // -v
    std::string settingsFile;  // -C
    std::string account;       // -a NAME, --account=NAME; empty: the default account
    std::string queueInterval; // what follows -q
    StringList warnings;       // for standard error: repeated senders, unknown options
};

// Parses args (argv without argv[0]) into out the way getopt does: flags may be
// clustered ("-ti"), a value is the rest of its argument or else the next one
// ("-oi", "-f ''"), options may follow operands, "--" ends them. Options that
// only tune a local transfer agent are accepted silently; an unknown one is
// warned about and the rest of its argument ignored, so that no caller's mail
// is lost to it. The usage error line, or empty.
std::string parseSendmailArgs(const StringList& args, SendmailRequest& out);

#endif
