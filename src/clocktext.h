#ifndef BRENVOX_CLOCKTEXT_H
#define BRENVOX_CLOCKTEXT_H

#include <ctime>
#include <string>

// Texts drawn from the clock, in the local zone.

// RFC 5322 3.3 date-time of when, e.g. "Sun, 06 Dec 2026 20:25:41 +0100".
std::string formatEmailDate(std::time_t when);
// The zone offset "+HHMM"/"-HHMM"; the sign belongs to the whole offset, so
// UTC-00:30 comes in as 0 hours, -30 minutes and gives "-0030".
std::string formatZoneOffset(int hours, int minutes);
// Local "YYYYMMDDhhmmss" followed by the current microseconds.
std::string messageIdPrefix();
// The current microseconds followed by ".msg".
std::string messageFileName();
// The current microseconds, as the boundary starts with.
long microsecondsNow();

#endif
