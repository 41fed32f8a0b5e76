#include "secret.h"

#include "authfile.h"
#include "linesplitter.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t maxOutputBytes = 64 * 1024;

enum class Reading { done, timedOut, failed };

int millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// To the end of the output, so that a helper writing more than one line is not killed by
// SIGPIPE; only the first maxOutputBytes are kept.
Reading readOutput(int fd, Clock::time_point deadline, std::string& output) {
    char buffer[4096];
    for (;;) {
        pollfd readable{fd, POLLIN, 0};
        const int ready = poll(&readable, 1, millisecondsLeft(deadline));
        if (ready == 0) {
            return Reading::timedOut;
        }
        const ssize_t got = ready < 0 ? -1 : ::read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return Reading::done;
        }
        if (got < 0 && errno != EINTR) {
            return Reading::failed;
        }
        const std::size_t room = maxOutputBytes - output.size();
        output.append(buffer, std::min(room, static_cast<std::size_t>(std::max<ssize_t>(got, 0))));
    }
}

// The wait status of the child, killed once the deadline has passed; -1 when it is lost.
int reap(pid_t child, Clock::time_point deadline, bool& timedOut) {
    if (timedOut) {
        kill(child, SIGKILL);
    }
    int status = 0;
    for (pid_t got; (got = waitpid(child, &status, timedOut ? 0 : WNOHANG)) != child;) {
        if (got == -1 && errno != EINTR) {
            return -1;
        }
        if (got == 0 && Clock::now() >= deadline) {
            timedOut = true;
            kill(child, SIGKILL);
        } else if (got == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return status;
}

// The shell with a clean signal state: the run ignores SIGPIPE and SIGXFSZ, a helper must not.
int spawnShell(const std::string& command, int output, pid_t& child) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    sigaddset(&signals, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string shell = "sh", flag = "-c", text = command;
    char* argv[] = {&shell[0], &flag[0], &text[0], nullptr};
    const int error = posix_spawn(&child, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

std::string failure(int status, bool timedOut, int timeoutSeconds) {
    if (timedOut) {
        return "timed out after " + std::to_string(timeoutSeconds) + " s";
    }
    if (status == -1) {
        return "failed (lost its status)";
    }
    if (WIFSIGNALED(status)) {
        return "failed (killed by signal " + std::to_string(WTERMSIG(status)) + ")";
    }
    return WEXITSTATUS(status) != 0 ? "failed (status " + std::to_string(WEXITSTATUS(status)) + ")"
                                    : "";
}

} // namespace

std::string runPasswordEval(const std::string& command, std::string& secret, int timeoutSeconds) {
    const std::string named = ": " + command;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return "passwordeval could not start (" + std::string(std::strerror(errno)) + ")" + named;
    }
    pid_t child = -1;
    const int spawnError = spawnShell(command, pipeEnds[1], child);
    ::close(pipeEnds[1]);
    if (spawnError != 0) {
        ::close(pipeEnds[0]);
        return "passwordeval could not start (" + std::string(std::strerror(spawnError)) + ")" +
               named;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string output;
    const Reading reading = readOutput(pipeEnds[0], deadline, output);
    const int readErrno = errno;
    ::close(pipeEnds[0]);
    bool timedOut = reading == Reading::timedOut;
    const int status = reap(child, deadline, timedOut);
    std::string error = failure(status, timedOut, timeoutSeconds);
    if (error.empty() && reading == Reading::failed) {
        error = "failed (reading its output: " + std::string(std::strerror(readErrno)) + ")";
    }
    const StringList lines = splitLines(output);
    secret = lines.empty() || !error.empty() ? std::string() : lines.front();
    if (!secret.empty() && secret.back() == '\r') {
        secret.pop_back(); // its LF never came
    }
    if (error.empty() && secret.empty()) {
        error = "printed no password";
    }
    return error.empty() ? "" : "passwordeval " + error + named;
}

std::string readSecret(const Account& account, std::string& secret, int evalTimeoutSeconds) {
    secret.clear();
    if (!account.password.empty()) {
        secret = account.password;
        return "";
    }
    if (!account.passwordFile.empty()) {
        return readAuthFile(account.passwordFile, secret);
    }
    return account.passwordEval.empty()
               ? ""
               : runPasswordEval(account.passwordEval, secret, evalTimeoutSeconds);
}
