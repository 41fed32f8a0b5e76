#include "sendmailmode.h"

#include "accountsetup.h"
#include "aliases.h"
#include "clocktext.h"
#include "headertext.h"
#include "messagefile.h"
#include "messageingest.h"
#include "mtadialogue.h"
#include "queuecommands.h"
#include "queuerun.h"
#include "sendmailargs.h"
#include "smtpserversession.h"
#include "spool.h"
#include "transcript.h"
#include "wirewriter.h"

#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <new>

namespace {

void complain(const std::string& line) {
    std::cerr << "brenvox: " << line << std::endl;
}

// Everything a delivery of this run needs, settled before standard input is read.
struct MailerJob {
    SendmailRequest request;
    Account account;
    Envelope server;
    AliasTable aliases;
    std::string settingsPath; // absolute, as the queue entries name it
};

// No blank, control character or angle bracket: the address goes between
// brackets into MAIL FROM or RCPT TO, where any of them would change the command.
bool isPlainAddress(const std::string& address) {
    return std::none_of(address.begin(), address.end(), [](unsigned char c) {
        return c <= ' ' || c == 0x7F || c == '<' || c == '>';
    });
}

std::string ownAddress(const MailerJob& job) {
    const std::string domain = job.account.domain.empty() ? machineName() : job.account.domain;
    const std::string user = localUserName();
    return (user.empty() ? "nobody" : user) + "@" + domain;
}

// from_override off: the account's address goes out whatever the caller said.
std::string envelopeSender(const MailerJob& job) {
    if (!job.account.fromOverride && !job.account.from.empty()) {
        return job.account.from;
    }
    if (job.request.sender) {
        return *job.request.sender;
    }
    return job.account.from.empty() ? ownAddress(job) : job.account.from;
}

bool needsQuotes(const std::string& name) {
    return name.find_first_of("()<>@,;:\\\".[]") != std::string::npos;
}

// The null sender's messages are still from someone: the account's address.
std::string headerAddress(const MailerJob& job, const std::string& sender) {
    const std::string fallback = job.account.from.empty() ? ownAddress(job) : job.account.from;
    return sender.empty() ? fallback : sender;
}

std::string fromHeader(const MailerJob& job, const std::string& sender) {
    const std::string address = headerAddress(job, sender);
    const std::string& name = job.request.fullName;
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos) {
        return address;
    }
    std::string quoted;
    for (const char c : name) {
        quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    }
    return (needsQuotes(name) ? "\"" + quoted + "\"" : name) + " <" + address + ">";
}

std::string absolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

int settle(MailerJob& job) {
    job.settingsPath = absolutePath(findSettingsFile(job.request.settingsFile));
    std::string error = loadAccount(job.request.settingsFile, job.request.account, job.account);
    if (error.empty()) {
        error = serverFromAccount(job.account, job.server);
    }
    if (error.empty() && !job.account.aliases.empty()) {
        error = loadAliases(job.account.aliases, job.aliases);
    }
    if (!error.empty()) {
        complain(error);
        return EX_CONFIG;
    }
    return EX_OK;
}

// Local names through the aliases and the domain; each address once.
int resolveRecipients(const MailerJob& job, const StringList& given, StringList& recipients) {
    for (const std::string& address : given) {
        if (!isPlainAddress(address)) {
            complain("bad recipient address: " + address);
            return EX_NOUSER;
        }
        const std::string error =
            resolveRecipient(address, job.aliases, job.account.domain, recipients);
        if (!error.empty()) {
            complain(error);
            return EX_NOUSER;
        }
    }
    // What an aliases entry adds goes into RCPT TO as well.
    const auto bad = std::find_if_not(recipients.begin(), recipients.end(), isPlainAddress);
    if (bad != recipients.end()) {
        complain("bad recipient address: " + *bad);
        return EX_NOUSER;
    }
    if (recipients.empty()) {
        complain(job.request.recipientsFromHeaders
                     ? "no recipients: the message has no To, Cc or Bcc address"
                     : "no recipients");
        return EX_NOUSER;
    }
    return EX_OK;
}

// The message goes into a file whose name is gone at once: a pipe cannot be
// read twice, and a run that dies leaves nothing behind.
int takeMessage(const MailerJob& job, const std::string& sender, MessageFile& message,
                IngestResult& ingested) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string directory = tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
    if (!message.create(directory + "/")) {
        complain("cannot create a message file in " + directory);
        return EX_CANTCREAT;
    }
    message.removeName();
    const IngestOptions options{
        fromHeader(job, sender), formatEmailDate(std::time(nullptr)),
        messageId(messageIdPrefix(), headerAddress(job, sender), job.server.heloName),
        !job.account.fromOverride && !job.account.from.empty()};
    // In its wire form from the start: queued and sent as it stands.
    WireWriter wire(message.descriptor(), DotStuffing::everyLine);
    ingested = ingestMessage(STDIN_FILENO, wire, options);
    if (ingested.failure != IngestResult::Failure::none) {
        complain(ingested.error);
        return ingested.failure == IngestResult::Failure::headerTooLong ? EX_DATAERR : EX_IOERR;
    }
    message.setWireForm(wire.size(), wire.lineCount());
    return EX_OK;
}

// How the first attempt on a message ended.
struct Attempt {
    int status = EX_OK;
    DeliveryReport report;
    Ending ending = Ending::delivered;
    std::string id;
};

// Spooled whole before the first byte goes to the network, so the caller's mail is ours from
// then on: a temporary failure leaves it queued, status 0. Failing to spool it is an error.
Attempt takeResponsibility(const MailerJob& job, const std::string& sender,
                           const StringList& recipients, MessageFile& message,
                           const Transcript& transcript) {
    Attempt attempt;
    const std::string dir = job.account.queue.empty() ? defaultQueueDirectory() : job.account.queue;
    QueueEntry record;
    record.settings = job.settingsPath;
    record.account = job.account.name;
    record.sender = sender;
    record.recipients = recipients;
    record.created = std::time(nullptr);
    record.lines = message.lineCount();
    record.wireForm = message.inWireForm();
    LockedEntry locked;
    std::string error = prepareQueueDirectory(dir);
    attempt.status = error.empty() ? EX_OK : EX_CANTCREAT;
    error = error.empty() ? locked.create(dir, record, message.descriptor()) : error;
    if (!error.empty()) {
        attempt.status = attempt.status == EX_OK ? EX_IOERR : attempt.status;
        attempt.report = {attempt.status, "cannot queue the message: " + error, ""};
        attempt.ending = Ending::failed;
        return attempt;
    }
    attempt.id = locked.id();
    QueueRun run(transcript);
    run.know(job.settingsPath, Route{"", job.account, job.server});
    attempt.report = run.attempt(locked, attempt.ending);
    attempt.status = attempt.ending == Ending::failed ? attempt.report.status : EX_OK;
    return attempt;
}

int deliverStandardInput(MailerJob& job) {
    const std::string sender = envelopeSender(job);
    if (!isPlainAddress(sender)) {
        complain("bad sender address: " + sender);
        return EX_USAGE;
    }
    MessageFile message;
    IngestResult ingested;
    int status = takeMessage(job, sender, message, ingested);
    StringList given = job.request.recipients;
    if (job.request.recipientsFromHeaders) {
        given.insert(given.end(), ingested.recipients.begin(), ingested.recipients.end());
    }
    StringList recipients;
    status = status != EX_OK ? status : resolveRecipients(job, given, recipients);
    if (status != EX_OK) {
        return status;
    }
    const Transcript transcript(job.request.verbose);
    const Attempt attempt = takeResponsibility(job, sender, recipients, message, transcript);
    if (!attempt.report.delivered()) {
        complain(attempt.id.empty()
                     ? attempt.report.problem
                     : attempt.report.problem + " " + endingNote(attempt.id, attempt.ending));
    }
    return attempt.status;
}

// The reply -bs gives its client for one relayed message.
std::string replyFor(const Attempt& attempt) {
    const DeliveryReport& report = attempt.report;
    if (report.delivered()) {
        return "250 2.0.0 Ok: relayed";
    }
    if (attempt.ending != Ending::failed) {
        return "250 2.0.0 Ok: queued as " + attempt.id;
    }
    const std::string code = attempt.id.empty()           ? "451 4.3.0 "
                             : report.status == EX_NOUSER ? "550 5.1.1 "
                                                          : "554 5.0.0 ";
    return code + report.problem;
}

int serveSmtpSession(MailerJob& job) {
    const Transcript transcript(job.request.verbose, std::cerr);
    const Relay relay = [&](const std::string& sender, const StringList& given, int fd,
                            std::uint64_t) {
        job.request.sender = sender;
        const std::string from = envelopeSender(job);
        StringList recipients;
        if (resolveRecipients(job, given, recipients) != EX_OK) {
            return std::string("550 5.1.1 recipient not resolved");
        }
        MessageFile message;
        message.adopt(::dup(fd));
        if (!message.countLines()) {
            return std::string("451 4.3.0 cannot read the message back");
        }
        return replyFor(takeResponsibility(job, from, recipients, message, transcript));
    };
    return runSmtpServerSession(STDIN_FILENO, STDOUT_FILENO, relay, job.server.heloName);
}

int runRequest(MailerJob& job) {
    using Mode = SendmailRequest::Mode;
    switch (job.request.mode) {
    case Mode::listQueue:
        return listQueue(queueDirectoryFor("", job.request.settingsFile));
    case Mode::flushQueue:
        return flushQueue(queueDirectoryFor("", job.request.settingsFile), false,
                          Transcript(job.request.verbose));
    case Mode::rebuildAliases:
        return EX_OK;
    case Mode::smtpSession:
    case Mode::deliver:
        break;
    }
    const int status = settle(job);
    if (status != EX_OK) {
        return status;
    }
    return job.request.mode == Mode::smtpSession ? serveSmtpSession(job)
                                                 : deliverStandardInput(job);
}

} // namespace

int runSendmail(const StringList& args) {
    // A caller that hangs up or a full file size limit must give an error, not a kill.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        MailerJob job;
        const std::string usage = parseSendmailArgs(args, job.request);
        for (const std::string& warning : job.request.warnings) {
            complain(warning);
        }
        if (!usage.empty()) {
            complain(usage);
            return EX_USAGE;
        }
        return runRequest(job);
    } catch (const std::bad_alloc&) {
        complain("out of memory");
        return EX_OSERR;
    }
}
