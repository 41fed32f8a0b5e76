#ifndef BRENVOX_TEST_PROCESS_H
#define BRENVOX_TEST_PROCESS_H

#include <string>
#include <vector>

// What a run left: standard output and exit status (-1 when killed by a signal).
struct RunResult {
    std::string out;
    int status = -1;
};

// Runs argv (argv[0] looked up in PATH) in directory, standard input from /dev/null and
// standard error into out as well.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& directory);

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dirPath; }
    std::string file(const std::string& name) const { return dirPath + "/" + name; }
    std::string write(const std::string& name, const std::string& bytes) const;
    std::vector<std::string> entries() const; // sorted

  private:
    std::string dirPath;
};

std::string readWholeFile(const std::string& path);

#endif
