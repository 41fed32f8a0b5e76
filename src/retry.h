#ifndef BRENVOX_RETRY_H
#define BRENVOX_RETRY_H

#include <cerrno>

// Repeats a system call that a signal interrupted (-1 with EINTR) and returns
// its first other result, errno intact.
template <class Call> auto retryOnEintr(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) {
        result = call();
    }
    return result;
}

#endif
