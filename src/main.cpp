// Entry point: answers the informational requests, turns the options into one
// mail job and sends it.

#include "email.h"

#include <iomanip>
#include <iostream>
#include <string>

namespace {

constexpr int informationalStatus = 1;
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

bool isOption(const std::string& argument) {
    return !argument.empty() && argument[0] == '-';
}

std::string withTrailingSlash(std::string directory) {
    // An empty value stays empty: the current directory.
    if (!directory.empty() && directory.back() != '/') {
        directory += '/';
    }
    return directory;
}

// Appends the files after an -a (up to the next option) to the pass-wide list.
void gatherAttachments(const StringList& arguments, std::size_t first, StringList& attachments) {
    for (std::size_t argNum = first; argNum < arguments.size() && !isOption(arguments[argNum]);
         ++argNum) {
        attachments.push_back(arguments[argNum]);
    }
}

// Options that take the next argument as their value.
bool applyValueOption(char letter, const std::string& value, Email& mailMsg) {
    switch (letter) {
    case 'c':
        mailMsg.setConfigFile(value);
        break;
    case 'r':
        mailMsg.setRawFile(value);
        break;
    case 'w':
        mailMsg.setWorkingDir(withTrailingSlash(value));
        break;
    case 'S':
        mailMsg.setServerName(value);
        break;
    case 'P':
        mailMsg.setServerPort(value);
        break;
    case 't':
        mailMsg.setToList(value);
        break;
    case 'f':
        mailMsg.setFromAddress("<" + value + ">");
        break;
    case 's':
        mailMsg.setSubject(value);
        break;
    case 'm':
        mailMsg.setMessageText(value);
        break;
    case 'M':
        mailMsg.setMessageFile(value);
        break;
    case 'h':
        mailMsg.setHeloName(value);
        break;
    case 'A':
        mailMsg.setAuth(value);
        break;
    default:
        return false;
    }
    return true;
}

bool takesValue(char letter) {
    static const std::string valueLetters = "crwSPtfsmMhA";
    return valueLetters.find(letter) != std::string::npos;
}

// The TLS options, recognised anywhere. --cafile takes the next argument,
// without stepping over it, as every other value.
bool applyTlsOption(const StringList& arguments, std::size_t i, Email& mailMsg) {
    const std::string& argument = arguments[i];
    if (argument == "--starttls") {
        mailMsg.setTlsMode(Email::TlsMode::startTls);
    } else if (argument == "--smtps") {
        mailMsg.setTlsMode(Email::TlsMode::implicit);
    } else if (argument == "--insecure") {
        mailMsg.setInsecure(true);
    } else if (argument == "--cafile") {
        if (i + 1 < arguments.size()) {
            mailMsg.setCaFile(arguments[i + 1]);
        }
    } else {
        return false;
    }
    return true;
}

} // namespace

// One pass over the arguments (program name excluded). A value is taken without
// stepping over it, so a value that looks like an option also acts as one.
void applyOptions(const StringList& argumentList, Email& mailMsg) {
    StringList attachmentList;
    for (std::size_t i = 0; i < argumentList.size(); ++i) {
        const std::string& argument = argumentList[i];
        if (!isOption(argument) || applyTlsOption(argumentList, i, mailMsg)) {
            continue;
        }
        const std::string type = argument.substr(1, 1);
        const char ch = type.empty() ? '\0' : type[0];
        const bool hasValue = i + 1 < argumentList.size();
        if (takesValue(ch) && !type.empty()) {
            if (hasValue) {
                applyValueOption(ch, argumentList[i + 1], mailMsg);
            }
        } else if (ch == 'a') {
            gatherAttachments(argumentList, i + 1, attachmentList);
            mailMsg.setAttachmentList(attachmentList);
        } else if (ch == 'v') {
            mailMsg.setVerbose(true);
        } else {
            std::cout << "Unrecognized parameter -" << type << '\n';
        }
    }
}

int main(int argc, char* argv[]) {
    if (argc < 2) {
        helpInfo();
        return informationalStatus;
    }
    const std::string first = argv[1];
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

    Email mailMsg;
    const StringList argumentList(argv + 1, argv + argc);
    applyOptions(argumentList, mailMsg);
    return mailMsg.sendMail();
}
