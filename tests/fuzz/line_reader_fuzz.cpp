// The line file reader against its rule: lines end at LF with one CR before it dropped, a last
// line without LF counts when not empty, every other byte (NUL, CR, 0x80 and up) is kept, and
// the lines are appended after what the list already holds.
#include "emailtestaccess.h"

#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile file;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    file.write(data, size);

    Email job;
    StringList lines = {"already there"};
    check(EmailTestAccess::readFileToVector(job, file.path(), lines) == 1, "read failed");

    StringList expected = {"already there"};
    const StringList reference = referenceLines(bytes);
    expected.insert(expected.end(), reference.begin(), reference.end());
    check(lines == expected, "lines differ from the rule");
    return 0;
}
