#include "messagefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// One read of up to size bytes at offset, or from the current position when
// offset is negative; -1 on an error.
ssize_t readSome(int fd, char* data, std::size_t size, off_t offset) {
    for (;;) {
        const ssize_t got = offset < 0 ? read(fd, data, size) : pread(fd, data, size, offset);
        if (got != -1 || errno != EINTR) {
            return got;
        }
    }
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        if (put == -1 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace

MessageFile::~MessageFile() {
    if (spool != nullptr) {
        std::fclose(spool);
    } else if (fd != -1) {
        ::close(fd);
    }
}

bool MessageFile::open(const std::string& path) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

// Every LF ends a line; a last line without LF counts when it is not empty.
bool MessageFile::countLines() {
    if (!(canReadTwice() ? countRegularFile() : spoolAndCount())) {
        return false;
    }
    lines = lineFeeds + (lastByte != '\n' ? 1 : 0);
    return true;
}

// Files, and directories so that reading them fails as usual; not pipes,
// sockets or character devices.
bool MessageFile::canReadTwice() const {
    struct stat info {};
    return fstat(fd, &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) ||
           S_ISBLK(info.st_mode);
}

bool MessageFile::countRegularFile() {
    std::vector<char> block(blockSize);
    off_t offset = 0;
    ssize_t got;
    while ((got = readSome(fd, block.data(), block.size(), offset)) > 0) {
        take(block.data(), static_cast<std::size_t>(got));
        offset += got;
    }
    return got == 0;
}

bool MessageFile::spoolAndCount() {
    spool = std::tmpfile();
    if (spool == nullptr) {
        return false;
    }
    const int source = fd;
    fd = fileno(spool);
    std::vector<char> block(blockSize);
    ssize_t got;
    while ((got = readSome(source, block.data(), block.size(), -1)) > 0 &&
           writeAll(fd, block.data(), static_cast<std::size_t>(got))) {
        take(block.data(), static_cast<std::size_t>(got));
    }
    ::close(source);
    return got == 0;
}

void MessageFile::take(const char* data, std::size_t size) {
    lineFeeds += countLineFeeds(data, size);
    lastByte = data[size - 1];
}

std::size_t MessageFile::countLineFeeds(const char* data, std::size_t size) {
    std::size_t feeds = 0;
    const char* const end = data + size;
    while (const auto* lf = static_cast<const char*>(
               std::memchr(data, '\n', static_cast<std::size_t>(end - data)))) {
        ++feeds;
        data = lf + 1;
    }
    return feeds;
}
