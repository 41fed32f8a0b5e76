#ifndef BRENVOX_HEADERTEXT_H
#define BRENVOX_HEADERTEXT_H

#include <string>

// Header texts for non-ASCII input: what a mail reader needs to show the bytes
// as the user typed them. Pure ASCII is always written as it stands.

bool isAscii(const std::string& text);
bool isValidUtf8(const std::string& text);

// The charset label for text: "utf-8" when it is valid UTF-8, else "unknown-8bit".
std::string charsetOf(const std::string& text);

// The whole "Subject: ..." header of text, ending in CR LF: as it stands when
// ASCII, otherwise RFC 2047 encoded words folded into lines below 78 characters.
std::string subjectHeader(const std::string& text);

// text as RFC 2047 encoded words ("=?UTF-8?B?...?=", each after a blank), folded
// with CR LF so that a header of them stays below 78 characters a line; no CR LF
// after the last.
std::string encodedWords(const std::string& text);

// RFC 5322 3.2.3 atext: a letter, a digit or one of !#$%&'*+-/=?^_`{|}~.
bool isAtext(char c);

// One parameter line of a part header, "\t" + name + "=\"value\"" when value is
// printable ASCII without '"' or '\\', otherwise RFC 2231 percent-encoded, split
// into numbered sections when long. Every line ends in CR LF; separate sections end in ";".
std::string parameterLines(const std::string& name, const std::string& value);

// A valid RFC 5322 msg-id, "<prefix.local@domain>" when sender (brackets
// allowed) is a plain local@domain address, else "<prefix@host>".
std::string messageId(const std::string& prefix, const std::string& sender,
                      const std::string& host);

#endif
