#ifndef BRENVOX_MIMEPARTS_H
#define BRENVOX_MIMEPARTS_H

#include "messagewriter.h"

#include <cstdio>
#include <string>

// The body below the header block, without the attachments around it: the text
// part alone; with --html a multipart/alternative of text and HTML (RFC 2046
// 5.1.4), or the HTML alone when there is no text; with --inline images a
// multipart/related of that and the images (RFC 2387). Each part ends in an empty
// line. Every layer's boundary is the message's one with a prefix of its own, so
// no delimiter line is the beginning of another.
WriteOutcome writeBody(std::FILE* out, const MessageContent& content, const std::string& boundary,
                       std::string& failedPath);

// The Content-ID of an inline image, without brackets: its file name with every
// byte other than a letter, a digit or one of "-._~" written as "_", so that the
// HTML can name it as it stands in "cid:NAME".
std::string contentIdFor(const std::string& fileName);

#endif
