#ifndef BRENVOX_DESCRIPTORIO_H
#define BRENVOX_DESCRIPTORIO_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Buffered reading and writing on a bare descriptor, for standard input and
// output and the anonymous message files: one system call per block, so a
// message of any size streams in constant memory.

class FdReader {
  public:
    explicit FdReader(int descriptor, std::size_t capacity = 64 * 1024)
        : fd(descriptor), buffer(capacity) {}

    // The next byte, or -1 at the end of the input or on a read error (then errorNumber()).
    int next() { return at != filled || refill() ? static_cast<unsigned char>(buffer[at++]) : -1; }
    // The unread bytes of the block in hand, refilled when none are left; empty at the end.
    std::pair<const char*, std::size_t> block();
    void consume(std::size_t count) { at += count; }
    int errorNumber() const { return error; }

  private:
    bool refill();

    int fd;
    std::vector<char> buffer;
    std::size_t at = 0;
    std::size_t filled = 0;
    int error = 0;
    bool ended = false;
};

// Counts what it passes on: bytes, and lines as line feeds. After the first
// failure it drops everything; errorNumber() keeps that failure's errno.
class FdWriter {
  public:
    // Takes each full buffer instead of the descriptor; false on failure (errno set).
    using Drain = std::function<bool(const char* data, std::size_t size)>;

    explicit FdWriter(int descriptor, std::size_t capacity = 64 * 1024)
        : fd(descriptor), buffer(capacity) {}
    explicit FdWriter(Drain target, std::size_t capacity = 64 * 1024)
        : fd(-1), buffer(capacity), drain(std::move(target)) {}

    void put(char byte) {
        if (used == buffer.size()) {
            flush();
        }
        buffer[used++] = byte;
        count(byte);
    }
    void write(const char* data, std::size_t size);
    void write(const std::string& text) { write(text.data(), text.size()); }
    // False when any write so far has failed.
    bool flush();

    std::uint64_t bytes() const { return byteCount; }
    std::uint64_t lines() const { return lineCount; }
    int errorNumber() const { return error; }

  private:
    void count(char byte) {
        ++byteCount;
        lineCount += byte == '\n' ? 1U : 0U;
    }

    int fd;
    std::vector<char> buffer;
    Drain drain;
    std::size_t used = 0;
    std::uint64_t byteCount = 0;
    std::uint64_t lineCount = 0;
    int error = 0;
};

#endif
