#ifndef BRENVOX_MESSAGEFILE_H
#define BRENVOX_MESSAGEFILE_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/types.h>

// The message to send, kept as an open file rather than in memory. Its lines
// (the line rule of LineSplitter) are counted in one pass before sending so that
// progress can be reported per line. The descriptor keeps the file readable
// after its name has been removed.
class MessageFile {
  public:
    // Large enough to keep system calls rare, small enough to stay in cache;
    // 64 to 512 KiB measured alike at 64 MiB (bench/compare).
    static constexpr std::size_t blockSize = 256 * 1024;

    MessageFile() = default;
    ~MessageFile();
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;

    // False when path cannot be opened for reading.
    bool open(const std::string& path);
    // Takes over an open, readable descriptor (the composed file's own).
    void adopt(int descriptor);
    // Reads the file once to its end; false on a read error (a directory, say).
    // A pipe or device can be read only once: its bytes are kept in an
    // anonymous temporary file, which is then read instead.
    bool countLines();
    std::size_t lineCount() const { return lines; }

    // The next bytes from the start, up to capacity of them; 0 at the end.
    // Throws SocketException ("Problem encountered reading message file").
    std::size_t readBlock(char* buffer, std::size_t capacity);

  private:
    bool canReadTwice() const;
    bool countRegularFile();
    bool spoolAndCount();

    int fd = -1;
    std::FILE* spool = nullptr;
    std::size_t lines = 0;
    off_t readOffset = 0;
};

#endif
