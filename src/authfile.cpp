#include "authfile.h"

#include "linesplitter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr std::size_t maxAuthFileBytes = 64 * 1024;

} // namespace

std::string readAuthFile(const std::string& path, std::string& credentials) {
    const std::string unreadable = "Error reading auth file " + path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1) {
        return unreadable;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return unreadable;
    }
    if ((info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        ::close(fd);
        return "Aborting - auth file " + path + " can be read by group or others.";
    }
    std::vector<char> bytes(maxAuthFileBytes);
    const ssize_t got = ::read(fd, bytes.data(), bytes.size());
    ::close(fd);
    if (got <= 0) {
        return unreadable;
    }
    const StringList lines = splitLines(std::string(bytes.data(), static_cast<std::size_t>(got)));
    credentials = lines.empty() ? std::string() : lines.front();
    return credentials.empty() ? unreadable : std::string();
}

std::string chooseCredentials(const std::string& path, const std::string& environment,
                              std::string& credentials) {
    if (!credentials.empty()) {
        return "";
    }
    if (!path.empty()) {
        return readAuthFile(path, credentials);
    }
    credentials = environment;
    return "";
}
