// Runs one command and writes "SECONDS PEAK_RSS_KIB EXIT_STATUS" to a report
// file. The command is started from this small process rather than from the
// benchmark script: a child's peak resident memory includes what its parent
// held when it was forked, so measuring from a large interpreter would inflate
// every figure.
//
// usage: brenvox_measure REPORTFILE [-o OUTFILE] COMMAND [ARGUMENT...]
// With -o the command's standard output goes to OUTFILE (created or emptied).

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// In the child: sends standard output to path, then becomes the command.
[[noreturn]] void runCommand(const char* outputPath, char** command) {
    if (outputPath != nullptr) {
        const int fd = open(outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
            _exit(126);
        }
        close(fd);
    }
    execvp(command[0], command);
    _exit(127);
}

} // namespace

int main(int argc, char** argv) {
    const bool redirected = argc > 3 && std::strcmp(argv[2], "-o") == 0;
    char** command = argv + (redirected ? 4 : 2);
    if (argc < (redirected ? 5 : 3)) {
        std::fprintf(stderr, "usage: %s REPORTFILE [-o OUTFILE] COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        runCommand(redirected ? argv[3] : nullptr, command);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        std::perror("brenvox_measure");
        return 2;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE* report = std::fopen(argv[1], "w");
    if (report == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    std::fprintf(report, "%.6f %ld %d\n", elapsed.count(), usage.ru_maxrss, exitStatus);
    std::fclose(report);
    return 0;
}
