#ifndef BRENVOX_TRANSCRIPT_H
#define BRENVOX_TRANSCRIPT_H

#include <string>

// What verbose mode prints for line. Text not starting with "<" is printed as
// it stands. A reply ("< " + text) is printed line by line, each line with "< "
// (the caller gave only the first one); from an empty line on, the rest goes
// out in one piece; a last line without LF gets "< " and an LF; a lone LF left
// at the end is dropped.
std::string transcriptText(const std::string& line);

#endif
