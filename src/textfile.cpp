#include "textfile.h"

#include "fileio.h"
#include "linesplitter.h"
#include "retry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

TextFile::~TextFile() {
    if (fd != -1) {
        ::close(fd);
    }
}

TextFile::TextFile(TextFile&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

TextFile::Status TextFile::open(const std::string& path) {
    const int source = openForReading(path);
    if (source == -1) {
        return Status::unreadable;
    }
    if (canReadTwice(source)) {
        fd = source;
        return Status::open;
    }
    const Status spooled = spool(source);
    ::close(source);
    return spooled;
}

TextFile::Status TextFile::spool(int source) {
    std::FILE* copy = std::tmpfile();
    if (copy == nullptr) {
        return Status::spoolFailed;
    }
    fd = ::dup(fileno(copy));
    std::fclose(copy);
    if (fd == -1) {
        return Status::spoolFailed;
    }
    std::vector<char> block(blockSize);
    ssize_t got;
    while ((got = retryOnEintr([&] { return ::read(source, block.data(), block.size()); })) > 0) {
        if (!writeAll(fd, block.data(), static_cast<std::size_t>(got))) {
            return Status::spoolFailed;
        }
    }
    return got == 0 ? Status::open : Status::unreadable;
}

ssize_t TextFile::readAt(char* buffer, std::size_t capacity, off_t offset) const {
    return retryOnEintr([&] { return ::pread(fd, buffer, capacity, offset); });
}

// Fed up to each line feed, so the offset after the last line wanted is known.
bool TextFile::readLines(std::size_t count, StringList& lines, off_t& end) const {
    LineCollector collector(lines);
    LineSplitter splitter;
    std::vector<char> block(blockSize);
    end = 0;
    while (lines.size() < count) {
        const ssize_t got = readAt(block.data(), block.size(), end);
        if (got <= 0) {
            splitter.finish(collector);
            return got == 0;
        }
        const char* at = block.data();
        const char* const stop = at + got;
        while (lines.size() < count && at != stop) {
            const auto* lf = static_cast<const char*>(
                std::memchr(at, '\n', static_cast<std::size_t>(stop - at)));
            const char* next = lf == nullptr ? stop : lf + 1;
            splitter.feed(at, static_cast<std::size_t>(next - at), collector);
            end += next - at;
            at = next;
        }
    }
    return true;
}

std::string textFileError(TextFile::Status status, const std::string& unreadableLine) {
    return status == TextFile::Status::spoolFailed ? "Error writing message file." : unreadableLine;
}
