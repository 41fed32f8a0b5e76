#include "queueentry.h"

#include <cstdlib>
#include <utility>

namespace {

const char firstLine[] = "brenvox-queue 1\n";

std::string flat(std::string value) {
    for (char& c : value) {
        c = c == '\n' || c == '\r' ? ' ' : c;
    }
    return value;
}

const char* kindName(QueueEntry::Kind kind) {
    return kind == QueueEntry::Kind::classic ? "classic" : "mailer";
}

bool number(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    value = std::strtoll(text.c_str(), nullptr, 10);
    return true;
}

// One "key: value" line; false for an unknown key or a bad number.
bool takeLine(QueueEntry& entry, const std::string& key, const std::string& value) {
    const std::pair<const char*, std::string QueueEntry::*> texts[] = {
        {"settings", &QueueEntry::settings},
        {"account", &QueueEntry::account},
        {"server", &QueueEntry::server},
        {"tls", &QueueEntry::tls},
        {"cafile", &QueueEntry::cafile},
        {"helo", &QueueEntry::helo},
        {"auth", &QueueEntry::auth},
        {"credentials", &QueueEntry::credentials},
        {"auth-file", &QueueEntry::authFile},
        {"sender", &QueueEntry::sender},
        {"last-error", &QueueEntry::lastError},
        {"held", &QueueEntry::held}};
    for (const auto& [name, member] : texts) {
        if (key == name) {
            entry.*member = value;
            return true;
        }
    }
    if (key == "recipient") {
        entry.recipients.push_back(value);
        return !value.empty();
    }
    if (key == "kind") {
        entry.kind = value == "classic" ? QueueEntry::Kind::classic : QueueEntry::Kind::mailer;
        return value == "classic" || value == "mailer";
    }
    if (key == "body") {
        const std::size_t blank = value.find(' ');
        const std::string rule = value.substr(0, blank);
        const std::size_t second = value.find(' ', blank + 1);
        long long lines = 0, bytes = 0;
        entry.stuffing = rule == "every-line" ? DotStuffing::everyLine : DotStuffing::lastLineEnds;
        entry.wireForm = rule == "wire";
        const bool counted = second != value.npos &&
                             number(value.substr(blank + 1, second - blank - 1), lines) &&
                             number(value.substr(second + 1), bytes);
        entry.lines = static_cast<std::size_t>(lines);
        entry.bytes = static_cast<unsigned long long>(bytes);
        return counted && (rule == "every-line" || rule == "last-line-ends" || rule == "wire");
    }
    long long value64 = 0;
    if (!number(value, value64)) {
        return false;
    }
    if (key == "port" && value64 > 0 && value64 < 65536) {
        entry.port = static_cast<unsigned short>(value64);
    } else if (key == "insecure") {
        entry.insecure = value64 != 0;
    } else if (key == "created") {
        entry.created = static_cast<std::time_t>(value64);
    } else if (key == "next-attempt") {
        entry.nextAttempt = static_cast<std::time_t>(value64);
    } else if (key == "attempts" || key == "maybe-delivered") {
        (key == "attempts" ? entry.attempts : entry.maybeDelivered) =
            static_cast<int>(value64 % 1000000);
    } else {
        return false;
    }
    return true;
}

} // namespace

std::string formatEntryHeader(const QueueEntry& entry) {
    std::string text = firstLine;
    const auto add = [&text](const char* key, const std::string& value) {
        text += std::string(key) + ": " + flat(value) + "\n";
    };
    add("kind", kindName(entry.kind));
    add("settings", entry.settings);
    add("account", entry.account);
    if (entry.kind == QueueEntry::Kind::classic) {
        add("server", entry.server);
        add("port", std::to_string(entry.port));
        add("tls", entry.tls);
        add("cafile", entry.cafile);
        add("insecure", entry.insecure ? "1" : "0");
        add("helo", entry.helo);
        add("auth", entry.auth);
        add("credentials", entry.credentials);
        add("auth-file", entry.authFile);
    }
    add("sender", entry.sender);
    for (const std::string& recipient : entry.recipients) {
        add("recipient", recipient);
    }
    add("created", std::to_string(entry.created));
    add("attempts", std::to_string(entry.attempts));
    add("next-attempt", std::to_string(entry.nextAttempt));
    add("maybe-delivered", std::to_string(entry.maybeDelivered));
    add("last-error", entry.lastError);
    add("held", entry.held);
    add("body", std::string(entry.wireForm                             ? "wire "
                            : entry.stuffing == DotStuffing::everyLine ? "every-line "
                                                                       : "last-line-ends ") +
                    std::to_string(entry.lines) + " " + std::to_string(entry.bytes));
    return text + "\n";
}

std::string parseEntryHeader(const std::string& text, QueueEntry& entry, std::size_t& headerSize) {
    entry = QueueEntry{};
    if (text.compare(0, sizeof firstLine - 1, firstLine) != 0) {
        return "not a queue entry of this version";
    }
    const std::size_t end = text.find("\n\n");
    if (end == text.npos) {
        return "truncated header";
    }
    bool hasBody = false;
    for (std::size_t at = sizeof firstLine - 1; at <= end;) {
        const std::size_t lineEnd = text.find('\n', at);
        const std::string line = text.substr(at, lineEnd - at);
        const std::size_t colon = line.find(": ");
        const std::string key = line.substr(0, colon);
        if (colon == line.npos || !takeLine(entry, key, line.substr(colon + 2))) {
            return "bad header line '" + line + "'";
        }
        hasBody = hasBody || key == "body";
        at = lineEnd + 1;
    }
    if (!hasBody || entry.recipients.empty() || entry.created == 0) {
        return "header without body, recipient or creation time";
    }
    headerSize = end + 2;
    return "";
}

long retryDelaySeconds(int attempts) {
    const long minutes[] = {1, 5, 15, 30};
    return attempts >= 1 && attempts <= 4 ? minutes[attempts - 1] * 60 : 3600;
}
