#ifndef BRENVOX_AUTHFILE_H
#define BRENVOX_AUTHFILE_H

#include <string>

// Credentials kept off the command line, where every user of the machine can
// see them. Reads the first line of path (its line end dropped as the line
// reader does) into credentials. As ssh does for keys, a file that the group or
// others may read, or that is not a regular file, is refused. Returns the error
// line, empty on success.
std::string readAuthFile(const std::string& path, std::string& credentials);
// Credentials given on the command line win over the file, the file over the
// environment's. Returns the file's error line, empty on success.
std::string chooseCredentials(const std::string& path, const std::string& environment,
                              std::string& credentials);

#endif
