#ifndef BRENVOX_TEST_EMAILTESTACCESS_H
#define BRENVOX_TEST_EMAILTESTACCESS_H

#include "email.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <utility>

// Reaches the private helpers of Email, so they can be tested one by one.
class EmailTestAccess {
  public:
    static constexpr int attachmentUnreadable = Email::attachmentUnreadable;

    static void displayString(const Email& job, std::string line) {
        job.displayString(std::move(line));
    }
    static int base64Encode(const Email& job, const std::string& fileLocation, FILE* out) {
        return job.base64Encode(fileLocation, out);
    }
    static std::string base64Encode(const Email& job, std::string stringToEncode) {
        return job.base64Encode(std::move(stringToEncode));
    }
    static std::string getEmailDate(Email& job) { return job.getEmailDate(); }
    static std::string formatEmailDate(const Email& job, std::time_t when) {
        return job.formatEmailDate(when);
    }
    static std::string getMessageIDPrefix(const Email& job) { return job.getMessageIDPrefix(); }
    static void stripWhiteSpace(const Email& job, std::string& st) { job.stripWhiteSpace(st); }
    static StringList parseList(Email& job, std::string recipientList) {
        return job.parseList(std::move(recipientList));
    }
    static std::string extensionToMimeType(Email& job, std::string extensionName) {
        return job.extensionToMimeType(std::move(extensionName));
    }
    static std::string getExtension(const Email& job, std::string fileName) {
        return job.getExtension(std::move(fileName));
    }
    static std::string extractFile(const Email& job, const std::string& fullPath) {
        return job.extractFile(fullPath);
    }
    static std::string generateFileName(Email& job) { return job.generateFileName(); }
    static int readFileToVector(const Email& job, std::string file, StringList& messageData) {
        return job.readFileToVector(std::move(file), messageData);
    }
    static int writeMailFile(Email& job, std::string outputLocation, std::string fromAddress,
                             StringList toList, std::string subject, StringList attachmentList,
                             StringList messageData) {
        return job.writeMailFile(std::move(outputLocation), std::move(fromAddress),
                                 std::move(toList), std::move(subject), std::move(attachmentList),
                                 std::move(messageData));
    }
    static std::string padIt(const Email& job, int hour, int min) { return job.padIt(hour, min); }
    static void setTimeouts(Email& job, unsigned int transmitSeconds, unsigned int receiveSeconds) {
        job.transmitTimeoutSeconds = transmitSeconds;
        job.receiveTimeoutSeconds = receiveSeconds;
    }
    static const std::string& unreadableAttachment(const Email& job) {
        return job.unreadableAttachment;
    }
    static int mergeConfigFile(Email& job, StringList& messageData) {
        return job.mergeConfigFile(messageData);
    }
};

#endif
