#ifndef BRENVOX_MESSAGEFILE_H
#define BRENVOX_MESSAGEFILE_H

#include "interruption.h"
#include "wirewriter.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/types.h>

class SmtpClient;

// The message to send, kept as an open file rather than in memory. Its lines
// (the line rule of LineSplitter) are counted in one pass before sending so that
// progress can be reported per line, unless it was written in wire form (then
// counted as it was written, and sent as it stands). The descriptor keeps the
// file readable after its name has been removed.
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
    // Takes over an open, readable descriptor: "-" of the command line (0) or
    // a message received on standard input.
    void adopt(int descriptor) { fd = descriptor; }
    // A new file in directory under a drawn name, made exclusively (mode 0600,
    // never through a planted link) and open for writing and reading back; the
    // name is never opened again, so swapping it for a link in a shared
    // directory gains nothing. False when no file could be made.
    bool create(const std::string& directory);
    // The created file's descriptor, to write the message through.
    int descriptor() const { return fd; }
    const std::string& path() const { return createdPath; }
    // Removes the created file's name unless it no longer names the file
    // (swapped meanwhile); false when it was not removed. Held names also go on
    // destruction and on an interrupting signal.
    bool removeName();
    // Reads the file once to its end; false on a read error (a directory, say).
    // A pipe or device can be read only once: its bytes are kept in an
    // anonymous temporary file, which is then read instead.
    // True at once for a file in wire form.
    bool countLines();
    std::size_t lineCount() const { return lines; }
    // For a file whose writer counted its lines (each ended by LF) as it wrote
    // them: saves reading it once more.
    void setLineCount(std::size_t count) { lines = count; }
    // For a file written from its start by a WireWriter that has finished.
    void setWireForm(std::uint64_t size, std::size_t lineCount) {
        wire = true;
        wireBytes = size;
        lines = lineCount;
    }
    bool inWireForm() const { return wire; }
    // The exact bytes a file in wire form puts on the wire, the end of data included.
    std::uint64_t wireSize() const { return wireBytes; }

    // The message after DATA, and the reply: a file in wire form as it stands,
    // any other converted by rule as it is read.
    std::string sendThrough(SmtpClient& client, DotStuffing rule = DotStuffing::lastLineEnds);
    // Reading starts at offset: a queue entry's message follows its header.
    void startAt(off_t offset) { readOffset = offset; }

    // The next bytes from the start, up to capacity of them; 0 at the end.
    // Throws SocketException ("Problem encountered reading message file").
    std::size_t readBlock(char* buffer, std::size_t capacity);

  private:
    bool countRegularFile();
    bool spoolAndCount();

    int fd = -1;
    std::string createdPath;
    std::optional<OwnedFileName> name;
    std::FILE* spool = nullptr;
    std::size_t lines = 0;
    bool wire = false;
    std::uint64_t wireBytes = 0;
    off_t readOffset = 0;
};

#endif
