#include "messagefile.h"

#include "linesplitter.h"
#include "retry.h"
#include "socketexception.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

struct LineCounter {
    std::size_t lines = 0;
    void piece(const char*, const char*) {}
    void lineEnd() { ++lines; }
};

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

} // namespace

MessageFile::~MessageFile() {
    if (spool != nullptr) {
        std::fclose(spool);
    } else if (fd != -1) {
        ::close(fd);
    }
}

bool MessageFile::open(const std::string& path) {
    adopt(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd != -1;
}

void MessageFile::adopt(int descriptor) {
    fd = descriptor;
}

bool MessageFile::countLines() {
    return canReadTwice() ? countRegularFile() : spoolAndCount();
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
    LineSplitter splitter;
    LineCounter counter;
    off_t offset = 0;
    ssize_t got;
    while ((got = retryOnEintr([&] { return pread(fd, block.data(), block.size(), offset); })) >
           0) {
        splitter.feed(block.data(), static_cast<std::size_t>(got), counter);
        offset += got;
    }
    splitter.finish(counter);
    lines = counter.lines;
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
    LineSplitter splitter;
    LineCounter counter;
    ssize_t got;
    while ((got = retryOnEintr([&] { return ::read(source, block.data(), block.size()); })) > 0 &&
           writeAll(fd, block.data(), static_cast<std::size_t>(got))) {
        splitter.feed(block.data(), static_cast<std::size_t>(got), counter);
    }
    ::close(source);
    splitter.finish(counter);
    lines = counter.lines;
    return got == 0;
}

std::size_t MessageFile::readBlock(char* buffer, std::size_t capacity) {
    const ssize_t got = retryOnEintr([&] { return pread(fd, buffer, capacity, readOffset); });
    if (got < 0) {
        throw SocketException(errno, "Problem encountered reading message file");
    }
    readOffset += got;
    return static_cast<std::size_t>(got);
}
