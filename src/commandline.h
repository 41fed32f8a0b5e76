#ifndef BRENVOX_COMMANDLINE_H
#define BRENVOX_COMMANDLINE_H

#include "stringlist.h"

#include <string>
#include <vector>

class Email;

// The whole program for main's arguments: "--help", "--version", "--config" as
// the first argument, or no argument, print their text and give 1; otherwise the
// options fill one mail job, which is sent. Returns the exit status.
int runCommandLine(int argc, const char* const argv[]);

// One pass over the arguments (program name excluded), calling the job's
// setters. A value is taken without stepping over it, so a value that looks
// like an option also acts as one. Prints "Unrecognized parameter -X" lines.
void applyOptions(const StringList& argumentList, Email& mailMsg);

#endif
