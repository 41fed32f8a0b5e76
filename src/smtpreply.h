#ifndef BRENVOX_SMTPREPLY_H
#define BRENVOX_SMTPREPLY_H

#include <cstddef>
#include <cstdint>
#include <string>

// Replies as received: line ends included, several lines for a multi-line reply.

// RFC 5321 4.2: only the three digits of the code decide.
bool replyIs(const std::string& reply, const char* code);
// A keyword line of an EHLO reply (RFC 5321 4.1.1.1): "250-WORD ..." or "250 WORD ...".
bool offersKeyword(const std::string& reply, const std::string& keyword);
// RFC 1870: the largest message an EHLO reply's "SIZE n" lets through; any without a number,
// with 0, or without the keyword.
std::uint64_t sizeLimit(const std::string& reply);
// Ends in LF, and its last line is not a continuation line ("ddd-", RFC 5321 4.2.1).
bool isCompleteReply(const std::string& reply);
// The length of the first complete reply at the start of text; text.size() if none.
std::size_t firstReplyLength(const std::string& text);

#endif
