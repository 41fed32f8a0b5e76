#ifndef BRENVOX_MESSAGEWRITER_H
#define BRENVOX_MESSAGEWRITER_H

#include "bodytext.h"
#include "composeoptions.h"

#include "stringlist.h"
#include "wirewriter.h"

#include <string>

// What a composed message is made of. Addresses carry their angle brackets.
struct MessageContent {
    std::string sender;
    StringList recipients;
    std::string subject;
    const BodyText& text;
    StringList attachments; // paths
    std::string idHost;     // for the Message-Id when the sender is not a plain address
    const ComposeOptions& options;
    const BodyText* html; // read from options.htmlFile; nullptr without --html
};

enum class WriteOutcome {
    written,
    writeFailed,
    textUnreadable,
    attachmentUnreadable,
    htmlUnreadable,
    inlineUnreadable
};

// Writes the whole MIME message, ending in the "." line, through wire (which
// it finishes). Headers and parts end in CR LF, the empty separator lines in LF
// alone; the line rule makes the two alike. A text file or an attachment that
// cannot be read in full stops the writing, an attachment's path in failedPath:
// sending it cut short would go unnoticed by the recipient. So does the first
// write error.
WriteOutcome writeMessage(WireWriter& wire, const MessageContent& content, std::string& failedPath);
// The line that reports outcome; empty for a message written.
std::string writeErrorLine(WriteOutcome outcome, const std::string& failedPath);

#endif
