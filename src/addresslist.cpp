#include "addresslist.h"

std::string stripSpaces(std::string text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

StringList parseAddressList(const std::string& text) {
    StringList items;
    std::size_t startAt = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool isComma = text[i] == ',';
        if (!isComma && i + 1 != text.size()) {
            continue;
        }
        const std::size_t itemLength = (isComma ? i : i + 1) - startAt;
        items.push_back("<" + stripSpaces(text.substr(startAt, itemLength)) + ">");
        startAt = i + 1;
    }
    return items;
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}
