#ifndef BRENVOX_MIMETYPES_H
#define BRENVOX_MIMETYPES_H

#include <string>

// The attachment type for a file extension (".pdf"; case counts): the first row
// of the table with it, "application/octet-stream" when none has it.
std::string mimeTypeFor(const std::string& extension);
// From the last "." on, never the first character: ".profile" has none.
std::string extensionOf(const std::string& fileName);
// The part after the last backslash, or else after the last slash: a backslash
// wins wherever it stands, so Windows paths work too.
std::string fileNameOf(const std::string& path);

#endif
