#include "sendmailargs.h"

#include <cstring>

namespace {

using Mode = SendmailRequest::Mode;

// getopt's classes of letters; the ignored ones tune delivery, queueing, DSN
// or logging of a local agent, which the account's server does instead.
constexpr const char* ignoredFlags = "imnGU";
constexpr const char* usedValues = "abCfFr";
constexpr const char* ignoredValues = "ABdDhLMNoOpRVX";

bool isOneOf(char letter, const char* letters) {
    return letter != '\0' && std::strchr(letters, letter) != nullptr;
}

// "<a@b>" as a@b, so "<>" is the null sender like "".
std::string bareSender(const std::string& value) {
    if (value.size() >= 2 && value.front() == '<' && value.back() == '>') {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string setMode(const std::string& value, SendmailRequest& out) {
    if (value == "m") {
        out.mode = Mode::deliver;
    } else if (value == "s") {
        out.mode = Mode::smtpSession;
    } else if (value == "p") {
        out.mode = Mode::listQueue;
    } else if (value == "i") {
        out.mode = Mode::rebuildAliases;
    } else {
        return "mode -b" + value + " is not supported";
    }
    return {};
}

std::string applyValue(char letter, const std::string& value, SendmailRequest& out) {
    switch (letter) {
    case 'a':
        out.account = value;
        break;
    case 'b':
        return setMode(value, out);
    case 'C':
        out.settingsFile = value;
        break;
    case 'F':
        out.fullName = value;
        break;
    default: // f, r
        if (out.sender) {
            const std::string shown = bareSender(value);
            out.warnings.push_back("envelope sender given more than once; using <" + shown + ">");
        }
        out.sender = bareSender(value);
    }
    return {};
}

void applyLongOption(const std::string& arg, SendmailRequest& out) {
    const std::string accountPrefix = "--account=";
    if (arg.compare(0, accountPrefix.size(), accountPrefix) == 0) {
        out.account = arg.substr(accountPrefix.size());
    } else {
        out.warnings.push_back("unknown option " + arg + " ignored");
    }
}

// One argument that starts with '-'; next is the index of the argument after
// it, moved on when the option takes that one as its value.
std::string applyOption(const StringList& args, std::size_t& next, SendmailRequest& out) {
    const std::string& arg = args[next - 1];
    for (std::size_t at = 1; at < arg.size(); ++at) {
        const char letter = arg[at];
        if (letter == 't') {
            out.recipientsFromHeaders = true;
        } else if (letter == 'v') {
            out.verbose = true;
        } else if (letter == 'q') {
            out.mode = Mode::flushQueue;
            out.queueInterval = arg.substr(at + 1);
            return {};
        } else if (isOneOf(letter, usedValues) || isOneOf(letter, ignoredValues)) {
            if (at + 1 == arg.size() && next == args.size()) {
                return std::string("option -") + letter + " needs a value";
            }
            const std::string value = at + 1 < arg.size() ? arg.substr(at + 1) : args[next++];
            return isOneOf(letter, usedValues) ? applyValue(letter, value, out) : std::string();
        } else if (!isOneOf(letter, ignoredFlags)) {
            out.warnings.push_back(std::string("unknown option -") + letter + " ignored");
            return {};
        }
    }
    return {};
}

} // namespace

std::string parseSendmailArgs(const StringList& args, SendmailRequest& out) {
    bool optionsEnded = false;
    for (std::size_t next = 0; next < args.size();) {
        const std::string& arg = args[next++];
        if (arg == "-" && !optionsEnded) {
            out.warnings.push_back(
                "operand - ignored: the message is always read from standard input");
        } else if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out.recipients.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg[1] == '-') {
            applyLongOption(arg, out);
        } else if (std::string error = applyOption(args, next, out); !error.empty()) {
            return error;
        }
    }
    if (out.mode == Mode::deliver && out.recipients.empty() && !out.recipientsFromHeaders) {
        return "no recipients: name them, or give -t to take them from the message";
    }
    return {};
}
