// Merging a configuration file into a job whose command line gave server "cli", port "587" and
// HELO "cli". Checked against the rules: the port line (or "set serverPortInt to 25") printed
// from line 1, "Invalid config file." for five lines or fewer, lines 1 to 5 overriding the job
// (the last colon splitting server and port), and the lines from 6 on left as the body.
#include "emailtestaccess.h"

#include "fuzzsupport.h"

#include <cctype>
#include <climits>
#include <iostream>
#include <sstream>

namespace {

// Blanks, a sign, the longest run of digits, saturating; no digits give 0.
int portOf(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = std::min(value * 10 + (text[i] - '0'), 1LL << 32);
    }
    value = negative ? -value : value;
    return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, value)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile file;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    file.write(data, size);

    Email job;
    job.setServerName("cli");
    job.setServerPort("587");
    job.setHeloName("cli");
    job.setConfigFile(file.path());
    StringList body;
    std::ostringstream printed;
    std::streambuf* const standardOutput = std::cout.rdbuf(printed.rdbuf());
    const int result = EmailTestAccess::mergeConfigFile(job, body);
    std::cout.rdbuf(standardOutput);

    const StringList lines = referenceLines(bytes);
    std::string portLine;
    std::string portText = "587";
    int port = 25;
    if (!lines.empty()) {
        const std::size_t colon = lines[0].rfind(':');
        if (colon == std::string::npos || colon == 0) {
            portLine = "set serverPortInt to 25\n";
        } else {
            portText = lines[0].substr(colon + 1);
            port = portOf(portText);
            portLine =
                "serverport = " + portText + "  serverPortInt = " + std::to_string(port) + "\n";
        }
    }
    check(job.getServerPort() == portText, "port text");
    check(job.getServerPortInt() == port, "port number");
    if (lines.size() <= 5) {
        check(result != 0, "a short file accepted");
        check(printed.str() == portLine + "Invalid config file.\n", "printed lines");
        check(job.getServerName() == "cli" && job.getHeloName() == "cli", "job changed");
        return 0;
    }
    check(result == 0, "a valid file refused");
    check(printed.str() == portLine, "printed port line");
    check(job.getServerName() == lines[0].substr(0, lines[0].rfind(':')), "server");
    check(job.getHeloName() == lines[1], "HELO name");
    check(job.getFromAddress() == "<" + lines[2] + ">", "sender");
    Email other;
    check(job.getToList() == EmailTestAccess::parseList(other, lines[3]), "recipients");
    check(job.getSubject() == lines[4], "subject");
    check(body == StringList(lines.begin() + 5, lines.end()), "body");
    return 0;
}
