#include "commandline.h"

#include "accountoptions.h"
#include "email.h"
#include "interruption.h"
#include "queuecommands.h"
#include "sendmailmode.h"
#include "transcript.h"

#include <csignal>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <new>

namespace {

constexpr int informationalStatus = 1;
constexpr int failureStatus = 1;
constexpr int helpColumnWidth = 43;

void printOptionLine(const std::string& option, const std::string& description) {
    std::cout << std::left << std::setw(helpColumnWidth) << option << description << '\n';
}

void helpInfo() {
    std::cout << "use: brenvox [-options]\n\nWhere options include:\n\n";
    printOptionLine("  --help", "print out this message");
    printOptionLine("  --version", "print out the build");
    printOptionLine("  --config", "print out config file requirements");
    printOptionLine(" -w <working directory>", "working directory");
    printOptionLine(" -t \"<to address>[, <to addressN>]\"", "To address list");
    printOptionLine(" -f <from address>", "From address");
    printOptionLine(" -s \"<subject text>\"", "Subject text");
    printOptionLine(" -S <SMTP server>", "name/IP address of SMTP server");
    printOptionLine(" -P <SMTP port>", "SMTP port (default 25)");
    printOptionLine(" -c <configuration file>", "configuration file");
    printOptionLine(" -r <raw message file>", "raw e-mail file");
    printOptionLine(" -m \"<message text>\"", "message body text");
    printOptionLine(" -M <message file>", "text file for message body");
    printOptionLine(" -h <domain>", "helo domain (default localhost)");
    printOptionLine(" -A <username:pass>", "SMTP auth user/pass");
    printOptionLine(" -a <attachment> [<attachmentN>]", "attachments to send");
    printOptionLine(" -v", "enable verbose mode");
}

void configInfo() {
    std::cout << "Brenvox config file layout\n"
                 "\n"
                 "<server>[:<port>]\n"
                 "<helo domain>\n"
                 "<from address>\n"
                 "<to address>[, <to addressN>]\n"
                 "<subject>\n"
                 "Following lines are used as message text.\n"
                 "You can add as many as you like.\n";
}

void versionInfo() {
    std::cout << "Brenvox - smtp mailer utility\n"
              << "Version 1.0.104 - [05.03.2006]\n";
}

// A lone "-" is a value: standard input for -M and -r.
bool isOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-';
}

// An empty value stays empty: the current directory.
std::string withTrailingSlash(std::string directory) {
    if (!directory.empty() && directory.back() != '/') {
        directory += '/';
    }
    return directory;
}

// The options that take the next argument as their value.
struct ValueOption {
    char letter;
    void (*apply)(Email& job, const std::string& value);
};

const ValueOption valueOptions[] = {
    {'c', [](Email& job, const std::string& value) { job.setConfigFile(value); }},
    {'r', [](Email& job, const std::string& value) { job.setRawFile(value); }},
    {'w',
     [](Email& job, const std::string& value) { job.setWorkingDir(withTrailingSlash(value)); }},
    {'S', [](Email& job, const std::string& value) { job.setServerName(value); }},
    {'P', [](Email& job, const std::string& value) { job.setServerPort(value); }},
    {'t', [](Email& job, const std::string& value) { job.setToList(value); }},
    {'f', [](Email& job, const std::string& value) { job.setFromAddress("<" + value + ">"); }},
    {'s', [](Email& job, const std::string& value) { job.setSubject(value); }},
    {'m', [](Email& job, const std::string& value) { job.setMessageText(value); }},
    {'M', [](Email& job, const std::string& value) { job.setMessageFile(value); }},
    {'h', [](Email& job, const std::string& value) { job.setHeloName(value); }},
    {'A', [](Email& job, const std::string& value) { job.setAuth(value); }},
};

// Long options, recognised anywhere on the command line. A value is the next
// argument, taken without stepping over it, as the letters do.
struct LongOption {
    const char* name;
    bool takesValue;
    void (*apply)(Email& job, const std::string& value);
};

const LongOption longOptions[] = {
    {"--starttls", false,
     [](Email& job, const std::string&) { job.setTlsMode(Email::TlsMode::startTls); }},
    {"--smtps", false,
     [](Email& job, const std::string&) { job.setTlsMode(Email::TlsMode::implicit); }},
    {"--cafile", true, [](Email& job, const std::string& value) { job.setCaFile(value); }},
    {"--insecure", false, [](Email& job, const std::string&) { job.setInsecure(true); }},
    {"--auth-file", true, [](Email& job, const std::string& value) { job.setAuthFile(value); }},
    {"--auth", true, [](Email& job, const std::string& value) { job.setAuthMechanism(value); }},
    {"--no-progress", false, [](Email& job, const std::string&) { job.setShowProgress(false); }},
    {"--cc", true, [](Email& job, const std::string& value) { job.setCcList(value); }},
    {"--bcc", true, [](Email& job, const std::string& value) { job.setBccList(value); }},
    {"--reply-to", true, [](Email& job, const std::string& value) { job.setReplyTo(value); }},
    {"--from-name", true, [](Email& job, const std::string& value) { job.setFromName(value); }},
    {"--header", true, [](Email& job, const std::string& value) { job.addHeaderField(value); }},
    {"--html", true, [](Email& job, const std::string& value) { job.setHtmlFile(value); }},
    {"--inline", true, [](Email& job, const std::string& value) { job.addInlineFile(value); }},
    // Read before every other option (applyAccountOptions).
    {"--settings", true, [](Email&, const std::string&) {}},
    {"--account", false, [](Email&, const std::string&) {}},
    {"--queue", false, [](Email&, const std::string&) {}}, // parseQueueOption
};

const LongOption* longOptionFor(const std::string& argument) {
    for (const LongOption& option : longOptions) {
        if (argument == option.name) {
            return &option;
        }
    }
    return nullptr;
}

const ValueOption* valueOptionFor(char letter) {
    for (const ValueOption& option : valueOptions) {
        if (option.letter == letter) {
            return &option;
        }
    }
    return nullptr;
}

// Appends the files after an -a (up to the next option) to the pass-wide list.
void gatherAttachments(const StringList& arguments, std::size_t first, StringList& attachments) {
    for (std::size_t argNum = first; argNum < arguments.size() && !isOption(arguments[argNum]);
         ++argNum) {
        attachments.push_back(arguments[argNum]);
    }
}

} // namespace

void applyOptions(const StringList& argumentList, Email& mailMsg) {
    StringList attachmentList;
    for (std::size_t i = 0; i < argumentList.size(); ++i) {
        const std::string& argument = argumentList[i];
        if (!isOption(argument)) {
            continue;
        }
        const bool hasValue = i + 1 < argumentList.size();
        if (const LongOption* longOption = longOptionFor(argument)) {
            if (!longOption->takesValue) {
                longOption->apply(mailMsg, {});
            } else if (hasValue) {
                longOption->apply(mailMsg, argumentList[i + 1]);
            }
            continue;
        }
        const std::string type = argument.substr(1, 1);
        const ValueOption* valueOption = type.empty() ? nullptr : valueOptionFor(type[0]);
        if (valueOption != nullptr) {
            if (hasValue) {
                valueOption->apply(mailMsg, argumentList[i + 1]);
            }
        } else if (type == "a") {
            gatherAttachments(argumentList, i + 1, attachmentList);
            mailMsg.setAttachmentList(attachmentList);
        } else if (type == "v") {
            mailMsg.setVerbose(true);
        } else {
            std::cout << "Unrecognized parameter -" << type << std::endl;
        }
    }
}

namespace {

// --flush [--now], --queue-list, --queue-drop ID; --queue DIR and --settings FILE name the
// queue, -v shows the dialogues of a flush.
int runQueueCommand(const StringList& arguments) {
    std::string dir, settings;
    bool now = false, verbose = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const bool hasValue = i + 1 < arguments.size();
        if ((arguments[i] == "--queue" || arguments[i] == "--settings") && hasValue) {
            (arguments[i] == "--queue" ? dir : settings) = arguments[i + 1];
            ++i;
        }
        now = now || arguments[i] == "--now";
        verbose = verbose || arguments[i] == "-v";
    }
    dir = queueDirectoryFor(dir, settings);
    if (arguments[0] == "--queue-list") {
        return listQueue(dir);
    }
    if (arguments[0] == "--queue-drop") {
        const bool named = arguments.size() > 1 && !isOption(arguments[1]);
        return named ? dropQueueEntry(dir, arguments[1])
                     : (std::cerr << "brenvox: --queue-drop needs an entry's ID" << std::endl, 64);
    }
    return flushQueue(dir, now, Transcript(verbose));
}

int runMailJob(int argc, const char* const argv[]) {
    const std::string first = argc < 2 ? "--help" : argv[1];
    if (first == "--version") {
        versionInfo();
        return informationalStatus;
    }
    if (first == "--help") {
        helpInfo();
        return informationalStatus;
    }
    if (first == "--config") {
        configInfo();
        return informationalStatus;
    }
    const StringList arguments(argv + 1, argv + argc);
    if (first == "--flush" || first == "--queue-list" || first == "--queue-drop") {
        std::signal(SIGPIPE, SIG_IGN);
        std::signal(SIGXFSZ, SIG_IGN); // a full file size limit fails the write of an update
        return runQueueCommand(arguments);
    }
    installInterruptionHandlers();
    Email mailMsg;
    const char* credentials = std::getenv("BRENVOX_AUTH");
    if (credentials != nullptr) {
        mailMsg.setAuthFromEnvironment(credentials);
    }
    ClassicQueue queue;
    bool queued = false;
    const std::string queueError =
        parseQueueOption(arguments, credentials != nullptr, queue, queued);
    if (!queueError.empty()) {
        std::cout << queueError << std::endl;
        return failureStatus;
    }
    if (queued) {
        mailMsg.setQueue(queue);
    }
    const std::string accountError = applyAccountOptions(arguments, mailMsg);
    if (!accountError.empty()) {
        std::cout << accountError << std::endl;
        return failureStatus;
    }
    applyOptions(arguments, mailMsg);
    return mailMsg.sendMail();
}

} // namespace

int runCommandLine(int argc, const char* const argv[]) {
    const std::string program = argc > 0 ? argv[0] : "";
    const std::string name = program.substr(program.rfind('/') + 1);
    if (name == "sendmail") {
        return runSendmail(StringList(argv + 1, argv + argc));
    }
    if (name == "mailq") {
        return runSendmail({"-bp"});
    }
    if (argc > 1 && std::string(argv[1]) == "--sendmail") {
        return runSendmail(StringList(argv + 2, argv + argc));
    }
    // Unwinding has removed the message file's name on the way here.
    try {
        return runMailJob(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cout << "Aborting - out of memory." << std::endl;
        return failureStatus;
    }
}
