// The option pass and the configuration merge on arbitrary input: no crash, no
// sanitizer report. The input is NUL-separated arguments, then after an empty
// one the configuration file's lines after the first. The first line always
// names 127.0.0.1 port 1, so a run that gets as far as connecting is refused at
// once. Arguments holding "/" are dropped: every path stays in a scratch folder.
#include "commandline.h"
#include "email.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string scratchFolder() {
    char folder[] = "/tmp/brenvox-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0) {
        std::abort();
    }
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO); // the program's lines are not the point here
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string folder = scratchFolder();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    StringList arguments;
    std::size_t start = 0;
    bool configFollows = false;
    while (start < size && !configFollows) {
        const std::size_t end = std::min(bytes.find('\0', start), size);
        configFollows = end == start;
        const std::string argument = bytes.substr(start, end - start);
        if (!configFollows && argument.find('/') == std::string::npos) {
            arguments.push_back(argument);
        }
        start = end + 1;
    }
    const std::string config = "127.0.0.1:1\n" + (configFollows ? bytes.substr(start) : "");
    std::ofstream(folder + "/fuzz.conf", std::ios::binary) << config;
    Email job;
    applyOptions(arguments, job);
    job.setConfigFile(folder + "/fuzz.conf");
    job.setWorkingDir(folder + "/");
    job.sendMail();
    return 0;
}
