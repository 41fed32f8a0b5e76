#include "process.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? "'\\''" : std::string(1, c);
    }
    return out + "'";
}

} // namespace

RunResult runProgram(const std::vector<std::string>& argv, const std::string& directory,
                     const std::string& prelude) {
    std::string command = "cd " + quoted(directory) + " || exit; " + prelude;
    for (const std::string& arg : argv) {
        command += " " + quoted(arg);
    }
    // Standard input is empty unless the prelude pipes something into the program.
    FILE* pipe = popen(("{ " + command + " 2>&1; } </dev/null").c_str(), "r");
    RunResult result;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/brenvox-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dirPath = pattern;
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    std::ofstream(file(name), std::ios::binary) << bytes;
    return file(name);
}

std::vector<std::string> TempDir::entries() const {
    const std::string list =
        runProgram({"find", ".", "-mindepth", "1", "-printf", "%P\\0"}, dirPath).out;
    std::vector<std::string> names;
    for (std::size_t at = 0, end; (end = list.find('\0', at)) != std::string::npos; at = end + 1) {
        names.push_back(list.substr(at, end - at));
    }
    std::sort(names.begin(), names.end());
    return names;
}
