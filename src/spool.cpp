#include "spool.h"

#include "fileio.h"
#include "messagefile.h"
#include "retry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

const char temporaryPrefix[] = "tmp.";
constexpr std::size_t headerLimit = 64 * 1024;

std::string failure(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

bool syncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd != -1 && fsync(fd) == 0;
    if (fd != -1) {
        ::close(fd);
    }
    return synced;
}

std::string makeDirectories(const std::string& dir) {
    for (std::size_t at = 1; at != std::string::npos;) {
        at = dir.find('/', at + 1);
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return failure("create the queue directory", part);
        }
    }
    return "";
}

// A name drawn from the clock, in the order of creation when compared as text.
std::string drawnId() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%06ld", static_cast<long>(now.tv_usec));
    return text;
}

bool copyBytes(int from, long long offset, unsigned long long bytes, int to) {
    std::vector<char> block(MessageFile::blockSize);
    while (bytes > 0) {
        const std::size_t want =
            bytes < block.size() ? static_cast<std::size_t>(bytes) : block.size();
        const ssize_t got = retryOnEintr(
            [&] { return pread(from, block.data(), want, static_cast<off_t>(offset)); });
        if (got <= 0 || !writeAll(to, block.data(), static_cast<std::size_t>(got))) {
            errno = got == 0 ? EIO : errno;
            return false;
        }
        offset += got;
        bytes -= static_cast<unsigned long long>(got);
    }
    return true;
}

// The header at the start of fd and its size; an error for a bad or truncated entry.
std::string readHeader(int fd, QueueEntry& entry, long long& headerSize) {
    std::string text(headerLimit, '\0');
    const ssize_t got = retryOnEintr([&] { return pread(fd, &text[0], text.size(), 0); });
    struct stat info {};
    if (got < 0 || fstat(fd, &info) != 0) {
        return std::strerror(errno);
    }
    text.resize(static_cast<std::size_t>(got));
    std::size_t size = 0;
    const std::string error = parseEntryHeader(text, entry, size);
    if (!error.empty()) {
        return error;
    }
    headerSize = static_cast<long long>(size);
    if (static_cast<unsigned long long>(info.st_size) != size + entry.bytes) {
        return "truncated message (" + std::to_string(info.st_size - headerSize) + " of " +
               std::to_string(entry.bytes) + " bytes)";
    }
    return "";
}

} // namespace

std::string defaultQueueDirectory() {
    if (geteuid() == 0) {
        return "/var/spool/brenvox";
    }
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/') {
        return std::string(state) + "/brenvox/queue";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/brenvox/queue";
}

std::string prepareQueueDirectory(const std::string& dir) {
    if (dir.empty() || dir[0] != '/') {
        return "the queue directory must be an absolute path: '" + dir + "'";
    }
    std::string error = makeDirectories(dir);
    struct stat info {};
    if (error.empty() && ::stat(dir.c_str(), &info) != 0) {
        error = failure("read the queue directory", dir);
    } else if (error.empty() && !S_ISDIR(info.st_mode)) {
        error = "the queue directory " + dir + " is not a directory";
    } else if (error.empty() && info.st_uid != geteuid()) {
        error = "the queue directory " + dir + " belongs to another user (uid " +
                std::to_string(info.st_uid) + ")";
    } else if (error.empty() && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error =
            "the queue directory " + dir + " can be written by group or others; chmod 700 " + dir;
    }
    return error;
}

StringList queueEntryIds(const std::string& dir) {
    StringList ids;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return ids;
    }
    while (const dirent* item = readdir(listing)) {
        const std::string name = item->d_name;
        struct stat info {};
        if (name[0] != '.' && name.rfind(temporaryPrefix, 0) != 0 &&
            lstat((dir + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            ids.push_back(name);
        }
    }
    closedir(listing);
    return ids;
}

void removeStaleTemporaries(const std::string& dir, long maxAgeSeconds) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return;
    }
    const std::time_t now = std::time(nullptr);
    while (const dirent* item = readdir(listing)) {
        const std::string path = dir + "/" + item->d_name;
        struct stat info {};
        if (std::string(item->d_name).rfind(temporaryPrefix, 0) == 0 &&
            lstat(path.c_str(), &info) == 0 && now - info.st_mtime > maxAgeSeconds) {
            ::unlink(path.c_str());
        }
    }
    closedir(listing);
}

bool peekEntry(const std::string& path, QueueEntry& entry, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1) {
        error = std::strerror(errno);
        return false;
    }
    long long headerSize = 0;
    error = readHeader(fd, entry, headerSize);
    ::close(fd);
    return error.empty();
}

LockedEntry::~LockedEntry() {
    release();
}

void LockedEntry::release() {
    if (fd != -1) {
        ::close(fd);
        fd = -1;
    }
}

std::string LockedEntry::writeFile(const std::string& header, int source, long long from,
                                   unsigned long long bytes, int& written,
                                   std::string& temporary) const {
    temporary = directory + "/" + temporaryPrefix + std::to_string(getpid()) + "." + drawnId();
    written = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (written == -1) {
        return failure("create a queue entry in", directory);
    }
    // Locked before it has a name, so no flush can take it in between.
    const bool whole = flock(written, LOCK_EX) == 0 &&
                       writeAll(written, header.data(), header.size()) &&
                       copyBytes(source, from, bytes, written) && fsync(written) == 0;
    if (whole) {
        return "";
    }
    const std::string error = failure("write a queue entry in", directory);
    ::close(written);
    ::unlink(temporary.c_str());
    written = -1;
    return error;
}

std::string LockedEntry::create(const std::string& dir, const QueueEntry& record, int messageFd) {
    struct stat info {};
    if (fstat(messageFd, &info) != 0) {
        return failure("read the message of", dir);
    }
    directory = dir;
    entry = record;
    entry.bytes = static_cast<unsigned long long>(info.st_size);
    const std::string header = formatEntryHeader(entry);
    std::string temporary;
    int written = -1;
    std::string error = writeFile(header, messageFd, 0, entry.bytes, written, temporary);
    if (!error.empty()) {
        return error;
    }
    // link, unlike rename, never replaces an entry that drew the same name.
    name = drawnId();
    bool linked = ::link(temporary.c_str(), path().c_str()) == 0;
    for (int n = 1; !linked && errno == EEXIST && n < 1000; ++n) {
        name = drawnId() + "-" + std::to_string(n);
        linked = ::link(temporary.c_str(), path().c_str()) == 0;
    }
    error = linked ? "" : failure("link", path());
    ::unlink(temporary.c_str());
    if (linked && !syncDirectory(directory)) {
        error = failure("sync", directory);
        ::unlink(path().c_str());
    }
    if (!error.empty()) {
        ::close(written);
        return error;
    }
    fd = written;
    headerSize = static_cast<long long>(header.size());
    return "";
}

LockedEntry::State LockedEntry::open(const std::string& dir, const std::string& id) {
    directory = dir;
    name = id;
    fd = ::open(path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1) {
        return State::gone;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        release();
        return State::busy;
    }
    // Taken after its last holder unlinked or replaced it: that one is done with it.
    struct stat held {
    }, named{};
    if (fstat(fd, &held) != 0 || ::stat(path().c_str(), &named) != 0 ||
        held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
        release();
        return State::gone;
    }
    corruption = readHeader(fd, entry, headerSize);
    return corruption.empty() ? State::locked : State::corrupt;
}

void LockedEntry::message(MessageFile& file) const {
    file.adopt(::dup(fd));
    file.startAt(static_cast<off_t>(headerSize));
    if (entry.wireForm) {
        file.setWireForm(entry.bytes, entry.lines);
    } else {
        file.setLineCount(entry.lines);
    }
}

std::string LockedEntry::save() {
    const std::string header = formatEntryHeader(entry);
    std::string temporary;
    int written = -1;
    std::string error = writeFile(header, fd, headerSize, entry.bytes, written, temporary);
    if (!error.empty()) {
        return error;
    }
    if (::rename(temporary.c_str(), path().c_str()) != 0 || !syncDirectory(directory)) {
        error = failure("rename into place", temporary);
        ::unlink(temporary.c_str());
        ::close(written);
        return error;
    }
    release();
    fd = written;
    headerSize = static_cast<long long>(header.size());
    return "";
}

std::string LockedEntry::remove() {
    if (::unlink(path().c_str()) != 0) {
        return failure("remove", path());
    }
    syncDirectory(directory);
    return "";
}

std::string LockedEntry::moveTo(const std::string& sub) {
    const std::string target = directory + "/" + sub;
    if (::mkdir(target.c_str(), 0700) != 0 && errno != EEXIST) {
        return failure("create", target);
    }
    if (::rename(path().c_str(), (target + "/" + name).c_str()) != 0) {
        return failure("move into " + target, path());
    }
    syncDirectory(target);
    syncDirectory(directory);
    return "";
}
