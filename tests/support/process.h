#ifndef BRENVOX_TEST_PROCESS_H
#define BRENVOX_TEST_PROCESS_H

#include <string>
#include <vector>

// What a run of the real binary left: its standard output, standard error and
// exit status (-1 when it did not exit normally, e.g. killed by a signal).
struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs the built brenvox with args (program name excluded) in workingDirectory
// (the current one when empty), standard input from /dev/null.
RunResult runBrenvox(const std::vector<std::string>& args,
                     const std::string& workingDirectory = "");

// Runs any program (argv[0] looked up in PATH) the same way.
RunResult runProgram(const std::vector<std::string>& argv,
                     const std::string& workingDirectory = "");

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dirPath; }
    // path() + "/" + name
    std::string file(const std::string& name) const;
    // Writes bytes to path()/name and returns the full path.
    std::string write(const std::string& name, const std::string& bytes) const;
    // Names of the entries in the directory, sorted.
    std::vector<std::string> entries() const;

  private:
    std::string dirPath;
};

std::string readWholeFile(const std::string& path);

// Names of the entries of a directory, sorted; empty when it cannot be read.
std::vector<std::string> listDirectory(const std::string& path);

#endif
