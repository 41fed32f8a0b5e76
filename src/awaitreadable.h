#ifndef BRENVOX_AWAITREADABLE_H
#define BRENVOX_AWAITREADABLE_H

#include <chrono>

// Waits until fd has bytes to read (or its peer has closed) or deadline passes;
// signals do not cut the wait short. False with errno set on failure, EAGAIN
// when the deadline came first, as for a socket's own receive time-out.
bool awaitReadable(int fd, std::chrono::steady_clock::time_point deadline);

#endif
