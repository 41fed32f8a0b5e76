#ifndef BRENVOX_AWAITREADABLE_H
#define BRENVOX_AWAITREADABLE_H

#include <chrono>
#include <cstddef>

// Socket waits bounded by a deadline, for bytes to read or for room to send;
// signals do not cut them short. Each is false with errno set on failure,
// EAGAIN when the deadline came first, as for a socket's own time-outs.

// Waits until fd has bytes to read (or its peer has closed) or deadline passes.
bool awaitReadable(int fd, std::chrono::steady_clock::time_point deadline);
// Waits until fd has room to send or deadline passes.
bool awaitWritable(int fd, std::chrono::steady_clock::time_point deadline);
// Sends all size bytes at data before deadline; without one, a blocking send
// as long as the socket's own time-out allows. A peer that has gone is EPIPE,
// never SIGPIPE.
bool sendAllBefore(int fd, const char* data, std::size_t size,
                   const std::chrono::steady_clock::time_point* deadline);

#endif
