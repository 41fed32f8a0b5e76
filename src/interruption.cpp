#include "interruption.h"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <utility>

namespace {

// Read by the handler, so plain storage and a lock-free flag: the path is
// written before the descriptor is published, and unpublished before it changes.
char heldPath[PATH_MAX];
std::atomic<int> heldFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads heldFd");

bool namesFile(const char* path, int fd) {
    struct stat named {};
    struct stat held {};
    return lstat(path, &named) == 0 && fstat(fd, &held) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

// Only async-signal-safe calls; the process cannot unwind from here.
void onInterruption(int) {
    const int fd = heldFd.load();
    if (fd != -1 && namesFile(heldPath, fd)) {
        unlink(heldPath);
    }
    static const char line[] = "Aborting - interrupted by a signal.\n";
    const ssize_t ignored = write(STDOUT_FILENO, line, sizeof line - 1);
    static_cast<void>(ignored);
    _exit(1);
}

void handleUnlessIgnored(int signalNumber) {
    struct sigaction previous {};
    if (sigaction(signalNumber, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = onInterruption;
    sigfillset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

void installInterruptionHandlers() {
    std::signal(SIGXFSZ, SIG_IGN);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        handleUnlessIgnored(signalNumber);
    }
}

OwnedFileName::OwnedFileName(std::string filePath, int descriptor)
    : path(std::move(filePath)), fd(descriptor) {
    // A name too long to keep is still removed here, just not by the handler.
    if (path.size() < sizeof heldPath) {
        std::memcpy(heldPath, path.c_str(), path.size() + 1);
        heldFd.store(fd);
    }
}

OwnedFileName::~OwnedFileName() {
    remove();
}

bool OwnedFileName::remove() {
    if (!held) {
        return false;
    }
    held = false;
    heldFd.store(-1);
    return namesFile(path.c_str(), fd) && unlink(path.c_str()) == 0;
}
