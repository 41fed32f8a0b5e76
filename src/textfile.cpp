#include "textfile.h"

#include "linesplitter.h"
#include "retry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = retryOnEintr([&] { return ::write(fd, data, size); });
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// Files, and directories so that reading them fails as usual; not pipes,
// sockets or character devices.
bool canReadTwice(int fd) {
    struct stat info {};
    return fstat(fd, &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) ||
           S_ISBLK(info.st_mode);
}

} // namespace

TextFile::~TextFile() {
    if (fd != -1) {
        ::close(fd);
    }
}

TextFile::TextFile(TextFile&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

TextFile::Status TextFile::open(const std::string& path) {
    const int source = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
