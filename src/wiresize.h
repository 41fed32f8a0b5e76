#ifndef BRENVOX_WIRESIZE_H
#define BRENVOX_WIRESIZE_H

#include <cstdint>

class MessageFile;

// RFC 1870's SIZE of the message: its octets with every line ended by CR LF. Exact for a file
// written in its wire form; any other is taken from its size and line count without reading it:
// exact when every line ends in LF alone, a byte more for each that ends in CR LF already.
std::uint64_t messageWireSize(const MessageFile& message);

#endif
