#ifndef BRENVOX_WIRESIZE_H
#define BRENVOX_WIRESIZE_H

#include <cstdint>

class MessageFile;

// RFC 1870's SIZE of the message: its octets with every line ended by CR LF. Taken from the
// file's size and line count without reading it: exact when every line ends in LF alone, a byte
// more for each that ends in CR LF already. The one place to change once the file is written in
// its wire form.
std::uint64_t messageWireSize(const MessageFile& message);

#endif
