#ifndef BRENVOX_ACCOUNTOPTIONS_H
#define BRENVOX_ACCOUNTOPTIONS_H

#include "stringlist.h"

#include <string>

class Email;

// "--account [NAME]" or "--settings FILE" anywhere on the command line: the
// account's server, port, TLS, credentials, sender and HELO name go into job
// first, so that the other options then win over them. Without either option
// no settings file is read. Returns the error line, empty on success.
std::string applyAccountOptions(const StringList& arguments, Email& job);

#endif
