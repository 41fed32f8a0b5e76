#include "wirewriter.h"

#include "fileio.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Below this a run of lines in wire form is copied on with the rest rather
// than written on its own.
constexpr std::size_t directWriteSize = 16 * 1024;
constexpr std::size_t pageSize = 4096;

// The length of the whole lines at the start of data already in wire form under
// either rule: each ended by CR LF, with no other CR, none starting with ".".
// Base64 and headers are, and skip the conversion; lines counts them.
std::size_t wireFormLines(const char* data, std::size_t size, std::size_t& lines) {
    const char* at = data;
    const char* const end = data + size;
    while (at != end && *at != '.') {
        const auto* lf =
            static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        if (lf == nullptr || lf == at || lf[-1] != '\r' ||
            std::memchr(at, '\r', static_cast<std::size_t>(lf - 1 - at)) != nullptr) {
            break;
        }
        at = lf + 1;
        ++lines;
    }
    return static_cast<std::size_t>(at - data);
}

// Both pieces, in one system call when the platform takes them whole.
bool writeBoth(int fd, const char* first, std::size_t firstSize, const char* second,
               std::size_t secondSize) {
    iovec pieces[2] = {{const_cast<char*>(first), firstSize},
                       {const_cast<char*>(second), secondSize}};
    ssize_t put;
    do {
        put = ::writev(fd, pieces, 2);
    } while (put == -1 && errno == EINTR);
    if (put < 0) {
        return false;
    }
    const auto done = static_cast<std::size_t>(put);
    if (done < firstSize) {
        return writeAll(fd, first + done, firstSize - done) && writeAll(fd, second, secondSize);
    }
    return writeAll(fd, second + (done - firstSize), secondSize - (done - firstSize));
}

ssize_t writeToWire(void* cookie, const char* data, std::size_t size) {
    auto& writer = *static_cast<WireWriter*>(cookie);
    writer.write(data, size);
    if (writer.errorNumber() != 0) {
        errno = writer.errorNumber();
        return -1;
    }
    return static_cast<ssize_t>(size);
}

} // namespace

WireWriter::WireWriter(int descriptor, DotStuffing rule)
    : fd(descriptor), sink(pending, WireSink::noLimit, rule) {
    pending.reserve(2 * blockSize + sizeof endOfData); // every byte an LF at worst
}

// Runs of lines already in wire form go as they stand; any other line, and
// at most a block at a time, goes through the sink.
void WireWriter::write(const char* data, std::size_t size) {
    while (size > 0 && error == 0) {
        std::size_t lines = 0;
        const std::size_t same =
            splitter.betweenLines() && !sink.holdsDot() ? wireFormLines(data, size, lines) : 0;
        std::size_t now = same;
        if (same > 0) {
            passedLines += lines;
            passThrough(data, same);
        } else {
            const auto* lf =
                static_cast<const char*>(std::memchr(data, '\n', std::min(size, blockSize)));
            now =
                lf != nullptr ? static_cast<std::size_t>(lf - data) + 1 : std::min(size, blockSize);
            splitter.feed(data, now, sink);
        }
        data += now;
        size -= now;
        if (pending.size() >= blockSize) {
            flush();
        }
    }
}

void WireWriter::writeWireLines(const char* data, std::size_t size, std::size_t lines) {
    if (!splitter.betweenLines() || sink.holdsDot()) {
        write(data, size);
        return;
    }
    passedLines += lines;
    passThrough(data, size);
    if (pending.size() >= blockSize) {
        flush();
    }
}

// Writes end on a page boundary but the last: a page written in two parts
// costs the file system more than copying the rest on (ext4: 64 MiB in 10 ms
// less).
void WireWriter::passThrough(const char* data, std::size_t size) {
    const std::size_t total = pending.size() + size;
    const std::size_t whole = total - total % pageSize;
    if (size < directWriteSize || whole <= pending.size()) {
        pending.append(data, size);
        return;
    }
    const std::size_t now = whole - pending.size();
    flush(data, now);
    pending.append(data + now, size - now);
}

bool WireWriter::finish() {
    splitter.finish(sink);
    sink.endData();
    flush();
    return error == 0;
}

// pending, then the moreSize bytes at more.
void WireWriter::flush(const char* more, std::size_t moreSize) {
    if (error == 0 && writeBoth(fd, pending.data(), pending.size(), more, moreSize)) {
        written += pending.size() + moreSize;
    } else if (error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    pending.clear();
}

std::FILE* WireWriter::stream() {
    cookie_io_functions_t functions{};
    functions.write = writeToWire;
    return fopencookie(this, "w", functions);
}
