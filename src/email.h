#ifndef BRENVOX_EMAIL_H
#define BRENVOX_EMAIL_H

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

using StringList = std::vector<std::string>;

class MessageFile;
class SmtpClient;
struct TlsOptions;

// The mail job: everything one send needs. Filled through the setters, then
// sendMail composes (or takes a raw file), delivers and returns the process exit
// status.
class Email {
  public:
    Email();

    void setConfigFile(std::string value);
    void setRawFile(std::string value);
    void setWorkingDir(std::string value);
    void setServerName(std::string value);
    void setServerPort(std::string value);
    // Splits the text at commas into bracketed addresses (see parseList).
    void setToList(std::string tl);
    void setFromAddress(std::string value);
    void setSubject(std::string value);
    void setMessageText(std::string value);
    void setMessageFile(std::string value);
    void setHeloName(std::string value);
    // "username:pass", split at the first ":" when the dialogue needs it.
    void setAuth(std::string value);
    void setAttachmentList(StringList value);
    void setVerbose(bool value);
    // TLS: none, STARTTLS after the greeting, or TLS from the connection on.
    enum class TlsMode { none, startTls, implicit };
    void setTlsMode(TlsMode value);
    // PEM certificates trusted instead of the system store.
    void setCaFile(std::string value);
    // Skips the certificate and name check.
    void setInsecure(bool value);

    // Prepares and delivers the message. Returns 0 when the server accepted it,
    // 1 after any failure (its line already printed).
    int sendMail();
    // Every field but workingDir back to its default.
    void reset();

    const std::string& getConfigFile() const { return configFile; }
    const std::string& getRawFile() const { return rawFile; }
    const std::string& getWorkingDir() const { return workingDir; }
    const std::string& getServerName() const { return serverName; }
    const std::string& getServerPort() const { return serverPort; }
    int getServerPortInt() const { return serverPortInt; }
    const StringList& getToList() const { return toList; }
    const std::string& getFromAddress() const { return fromAddress; }
    const std::string& getSubject() const { return subject; }
    const std::string& getMessageText() const { return messageText; }
    const std::string& getMessageFile() const { return messageFile; }
    const std::string& getHeloName() const { return heloName; }
    const std::string& getAuth() const { return authName; }
    const StringList& getAttachmentList() const { return attachmentList; }
    bool isVerbose() const { return verbose; }
    TlsMode getTlsMode() const { return tlsMode; }
    const std::string& getCaFile() const { return caFile; }
    bool isInsecure() const { return insecure; }

  private:
    friend class EmailTestAccess;

    // writeMailFile results besides 0 (written) and 1 (cannot create).
    static constexpr int attachmentUnreadable = 2;

    void displayString(std::string line) const;
    int base64Encode(const std::string& fileLocation, FILE* out) const;
    std::string base64Encode(std::string stringToEncode) const;
    std::string getEmailDate();
    // The Date header value for the instant when, in the local zone.
    std::string formatEmailDate(std::time_t when) const;
    std::string getMessageIDPrefix() const;
    void stripWhiteSpace(std::string& st) const;
    StringList parseList(std::string recipientList);
    std::string extensionToMimeType(std::string extensionName);
    std::string getExtension(std::string fileName) const;
    std::string extractFile(const std::string& fullPath) const;
    std::string generateFileName();
    int readFileToVector(std::string file, StringList& messageData) const;
    int writeMailFile(std::string outputLocation, std::string fromAddress, StringList toList,
                      std::string subject, StringList attachmentList, StringList messageData);
    std::string padIt(int hour, int min) const;

    // Send driver: preparing the message.
    int prepareMessage(MessageFile& message);
    int mergeConfigFile(StringList& messageData);
    void takeConfigPort(const std::string& serverLine);
    int collectBody(StringList& messageData) const;
    int composeMessageFile(const StringList& messageData, std::string& filePath);
    bool createExclusiveFile(std::string& filePath);
    int checkJob() const;

    // Send driver: the SMTP dialogue. Each step prints its own error line.
    enum class Greeting { done, useHelo, failed };
    int runDialogue(SmtpClient& client, const MessageFile& message);
    Greeting ehloAndAuthenticate(SmtpClient& client);
    Greeting authenticate(SmtpClient& client, const std::string& aName, const std::string& aPass);
    Greeting helo(SmtpClient& client);
    bool startTls(SmtpClient& client, const TlsOptions& tls);
    Greeting ehloOverTls(SmtpClient& client);
    bool mailFrom(SmtpClient& client);
    bool rcptToAll(SmtpClient& client);
    int transfer(SmtpClient& client, const MessageFile& message);
    int quit(SmtpClient& client, int status);
    int quitAfterDelivery(SmtpClient& client);

    std::string configFile;
    std::string rawFile;
    std::string workingDir;
    std::string serverName;
    std::string serverPort;
    int serverPortInt = 25;
    StringList toList;
    std::string fromAddress;
    std::string subject;
    std::string messageText;
    std::string messageFile;
    std::string heloName;
    std::string authName;
    StringList attachmentList;
    bool verbose = false;
    TlsMode tlsMode = TlsMode::none;
    std::string caFile;
    bool insecure = false;
    // Path of the attachment that made writeMailFile fail, for the error line.
    std::string unreadableAttachment;
    // Fixed for users; tests shorten them to exercise silent servers quickly.
    unsigned int transmitTimeoutSeconds = 60;
    unsigned int receiveTimeoutSeconds = 120;
};

#endif
