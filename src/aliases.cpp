#include "aliases.h"
#include "addresslist.h"

#include "linesplitter.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Items split at commas outside double quotes, the quotes dropped.
void appendItems(const std::string& text, StringList& items) {
    std::string item;
    bool quoted = false;
    for (const char c : text + ",") {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            if (!trimmed(item).empty()) {
                items.push_back(trimmed(item));
            }
            item.clear();
        } else {
            item += c;
        }
    }
}

bool relayable(const std::string& item) {
    return item[0] != '|' && item[0] != '/' && lowerCase(item).compare(0, 9, ":include:") != 0;
}

class Resolver {
  public:
    Resolver(const AliasTable& entries, const std::string& mailDomain, StringList& result)
        : table(entries), domain(mailDomain), addresses(result) {}

    std::string add(const std::string& item, bool recipient) {
        if (item.find('@') != std::string::npos) {
            if (std::find(addresses.begin(), addresses.end(), item) == addresses.end()) {
                addresses.push_back(item);
            }
            return "";
        }
        auto entry = table.find(lowerCase(item));
        if (entry == table.end() && recipient) {
            entry = table.find("default");
        }
        if (entry == table.end()) {
            return domain.empty() ? "recipient '" + item + "' has no '@', no alias and no domain"
                                  : add(item + "@" + domain, false);
        }
        return expand(*entry);
    }

  private:
    std::string expand(const AliasTable::value_type& entry) {
        const std::string& name = entry.first;
        if (std::find(chain.begin(), chain.end(), name) != chain.end()) {
            std::string loop = "alias loop:";
            for (const std::string& link : chain) {
                loop += " " + link + " ->";
            }
            return loop + " " + name;
        }
        if (std::find(done.begin(), done.end(), name) != done.end()) {
            return ""; // its addresses are in already
        }
        chain.push_back(name);
        bool any = false;
        for (const std::string& item : entry.second) {
            const std::string error = relayable(item) ? add(item, false) : "";
            if (!error.empty()) {
                return error;
            }
            any = any || relayable(item);
        }
        chain.pop_back();
        done.push_back(name);
        return any ? "" : "alias '" + name + "' has no address to relay to";
    }

    const AliasTable& table;
    const std::string& domain;
    StringList& addresses;
    StringList chain, done;
};

} // namespace

std::string parseAliases(const std::string& path, const std::string& text, AliasTable& table) {
    table.clear();
    StringList* entry = nullptr;
    std::size_t number = 0;
    for (const std::string& line : splitLines(text)) {
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (trimmed(line).empty() || trimmed(line)[0] == '#') {
            continue;
        }
        if (line[0] == ' ' || line[0] == '\t') {
            if (entry == nullptr) {
                return where + "continuation line before any alias";
            }
            appendItems(line, *entry);
            continue;
        }
        const std::size_t colon = line.find(':');
        const std::string name = lowerCase(trimmed(line.substr(0, colon)));
        if (colon == std::string::npos || name.empty()) {
            return where + "no alias name before ':'";
        }
        entry = &table[name];
        entry->clear(); // a later entry of a name replaces the earlier one
        appendItems(line.substr(colon + 1), *entry);
    }
    return "";
}

std::string loadAliases(const std::string& path, AliasTable& table) {
    std::ifstream in(path, std::ios::binary);
    const std::string text = in ? std::string(std::istreambuf_iterator<char>(in), {}) : "";
    if (!in || in.bad()) {
        return "Cannot read aliases file " + path + ": " + std::strerror(errno);
    }
    return parseAliases(path, text, table);
}

std::string resolveRecipient(const std::string& address, const AliasTable& table,
                             const std::string& domain, StringList& addresses) {
    const std::string recipient = trimmed(address);
    return recipient.empty() ? "empty recipient"
                             : Resolver(table, domain, addresses).add(recipient, true);
}
