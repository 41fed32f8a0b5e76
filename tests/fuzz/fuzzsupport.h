#ifndef BRENVOX_FUZZ_FUZZSUPPORT_H
#define BRENVOX_FUZZ_FUZZSUPPORT_H

// Shared by the fuzz targets: a scratch file for inputs that must come from disk, the line
// rule of the line file reader written out plainly, and a check that aborts loudly.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Aborts (so that libFuzzer keeps the input) when ok is false.
inline void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// A file of this process that each input overwrites; removed at exit.
class ScratchFile {
  public:
    ScratchFile() {
        char pattern[] = "/tmp/brenvox-fuzz-XXXXXX";
        const int fd = mkstemp(pattern);
        check(fd != -1, "cannot create a scratch file");
        close(fd);
        filePath = pattern;
    }
    ~ScratchFile() { std::remove(filePath.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& write(const std::uint8_t* data, std::size_t size) const {
        FILE* out = std::fopen(filePath.c_str(), "wb");
        check(out != nullptr, "cannot write the scratch file");
        check(size == 0 || std::fwrite(data, 1, size, out) == size, "short scratch write");
        std::fclose(out);
        return filePath;
    }
    const std::string& path() const { return filePath; }

  private:
    std::string filePath;
};

// The reader's rule: a line ends at LF, one CR right before it dropped; a last line without LF
// counts when it is not empty.
inline std::vector<std::string> referenceLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::string current;
    for (const char c : bytes) {
        if (c != '\n') {
            current += c;
            continue;
        }
        if (!current.empty() && current.back() == '\r') {
            current.pop_back();
        }
        lines.push_back(current);
        current.clear();
    }
    if (!current.empty()) {
        lines.push_back(current);
    }
    return lines;
}

#endif
