#ifndef BRENVOX_JOBCHECK_H
#define BRENVOX_JOBCHECK_H

#include "composeoptions.h"
#include "envelope.h"
#include "outcome.h"
#include "stringlist.h"

#include <optional>
#include <string>

// A settled job's texts, as the checks before connecting see them.
struct JobText {
    const Envelope& envelope;
    const std::string& credentials; // "user:pass"
    bool composed;                  // not a raw file
    const std::string& subject;
    const StringList& attachments; // paths
    const std::string& mechanismName;
    const ComposeOptions& options;
};

// The job must name a server, a recipient and a sender, and no text that goes
// into a command line or a header may carry a line break (it would inject
// commands or headers); a field of --header must be a field name Brenvox does not
// write itself, and a raw message takes no option that composes. The first
// failing check gives the line.
Outcome checkJob(const JobText& job);

// "login", "plain", "xoauth2" or "oauthbearer" (already lower case); nothing for another name.
std::optional<AuthMechanism> mechanismNamed(const std::string& name);

#endif
