#ifndef BRENVOX_COMPOSEOPTIONS_H
#define BRENVOX_COMPOSEOPTIONS_H

#include "stringlist.h"

#include <string>

// What --cc, --bcc, --reply-to, --from-name, --header, --html and --inline add to a
// composed message, as the user gave it; a raw message takes none of them.
struct ComposeOptions {
    StringList cc;      // bracketed; the Cc field and the envelope
    StringList bcc;     // bracketed; the envelope only, never a header
    StringList replyTo; // bracketed
    std::string fromName;
    StringList headerFields; // "Name: value" as given, checked before connecting
    std::string htmlFile;    // "-" is standard input
    StringList inlines;      // images the HTML shows as cid:NAME
};

#endif
