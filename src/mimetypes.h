#ifndef BRENVOX_MIMETYPES_H
#define BRENVOX_MIMETYPES_H

#include <cstddef>

// Attachment types by file extension. Each row is "<extension>, <type>"; rows are
// searched in order and the first one with the extension wins.
extern const char* const mimeTypeRows[];
extern const std::size_t mimeTypeRowCount;

#endif
