// Both base64 encoders, checked by decoding: the in-memory one gives one unbroken line of
// 4 characters per started group of 3 bytes; the file one gives lines of 76 characters (the
// last one shorter), each ended by CR LF, and nothing for an empty file. Decoded, both give
// back the input byte for byte.
#include "emailtestaccess.h"
#include "sendcheck.h"

#include "fuzzsupport.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile file;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Email job;

    const std::string line = EmailTestAccess::base64Encode(job, bytes);
    check(line.size() == (size + 2) / 3 * 4, "encoded length");
    check(line.find_first_of("\r\n") == std::string::npos, "a line break in the string form");
    std::string decoded;
    check(base64Decode(line, decoded) && decoded == bytes, "string form does not decode back");

    file.write(data, size);
    char* buffer = nullptr;
    std::size_t length = 0;
    FILE* out = open_memstream(&buffer, &length);
    check(out != nullptr, "open_memstream");
    check(EmailTestAccess::base64Encode(job, file.path(), out) == 0, "file encoder failed");
    std::fclose(out);
    const std::string text(buffer, length);
    std::free(buffer);

    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        check(end != std::string::npos, "a line without CR LF");
        const std::size_t width = end - start;
        const bool last = end + 2 == text.size();
        check(width > 0 && width % 4 == 0 && (width == 76 || (last && width < 76)), "line width");
        start = end + 2;
    }
    check(base64Decode(text, decoded) && decoded == bytes, "file form does not decode back");
    check(text.empty() == bytes.empty(), "output for an empty file");
    return 0;
}
