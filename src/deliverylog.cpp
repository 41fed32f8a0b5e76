#include "deliverylog.h"

#include "clocktext.h"
#include "fileio.h"
#include "mtadialogue.h"
#include "settings.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <ctime>
#include <iostream>

namespace {

std::string joined(const StringList& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ",") + item;
    }
    return text;
}

std::string logLine(const std::string& sender, const StringList& recipients, std::uint64_t size,
                    const DeliveryReport& report) {
    const std::string outcome = report.delivered() ? "delivered" : report.problem;
    return "from=<" + sender + "> to=" + joined(recipients) + " size=" + std::to_string(size) +
           " status=" + std::to_string(report.status) + " reply=\"" + report.reply + "\" " +
           outcome;
}

void appendToFile(const std::string& path, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const std::string text = formatEmailDate(std::time(nullptr)) + " " + line + "\n";
    if (fd == -1 || !writeAll(fd, text.data(), text.size())) {
        std::cerr << "brenvox: cannot write the log file " << path << std::endl;
    }
    if (fd != -1) {
        ::close(fd);
    }
}

} // namespace

void logDelivery(const Account& account, const std::string& sender, const StringList& recipients,
                 std::uint64_t size, const DeliveryReport& report, const std::string& note) {
    if (account.logfile.empty() && !account.syslog) {
        return;
    }
    const std::string line =
        logLine(sender, recipients, size, report) + (note.empty() ? "" : " " + note);
    if (!account.logfile.empty()) {
        appendToFile(account.logfile, line);
    }
    if (account.syslog) {
        openlog("brenvox", LOG_PID, LOG_MAIL);
        syslog(report.delivered() ? LOG_INFO : LOG_ERR, "%s", line.c_str());
        closelog();
    }
}
