#include "wiresize.h"

#include "messagefile.h"

#include <sys/stat.h>

std::uint64_t messageWireSize(const MessageFile& message) {
    if (message.inWireForm()) {
        return message.wireSize();
    }
    struct stat status {};
    const std::uint64_t bytes =
        fstat(message.descriptor(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    return bytes + message.lineCount();
}
