#ifndef BRENVOX_MESSAGEFILE_H
#define BRENVOX_MESSAGEFILE_H

#include <cstddef>
#include <cstdio>
#include <string>

// The message to send, kept as an open file rather than in memory. Its lines
// are those of the line file reader (see WireLines); they are counted in one
// pass before sending so that progress can be reported per line. The
// descriptor keeps the file readable after its name has been removed.
class MessageFile {
  public:
    // Large enough to keep system calls rare, small enough to stay in cache.
    static constexpr std::size_t blockSize = 256 * 1024;

    MessageFile() = default;
    ~MessageFile();
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;

    // False when path cannot be opened for reading.
    bool open(const std::string& path);
    // Reads the file once to its end; false on a read error (a directory, say).
    // A pipe or device can be read only once: its bytes are kept in an
    // anonymous temporary file, which descriptor() then names.
    bool countLines();

    // Readable from offset 0 with pread once the lines have been counted.
    int descriptor() const { return fd; }
    std::size_t lineCount() const { return lines; }

    // The number of LF bytes in data.
    static std::size_t countLineFeeds(const char* data, std::size_t size);

  private:
    bool canReadTwice() const;
    bool countRegularFile();
    bool spoolAndCount();
    void take(const char* data, std::size_t size);

    int fd = -1;
    std::FILE* spool = nullptr;
    std::size_t lineFeeds = 0;
    char lastByte = '\n';
    std::size_t lines = 0;
};

#endif
