#ifndef BRENVOX_MAILBOXLIST_H
#define BRENVOX_MAILBOXLIST_H

#include "stringlist.h"

#include <string>
#include <vector>

// The bare addresses of an RFC 5322 address-list, the value of a To, Cc or Bcc
// field (folding already undone): display names, comments and group names are
// dropped, a route before an angle address too; quoted strings stay as written,
// so a quoted local part survives and a comma in a quoted name splits nothing.
// Empty items and empty groups ("undisclosed-recipients:;") give no address.
StringList mailboxAddresses(const std::string& value);

#endif
