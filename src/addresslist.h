#ifndef BRENVOX_ADDRESSLIST_H
#define BRENVOX_ADDRESSLIST_H

#include "stringlist.h"

#include <string>
#include <vector>

// text without its leading and trailing space characters (tabs and line ends
// are part of the text).
std::string stripSpaces(std::string text);
// text without its leading and trailing spaces and tabs.
std::string trimmed(const std::string& text);

// Every comma closes an item, empty ones included; a text that ends in a comma
// has no item after it. Each item is stripped and bracketed, never inspected:
// " a@b , c" gives "<a@b>", "<c>".
StringList parseAddressList(const std::string& text);

#endif
