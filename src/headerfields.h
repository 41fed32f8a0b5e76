#ifndef BRENVOX_HEADERFIELDS_H
#define BRENVOX_HEADERFIELDS_H

#include "stringlist.h"

#include <optional>
#include <string>

// The header fields a user's options add to a composed message, and what keeps
// them from replacing the fields Brenvox writes itself.

struct HeaderField {
    std::string name;
    std::string value;
};

// "Name: value" split at the first colon, the value without the blanks around
// it; nothing without a colon.
std::optional<HeaderField> splitHeaderField(const std::string& text);
// RFC 5322 3.6.8: one or more printable ASCII characters but ':'.
bool isFieldName(const std::string& name);
// From, To, Cc, Bcc, Reply-To, Date, Message-Id, MIME-Version, Subject and
// Content-*, in any case.
bool isReservedFieldName(const std::string& name);

// "From: " and the sender (brackets included), after the display name when there
// is one: as it stands when it is atoms and blanks, else a quoted-string, RFC 2047
// encoded words when it holds a byte outside printable ASCII.
std::string fromField(const std::string& displayName, const std::string& sender);
// "Name: a, b" of the addresses; empty for none.
std::string addressField(const std::string& name, const StringList& addresses);
// The user's field ending in CR LF, its value as encoded words when not ASCII.
std::string userField(const std::string& text);

#endif
