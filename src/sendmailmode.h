#ifndef BRENVOX_SENDMAILMODE_H
#define BRENVOX_SENDMAILMODE_H

#include "stringlist.h"

// The sendmail-compatible entry, for the programs that pipe their mail into
// /usr/sbin/sendmail: args is sendmail's command line without the program
// name, the message comes on standard input, the server and credentials from
// the settings file. Errors go to standard error; the status is sendmail's
// (sysexits.h).
int runSendmail(const StringList& args);

#endif
