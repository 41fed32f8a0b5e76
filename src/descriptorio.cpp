#include "descriptorio.h"

#include "fileio.h"
#include "retry.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

std::pair<const char*, std::size_t> FdReader::block() {
    if (at == filled && !refill()) {
        return {buffer.data(), 0};
    }
    return {buffer.data() + at, filled - at};
}

bool FdReader::refill() {
    at = filled = 0;
    if (ended) {
        return false;
    }
    const ssize_t got = retryOnEintr([&] { return ::read(fd, buffer.data(), buffer.size()); });
    error = got < 0 ? errno : 0;
    ended = got <= 0;
    filled = ended ? 0 : static_cast<std::size_t>(got);
    return !ended;
}

void FdWriter::write(const char* data, std::size_t size) {
    byteCount += size;
    lineCount += static_cast<std::uint64_t>(std::count(data, data + size, '\n'));
    while (size > 0) {
        if (used == buffer.size()) {
            flush();
        }
        const std::size_t part = std::min(size, buffer.size() - used);
        std::copy(data, data + part, buffer.data() + used);
        used += part;
        data += part;
        size -= part;
    }
}

bool FdWriter::flush() {
    if (used > 0 && error == 0 &&
        !(drain ? drain(buffer.data(), used) : writeAll(fd, buffer.data(), used))) {
        error = errno != 0 ? errno : EIO;
    }
    used = 0;
    return error == 0;
}
