#include "messagefile.h"

#include "clocktext.h"
#include "fileio.h"
#include "linesplitter.h"
#include "retry.h"
#include "smtpclient.h"
#include "socketexception.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

// Names are drawn from the microsecond clock; this many collisions in a row
// means the directory is not usable rather than unlucky.
constexpr int maxFileNameAttempts = 100000;

struct LineCounter {
    std::size_t lines = 0;
    void piece(const char*, const char*) {}
    void lineEnd() { ++lines; }
};

} // namespace

MessageFile::~MessageFile() {
    name.reset(); // checks the name against the descriptor, so before closing it
    if (spool != nullptr) {
        std::fclose(spool);
    } else if (fd != -1) {
        ::close(fd);
    }
}

bool MessageFile::open(const std::string& path) {
    fd = openForReading(path);
    return fd != -1;
}

bool MessageFile::create(const std::string& directory) {
    for (int attempt = 0; attempt < maxFileNameAttempts; ++attempt) {
        createdPath = directory + messageFileName();
        fd = ::open(createdPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            name.emplace(createdPath, fd);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool MessageFile::removeName() {
    return name.has_value() && name->remove();
}

bool MessageFile::countLines() {
    if (wire) {
        return true; // counted as it was written
    }
    return canReadTwice(fd) ? countRegularFile() : spoolAndCount();
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

std::string MessageFile::sendThrough(SmtpClient& client, DotStuffing rule) {
    if (wire) {
        return client.sendPrepared(fd, readOffset, wireBytes, lines);
    }
    return client.sendMessage(
        [this](char* buffer, std::size_t capacity) { return readBlock(buffer, capacity); }, lines,
        rule);
}
