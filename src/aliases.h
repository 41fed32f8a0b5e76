#ifndef BRENVOX_ALIASES_H
#define BRENVOX_ALIASES_H

#include "stringlist.h"

#include <map>
#include <string>
#include <vector>

// The entries of an aliases file, as /etc/aliases writes them ("name: item, item", '#'
// comment lines, a line starting with a blank continues the entry above): the lower-case
// name and its items as written.
using AliasTable = std::map<std::string, StringList>;

// Returns the error line ("FILE:LINE: ..." for the text), empty on success.
std::string loadAliases(const std::string& path, AliasTable& table);
std::string parseAliases(const std::string& path, const std::string& text, AliasTable& table);

// The addresses a recipient stands for, appended to addresses without repeats: an address
// with '@' stays; a local name is replaced by the items of its entry (any case), else of the
// "default" entry, else gets "@domain"; a name inside an entry is looked up again, else gets
// the domain. Items that are commands, files or includes ("|...", "/...", ":include:...")
// are skipped, as a relay cannot deliver to them. Returns the error line (a loop, an entry
// without any address, a name with no alias and no domain), empty on success.
std::string resolveRecipient(const std::string& address, const AliasTable& table,
                             const std::string& domain, StringList& addresses);

#endif
