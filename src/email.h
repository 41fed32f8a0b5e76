#ifndef BRENVOX_EMAIL_H
#define BRENVOX_EMAIL_H

#include "classicqueue.h"
#include "composeoptions.h"
#include "envelope.h"
#include "outcome.h"
#include "stringlist.h"

#include <string>

class BodyText;
class MessageFile;
class Transcript;

// The mail job: everything one send needs, as the user gave it. Filled through
// the setters; sendMail settles it into an envelope and a message file (the
// configuration file may override options), runs the dialogue on them and
// returns the process exit status.
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
    // Port 465 for implicit TLS unless one is given.
    using TlsMode = ::TlsMode;
    void setTlsMode(TlsMode value);
    // PEM certificates trusted instead of the system store.
    void setCaFile(std::string value);
    // Skips the certificate and name check.
    void setInsecure(bool value);
    // Lists split as setToList does: Cc in the header and the envelope, Bcc in
    // the envelope only.
    void setCcList(const std::string& list);
    void setBccList(const std::string& list);
    void setReplyTo(const std::string& list);
    // From becomes "Name <address>".
    void setFromName(std::string value);
    // Adds "Name: value" to the header; checked before connecting.
    void addHeaderField(std::string text);
    // The HTML part, the text then its plain-text alternative; "-" is standard input.
    void setHtmlFile(std::string path);
    // Adds an image the HTML shows as "cid:NAME" (see contentIdFor).
    void addInlineFile(std::string path);

    // With it, a temporary failure spools the message for --flush: status 75.
    void setQueue(ClassicQueue value);

    // Prepares and delivers the message, printing every error line itself.
    // Returns 0 when the server accepted the message, 1 after any failure (75: queued).
    int sendMail();
    // Every field but workingDir back to its default.
    void reset();

  private:
    // The job as the configuration file and preparation leave it.
    struct Draft {
        Envelope envelope;
        std::string subject;
        std::string portText;
        bool configNamedPort = false;
        std::string credentials; // "user:pass"
    };

    // Everything before the first byte goes to the network.
    Draft draftFromOptions() const;
    Outcome takeMessage(Draft& draft, MessageFile& message, const Transcript& transcript) const;
    Outcome mergeConfigFile(Draft& draft, BodyText& body) const;
    Outcome compose(const Draft& draft, const BodyText& body, const BodyText* html,
                    MessageFile& message, const Transcript& transcript) const;
    Outcome readBodies(BodyText& body, BodyText& html) const;
    Outcome settle(Draft& draft) const;

    std::string configFile;
    std::string rawFile;
    std::string workingDir;
    std::string serverName;
    std::string serverPort;
    StringList toList;
    std::string fromAddress;
    std::string subject;
    std::string messageText;
    std::string messageFile;
    std::string heloName;
    std::string authName;
    std::string authFile;
    std::string authEnvironment;
    std::string authMechanism = "login";
    StringList attachmentList;
    bool verbose = false;
    TlsMode tlsMode = TlsMode::none;
    std::string caFile;
    bool insecure = false;
    bool showProgress = true;
    ComposeOptions composeOptions;
    bool queued = false;
    ClassicQueue queue;
};

#endif
