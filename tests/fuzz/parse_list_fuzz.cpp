// The recipient list parser against its rule written out plainly: every comma ends an item
// (empty ones too), a text ending in a comma has no item after it, and each item loses the
// spaces at its ends and gains one pair of angle brackets.
#include "emailtestaccess.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Email job;
    const StringList parsed = EmailTestAccess::parseList(job, text);

    StringList expected;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t comma = text.find(',', start);
        std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t first = item.find_first_not_of(' ');
        item = first == std::string::npos
                   ? std::string()
                   : item.substr(first, item.find_last_not_of(' ') - first + 1);
        expected.push_back("<" + item + ">");
        start = comma == std::string::npos ? text.size() : comma + 1;
    }
    check(parsed == expected, "parseList differs from the rule");
    return 0;
}
