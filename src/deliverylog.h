#ifndef BRENVOX_DELIVERYLOG_H
#define BRENVOX_DELIVERYLOG_H

#include "stringlist.h"

#include <cstdint>
#include <string>

struct Account;
struct DeliveryReport;

// One line per message, to the account's logfile and/or syslog (facility
// mail): time, sender, recipients, size, the server's reply, the status and a note (which
// relay took it, where the queue keeps it).
// A log that cannot be written is reported on standard error; the delivery's
// status stands.
void logDelivery(const Account& account, const std::string& sender, const StringList& recipients,
                 std::uint64_t size, const DeliveryReport& report, const std::string& note = "");

#endif
