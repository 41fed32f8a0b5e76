#ifndef BRENVOX_TEXTFILE_H
#define BRENVOX_TEXTFILE_H

#include "stringlist.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

// A text file opened to be read more than once, block by block from any offset,
// so that it is never held whole. A pipe or device can be read only once: it is
// copied into an anonymous temporary file first, which is read instead.
class TextFile {
  public:
    enum class Status { open, unreadable, spoolFailed };
    static constexpr std::size_t blockSize = 64 * 1024;

    TextFile() = default;
    ~TextFile();
    TextFile(TextFile&& other) noexcept;
    TextFile& operator=(TextFile&&) = delete;
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // spoolFailed when the copy of a pipe or device cannot be written (the
    // disk or the file size limit is full), unreadable on any other failure.
    Status open(const std::string& path);
    // Up to capacity bytes from offset on; 0 at the end, -1 on a read error.
    ssize_t readAt(char* buffer, std::size_t capacity, off_t offset) const;
    // The first count lines (the line rule of LineSplitter), fewer when the
    // file has fewer, and in end the offset right after them; false on a read error.
    bool readLines(std::size_t count, StringList& lines, off_t& end) const;

  private:
    Status spool(int source);

    int fd = -1;
};

// The error line for a file that could not be taken: the copy of a pipe or
// device fills the disk like the message file would.
std::string textFileError(TextFile::Status status, const std::string& unreadableLine);

#endif
