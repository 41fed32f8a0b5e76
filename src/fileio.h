#ifndef BRENVOX_FILEIO_H
#define BRENVOX_FILEIO_H

#include <cstddef>
#include <string>

// Writes all size bytes at data to fd, through short writes and signals; false
// on the first failure (errno tells why).
bool writeAll(int fd, const char* data, std::size_t size);
// Files, and directories so that reading them fails as usual; not pipes,
// sockets or character devices, whose bytes are gone once read.
bool canReadTwice(int fd);
// A file of the command line opened for reading: "-" is standard input (a
// descriptor of its own, so closing it leaves standard input alone).
int openForReading(const std::string& path);

#endif
