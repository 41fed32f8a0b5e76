#ifndef BRENVOX_TEST_PROCESS_H
#define BRENVOX_TEST_PROCESS_H

#include <string>
#include <vector>

struct RunResult {
    std::string out; // standard output and standard error
    int status = -1; // -1: killed by a signal
};

// Runs argv (argv[0] looked up in PATH) in directory after the shell text of prelude, which
// ends in the word that starts it ("exec", "exec timeout 1"); standard input from /dev/null.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& directory,
                     const std::string& prelude = "exec");

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir() { runProgram({"rm", "-rf", dirPath}, "/"); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dirPath; }
    std::string file(const std::string& name) const { return dirPath + "/" + name; }
    std::string write(const std::string& name, const std::string& bytes) const;
    std::vector<std::string> entries() const; // sorted

  private:
    std::string dirPath;
};

#endif
