// The option pass and the configuration merge on any input: no crash, no sanitizer report. The
// input is NUL-separated arguments, then (after an empty one) the configuration file's lines after
// the first, which always names 127.0.0.1 port 1, so a run that gets as far as connecting is
// refused at once. Arguments holding "/" are dropped: every path stays in a scratch folder.
#include "commandline.h"
#include "email.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string folder = []() -> std::string {
        // Under the runner's TMPDIR, which it removes; a queued message stays in there too.
        const char* tmp = std::getenv("TMPDIR");
        std::string name =
            std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/brenvox-fuzz-XXXXXX";
        const bool ready = mkdtemp(&name[0]) != nullptr && chdir(name.c_str()) == 0 &&
                           setenv("XDG_STATE_HOME", name.c_str(), 1) == 0;
        return ready && std::freopen("/dev/null", "w", stdout) ? name : (std::abort(), "");
    }();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    StringList arguments;
    std::size_t start = 0;
    for (std::size_t end; start < size && (end = std::min(bytes.find('\0', start), size)) != start;
         start = end + 1) {
        if (bytes.find('/', start) >= end) {
            arguments.push_back(bytes.substr(start, end - start));
        }
    }
    std::ofstream(folder + "/fuzz.conf", std::ios::binary)
        << "127.0.0.1:1\n" + (start < size ? bytes.substr(start + 1) : "");
    Email job;
    applyOptions(arguments, job);
    job.setConfigFile(folder + "/fuzz.conf");
    job.setWorkingDir(folder + "/");
    job.sendMail();
    return 0;
}
