#ifndef BRENVOX_SMTPSERVERSESSION_H
#define BRENVOX_SMTPSERVERSESSION_H

#include "stringlist.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Passes one received message on: the envelope ("" is the null sender), the
// message in an anonymous file read from its start (LF line ends, unstuffed,
// the message exactly as the client wrote it) and its line count. Returns the
// one reply line for the client: "250 ..." when accepted, else the refusal as
// a 4xx or 5xx line.
using Relay = std::function<std::string(const std::string& sender, const StringList& recipients,
                                        int messageFd, std::uint64_t lines)>;

// The server side of SMTP (RFC 5321) on inFd/outFd for sendmail -bs: HELO,
// EHLO (PIPELINING, as input is read through one buffer that replies never
// discard), MAIL, RCPT, DATA, RSET, NOOP, QUIT. Lines end in CR LF or LF. The
// session ends at QUIT or at the end of the input. Returns 0 when every
// message was accepted, 75 when one was refused for now or the input ended
// inside DATA (a retry may help), else 69 when one was refused for good.
int runSmtpServerSession(int inFd, int outFd, const Relay& relay, const std::string& hostName);

#endif
