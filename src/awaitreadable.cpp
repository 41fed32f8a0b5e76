#include "awaitreadable.h"

#include "retry.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

using Deadline = std::chrono::steady_clock::time_point;

bool await(int fd, short events, Deadline deadline) {
    using std::chrono::milliseconds;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd watch{fd, events, 0};
        const int ready =
            left > 0 ? poll(&watch, 1, static_cast<int>(std::min<long long>(left, INT_MAX))) : 0;
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            errno = EAGAIN;
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

} // namespace

bool awaitReadable(int fd, Deadline deadline) {
    return await(fd, POLLIN, deadline);
}

bool awaitWritable(int fd, Deadline deadline) {
    return await(fd, POLLOUT, deadline);
}

// The one deadline covers every partial send: the socket's own time-out starts
// again with each, so a reader taking a little at a time could hold a send for
// ever.
bool sendAllBefore(int fd, const char* data, std::size_t size, const Deadline* deadline) {
    const int flags = MSG_NOSIGNAL | (deadline != nullptr ? MSG_DONTWAIT : 0);
    for (std::size_t sent = 0; sent < size;) {
        const ssize_t count =
            retryOnEintr([&] { return send(fd, data + sent, size - sent, flags); });
        if (count >= 0) {
            sent += static_cast<std::size_t>(count);
        } else if (deadline == nullptr || (errno != EAGAIN && errno != EWOULDBLOCK) ||
                   !await(fd, POLLOUT, *deadline)) {
            return false;
        }
    }
    return true;
}
