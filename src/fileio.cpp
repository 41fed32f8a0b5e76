#include "fileio.h"

#include "retry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool canReadTwice(int fd) {
    struct stat info {};
    return fstat(fd, &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode) ||
           S_ISBLK(info.st_mode);
}

int openForReading(const std::string& path) {
    if (path == "-") {
        return ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    }
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}
