#ifndef BRENVOX_STRINGLIST_H
#define BRENVOX_STRINGLIST_H

#include <string>
#include <vector>

using StringList = std::vector<std::string>;

#endif
