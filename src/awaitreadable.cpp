#include "awaitreadable.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

bool awaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    using std::chrono::milliseconds;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd watch{fd, POLLIN, 0};
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
