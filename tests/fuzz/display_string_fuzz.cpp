// The verbose transcript printer. Input: byte 0 switches verbose mode (odd: on), the rest is the
// text. Quiet mode prints nothing; a text not starting with "<" is printed as it is; a reply
// ("<" first) is printed line by line, each further line with "< " before it, until an empty
// line turns up: from there the rest goes out in one piece (its leading LF included), as does a
// last line without LF, with "< " before it and LF after it; a lone LF left at the end is dropped.
#include "emailtestaccess.h"

#include "fuzzsupport.h"

#include <iostream>
#include <sstream>

namespace {

std::string expectedOutput(bool verbose, const std::string& text) {
    if (!verbose || text.empty()) {
        return "";
    }
    if (text[0] != '<') {
        return text;
    }
    std::string out;
    std::size_t start = 0;
    bool first = true;
    for (std::size_t lf = text.find('\n'); lf != std::string::npos && lf > start;
         lf = text.find('\n', start)) {
        out += (first ? "" : "< ") + text.substr(start, lf + 1 - start);
        start = lf + 1;
        first = false;
    }
    // What is left goes out whole, unless it is a lone LF.
    const std::size_t skipped = start < text.size() && text[start] == '\n' ? 1 : 0;
    if (start + skipped < text.size()) {
        out += "< " + text.substr(start) + "\n";
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool verbose = (data[0] & 1U) != 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    Email job;
    job.setVerbose(verbose);
    std::ostringstream printed;
    std::streambuf* const standardOutput = std::cout.rdbuf(printed.rdbuf());
    EmailTestAccess::displayString(job, text);
    std::cout.rdbuf(standardOutput);
    check(printed.str() == expectedOutput(verbose, text), "transcript differs from the rule");
    return 0;
}
