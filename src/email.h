#ifndef BRENVOX_EMAIL_H
#define BRENVOX_EMAIL_H

#include <string>
#include <utility>
#include <vector>

using StringList = std::vector<std::string>;

class BodyText;
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
    // The "user:pass" text from the first line of a file only its owner may
    // read (--auth-file), or from the environment (BRENVOX_AUTH); setAuth wins
    // over both, the file over the environment.
    void setAuthFile(std::string path);
    void setAuthFromEnvironment(std::string value);
    // "login" (the default), "plain" (RFC 4616) or "xoauth2" (an OAuth 2.0
    // bearer token in place of the password); any other name stops the run
    // before connecting.
    void setAuthMechanism(std::string name);
    void setAttachmentList(StringList value);
    void setVerbose(bool value);
    // The transfer percentage; on unless --no-progress (a cron log needs none).
    void setShowProgress(bool value);
    // TLS: none, STARTTLS after the greeting (RFC 3207, no fall-back to plain
    // text), or TLS from the connection on (RFC 8314; port 465 unless given).
    enum class TlsMode { none, startTls, implicit };
    void setTlsMode(TlsMode value);
    // PEM certificates trusted instead of the system store.
    void setCaFile(std::string value);
    // Skips the certificate and name check.
    void setInsecure(bool value);

    // Prepares and delivers the message, printing every error line itself.
    // Returns 0 when the server accepted the message, 1 after any failure.
    int sendMail();
    // Every field but workingDir back to its default.
    void reset();

  private:
    // How a step of the run ended: on to the next step, on with HELO instead of
    // EHLO, or stopped, with the line that says why.
    struct Outcome {
        enum class Next { proceed, useHelo, stop } next = Next::proceed;
        std::string errorLine;
        bool stopped() const { return next == Next::stop; }
        static Outcome stop(std::string line) { return {Next::stop, std::move(line)}; }
    };

    // Prints line in verbose mode, replies prefixed line by line (transcriptText).
    void displayString(std::string line) const;
    std::string base64Encode(std::string stringToEncode) const;
    std::string getEmailDate();
    std::string getMessageIDPrefix() const;
    void stripWhiteSpace(std::string& st) const;
    StringList parseList(std::string recipientList);
    std::string extensionToMimeType(std::string extensionName);
    std::string getExtension(std::string fileName) const;
    std::string extractFile(const std::string& fullPath) const;
    std::string generateFileName();
    // The composed message through fd; see writeMessage.
    Outcome writeMailFile(int fd, const BodyText& body);
    std::string padIt(int hour, int min) const;

    // Preparing: everything before the first byte goes to the network.
    Outcome prepareMessage(MessageFile& message);
    Outcome mergeConfigFile(BodyText& body);
    void takeConfigPort(const std::string& serverLine);
    Outcome collectBody(BodyText& body) const;
    Outcome composeMessageFile(const BodyText& body, MessageFile& message);
    int createExclusiveFile(std::string& filePath) const;
    Outcome settleCredentials();
    Outcome checkJob() const;

    // The SMTP dialogue; transport failures arrive as SocketException.
    Outcome runDialogue(SmtpClient& client, MessageFile& message);
    Outcome ehloAndAuthenticate(SmtpClient& client);
    Outcome authenticate(SmtpClient& client, const std::string& aName, const std::string& aPass);
    Outcome authenticateInOneStep(SmtpClient& client, const std::string& aName,
                                  const std::string& aPass);
    Outcome helo(SmtpClient& client);
    Outcome startTls(SmtpClient& client, const TlsOptions& tls);
    Outcome ehloOverTls(SmtpClient& client);
    Outcome mailFrom(SmtpClient& client);
    Outcome rcptToAll(SmtpClient& client);
    Outcome transfer(SmtpClient& client, MessageFile& message);
    void quit(SmtpClient& client);
    void quitAfterDelivery(SmtpClient& client);

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
    std::string authFile;
    std::string authEnvironment;
    std::string authMechanism;
    StringList attachmentList;
    bool verbose = false;
    TlsMode tlsMode = TlsMode::none;
    std::string caFile;
    bool insecure = false;
    bool showProgress = true;
};

#endif
