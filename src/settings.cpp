#include "settings.h"
#include "addresslist.h"

#include "linesplitter.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return home;
    }
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string expandedPath(const std::string& path) {
    return path.compare(0, 2, "~/") == 0 ? homeDirectory() + path.substr(1) : path;
}

bool exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

// The index of value among names, -1 when it is none of them.
int choice(const std::string& value, std::initializer_list<const char*> names) {
    int index = 0;
    for (const char* name : names) {
        if (value == name) {
            return index;
        }
        ++index;
    }
    return -1;
}

// A decimal number from 1 to most, else 0.
long boundedNumber(const std::string& value, long most) {
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != value.npos) {
        return 0;
    }
    const long number = std::strtol(value.c_str(), nullptr, 10);
    return number <= most ? number : 0;
}

const std::pair<const char*, std::string Account::*> textKeys[] = {
    {"host", &Account::host},         {"user", &Account::user},
    {"password", &Account::password}, {"passwordeval", &Account::passwordEval},
    {"from", &Account::from},         {"domain", &Account::domain},
    {"helo", &Account::helo},         {"fallback", &Account::fallback}};
const std::pair<const char*, std::string Account::*> pathKeys[] = {
    {"cafile", &Account::cafile},
    {"passwordfile", &Account::passwordFile},
    {"aliases", &Account::aliases},
    {"logfile", &Account::logfile},
    {"queue", &Account::queue}};
const std::pair<const char*, bool Account::*> switchKeys[] = {
    {"tls_verify", &Account::tlsVerify},
    {"from_override", &Account::fromOverride},
    {"syslog", &Account::syslog}};

// The keys with a value of their own kind; the error after "FILE:LINE: ", empty when set.
std::string setCheckedKey(Account& account, const std::string& key, const std::string& value) {
    const std::string bad = "bad value '" + value + "' for " + key;
    if (key == "tls") {
        const int index = choice(value, {"off", "starttls", "on"});
        account.tls = index < 0 ? account.tls : static_cast<TlsSetting>(index);
        return index < 0 ? bad + " (off, starttls or on)" : "";
    }
    if (key == "auth") {
        const int index = choice(value, {"off", "login", "plain", "xoauth2", "oauthbearer"});
        account.auth = index < 0 ? account.auth : static_cast<AuthSetting>(index);
        return index < 0 ? bad + " (off, login, plain, xoauth2 or oauthbearer)" : "";
    }
    if (key == "port") {
        const long port = boundedNumber(value, 65535);
        account.port = port == 0 ? account.port : std::to_string(port);
        return port == 0 ? bad + " (1 to 65535)" : "";
    }
    if (key == "timeout") {
        const long seconds = boundedNumber(value, 86400);
        account.timeoutSeconds = seconds == 0 ? account.timeoutSeconds : static_cast<int>(seconds);
        return seconds == 0 ? bad + " (seconds, 1 to 86400)" : "";
    }
    const std::pair<const char*, int Account::*> counts[] = {
        {"rate", &Account::rate}, {"max_per_connection", &Account::maxPerConnection}};
    for (const auto& [name, member] : counts) {
        if (key == name) {
            const long count = boundedNumber(value, 100000);
            account.*member = count == 0 ? account.*member : static_cast<int>(count);
            return count == 0 ? bad + " (1 to 100000)" : "";
        }
    }
    return "unknown key '" + key + "'";
}

std::string setKey(Account& account, const std::string& key, const std::string& value) {
    for (const auto& [name, member] : textKeys) {
        if (key == name) {
            account.*member = value;
            return "";
        }
    }
    for (const auto& [name, member] : pathKeys) {
        if (key == name) {
            account.*member = expandedPath(value);
            return "";
        }
    }
    for (const auto& [name, member] : switchKeys) {
        if (key == name) {
            const int index = choice(value, {"off", "on"});
            account.*member = index == 1;
            return index < 0 ? "bad value '" + value + "' for " + key + " (on or off)" : "";
        }
    }
    return setCheckedKey(account, key, value);
}

// A value in double quotes keeps its blanks and '#'; inside, a backslash takes the next
// character as it is. False when the quote is not closed or text follows it.
bool unquote(const std::string& text, std::string& value) {
    value.clear();
    for (std::size_t at = 1; at < text.size(); ++at) {
        if (text[at] == '"') {
            return at + 1 == text.size();
        }
        if (text[at] == '\\' && at + 1 < text.size()) {
            ++at;
        }
        value += text[at];
    }
    return false;
}

class SettingsParser {
  public:
    SettingsParser(const std::string& path, Settings& target) : file(path), settings(target) {}

    std::string parse(const std::string& text) {
        settings = Settings{file, {}};
        std::size_t number = 0;
        for (const std::string& line : splitLines(text)) {
            ++number;
            const std::string error = parseLine(trimmed(line));
            if (!error.empty()) {
                return file + ":" + std::to_string(number) + ": " + error;
            }
        }
        if (settings.accounts.empty() && anyKey) {
            defaults.name = "default"; // a file of keys alone is one account
            settings.accounts.push_back(defaults);
        }
        return checkFallbacks();
    }

  private:
    std::string checkFallbacks() const {
        for (const Account& account : settings.accounts) {
            std::vector<const Account*> chain = {&account};
            std::string names = account.name;
            while (!chain.back()->fallback.empty()) {
                const Account* next = find(chain.back()->fallback);
                if (next == nullptr) {
                    return file + ": no account '" + chain.back()->fallback + "' (fallback of '" +
                           chain.back()->name + "')";
                }
                names += " -> " + next->name;
                if (std::find(chain.begin(), chain.end(), next) != chain.end()) {
                    return file + ": fallback loop: " + names;
                }
                chain.push_back(next);
            }
        }
        return "";
    }

    std::string parseLine(const std::string& line) {
        if (line.empty() || line[0] == '#') {
            return "";
        }
        const std::size_t end = line.find_first_of(" \t");
        const std::string key = line.substr(0, end);
        const std::string rest = end == line.npos ? "" : trimmed(line.substr(end));
        std::string value = rest;
        if (rest.empty()) {
            return "no value for " + key;
        }
        if (rest[0] == '"' && !unquote(rest, value)) {
            return "unclosed quote or text after it";
        }
        if (key == "account") {
            return startAccount(value);
        }
        anyKey = true;
        return setKey(settings.accounts.empty() ? defaults : settings.accounts.back(), key, value);
    }

    // "account NAME" starts from the keys before the first account, "account NAME : BASE"
    // from the keys of BASE.
    std::string startAccount(const std::string& value) {
        const std::size_t colon = value.find(':');
        const std::string name = trimmed(value.substr(0, colon));
        if (name.empty()) {
            return "an account needs a name";
        }
        if (find(name) != nullptr) {
            return "account '" + name + "' is defined twice";
        }
        Account account = defaults;
        if (colon != value.npos) {
            const std::string baseName = trimmed(value.substr(colon + 1));
            const Account* base = find(baseName);
            if (base == nullptr) {
                return "no account '" + baseName + "'";
            }
            account = *base;
        }
        account.name = name;
        settings.accounts.push_back(account);
        return "";
    }

    const Account* find(const std::string& name) const {
        for (const Account& account : settings.accounts) {
            if (account.name == name) {
                return &account;
            }
        }
        return nullptr;
    }

    const std::string& file;
    Settings& settings;
    Account defaults;
    bool anyKey = false;
};

bool holdsPassword(const Settings& settings) {
    for (const Account& account : settings.accounts) {
        if (!account.password.empty()) {
            return true;
        }
    }
    return false;
}

bool readWhole(int fd, std::string& text) {
    char buffer[16 * 1024];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno != EINTR) {
            return false;
        }
        text.append(buffer, got < 0 ? 0 : static_cast<std::size_t>(got));
    }
    return true;
}

std::string unreadable(const std::string& path) {
    return "Cannot read settings file " + path + ": " + std::strerror(errno);
}

// Another user's file could make passwordeval run commands as this one.
std::string permissionError(const std::string& path, const struct stat& info) {
    const std::string named = "Settings file " + path;
    if (!S_ISREG(info.st_mode)) {
        return named + " is not a regular file";
    }
    if (info.st_uid != geteuid() && info.st_uid != 0) {
        return named + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return named + " can be written by group or others; chmod go-w " + path;
    }
    return "";
}

} // namespace

std::string findSettingsFile(const std::string& explicitPath, const std::string& systemPath) {
    if (!explicitPath.empty()) {
        return explicitPath;
    }
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string home = homeDirectory();
    const std::string configHome = xdg != nullptr && *xdg == '/' ? xdg
                                   : home.empty()                ? ""
                                                                 : home + "/.config";
    if (!configHome.empty() && exists(configHome + "/brenvox/config")) {
        return configHome + "/brenvox/config";
    }
    return exists(systemPath) ? systemPath : "";
}

std::string parseSettings(const std::string& path, const std::string& text, Settings& settings) {
    return SettingsParser(path, settings).parse(text);
}

std::string loadSettings(const std::string& path, Settings& settings) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1) {
        return unreadable(path);
    }
    struct stat info {};
    std::string text;
    std::string error = fstat(fd, &info) != 0 ? unreadable(path) : permissionError(path, info);
    if (error.empty() && !readWhole(fd, text)) {
        error = unreadable(path);
    }
    ::close(fd);
    if (error.empty()) {
        error = parseSettings(path, text, settings);
    }
    if (error.empty() && holdsPassword(settings) && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        error = "Settings file " + path +
                " holds a password that group or others can read; "
                "chmod 600 " +
                path;
    }
    return error;
}

const Account* findAccount(const Settings& settings, const std::string& name, std::string& error) {
    const std::string wanted = name.empty() ? "default" : name;
    for (const Account& account : settings.accounts) {
        if (account.name == wanted) {
            return &account;
        }
    }
    if (name.empty() && settings.accounts.size() == 1) {
        return &settings.accounts.front();
    }
    error = settings.path + (name.empty() ? ": no default account (add \"account default : NAME\")"
                                          : ": no account '" + name + "'");
    return nullptr;
}
