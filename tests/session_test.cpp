// The real binary against the scripted server, one row per distinct behaviour: arguments and
// files in, then stdout, command lines, data, exit status and the working directory's files.
#include "process.h"
#include "scriptedserver.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

namespace {

using Strings = std::vector<std::string>;
using namespace std::string_literals;

struct Row {
    const char* name;
    Strings args;   // after "-S 127.0.0.1 -P {PORT} -f me@x.test -t you@y.test"; later ones win
    Strings files;  // "name=bytes", or "name/" for a directory, besides "raw" (rawMessage)
    Strings script; // ScriptedServer entries
    std::string out;
    std::string commands; // comma-separated, see expand()
    std::string data;     // date, Message-Id digits and boundary digits masked
    int status;
    std::string prelude; // shell text before the program, ending in the word that starts it
    Row(const char* n, Strings a, Strings f, Strings s, std::string o, std::string c, std::string d,
        int st, std::string p = "exec")
        : name(n), args(std::move(a)), files(std::move(f)), script(std::move(s)), out(std::move(o)),
          commands(std::move(c)), data(std::move(d)), status(st), prelude(std::move(p)) {}
    // A run that ends with status 1 before it connects.
    Row(const char* n, Strings a, Strings f, std::string o, std::string p = "exec")
        : Row(n, std::move(a), std::move(f), {}, std::move(o), "", "", 1, std::move(p)) {}
};

const std::string rawMessage = "Subject: t\r\n\r\nbody\r\n.\r\n";
const std::string P = "0%\r33%\r66%\r100%\r\n"; // progress of rawMessage
const std::string H = "H,M,R,D,Q";
const std::string greeted = "* Connecting to server 127.0.0.1\n< 220 scripted.test ESMTP ready\r\n";
const std::string helo = "> HELO localhost\n< 250 scripted.test\r\n";
const std::string ehlo = "> EHLO localhost\n< 250-scripted.test\r\n< 250-SIZE 10240000\r\n"
                         "< 250 AUTH LOGIN\r\n";
const std::string mail = "> MAIL FROM: <me@x.test>\n< 250 2.1.0 Ok\r\n";
const std::string rcpt = "> RCPT TO: <you@y.test>\n< 250 2.1.5 Ok\r\n";
const std::string data = "> DATA\n< 354 End data with <CR><LF>.<CR><LF>\r\n* Sending data...\n";
const std::string queued = "< 250 2.0.0 Ok: queued\r\n";
const std::string quit = "> QUIT\n< 221 2.0.0 Bye\r\n";
const std::string textHead = "Content-Type: text/plain;\r\n\tcharset=\"us-ascii\"\r\n"
                             "Content-Transfer-Encoding: 7bit\r\n\r\n";
const std::string part = "--#boundary__giblets_and_gravy\r\n";
const std::string limit = "ulimit -f "; // file size in blocks; writes fail with EFBIG
// The clock stands still: the message file is always named 0.msg.
const std::string frozen = "export LD_PRELOAD=$(echo /usr/lib/*/faketime/libfaketime.so.1) "
                           "FAKETIME='2026-12-07 00:00:00' FAKETIME_DONT_FAKE_MONOTONIC=1; ";
// The least address space in which the binary starts, in 64 KiB steps, and 64 KiB more.
const std::string tight = "t() { l=0 h=4194304; while [ $((h-l)) -gt 64 ]; do m=$(((l+h)/2)); "
                          "case $( (ulimit -v $m; exec \"$1\" --version) 2>&1) in B*) h=$m;; *) "
                          "l=$m;; esac; done 2>/dev/null; ulimit -v $((h+64)); exec \"$@\"; }; t";
const std::string closed = "! Error: Connection closed by server - Connection reset by peer\n";

// The composed message of the wire body (its last CR LF left out) and the attachment parts.
std::string composed(const std::string& body, const std::string& parts = "",
                     const std::string& to = "<you@y.test>",
                     const std::string& from = "<me@x.test>", const std::string& subject = "s") {
    const std::string id = "." + from.substr(1, from.size() - 2); // a plain sender's address
    const std::string head = "Message-Id: <#" + id + ">\r\nDate: #\r\nFrom: " + from +
                             "\r\nTo: " + to + "\r\nSubject: " + subject +
                             "\r\nMIME-Version: 1.0\r\n";
    if (parts.empty()) {
        return head + textHead + body + "\r\n\r\n\r\n.\r\n";
    }
    return head +
           "Content-Type: multipart/mixed;\r\n\tBoundary=\"#boundary__giblets_and_gravy\"\r\n"
           "\r\nThis is a multi-part message in MIME format.\r\n\r\n" +
           part + textHead + body + "\r\n\r\n" + parts + part.substr(0, part.size() - 2) +
           "--\r\n\r\n.\r\n";
}

std::string swap(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

std::string A(const std::string& password) { // the commands of an authenticated session
    return "E,A,U," + password + ",M,R,D,Q";
}

// The progress of a message of n lines, as the transport table pins it for small n.
std::string progress(int n) {
    std::string text;
    for (int i = 0; i + 1 < n; ++i) {
        text += std::to_string(i * 100 / (n - 1)) + "%\r";
    }
    return text + "100%\r\n";
}

std::string attachmentPart(const std::string& type, const std::string& name,
                           const std::string& base64) {
    return part + "Content-Type: " + type + ";\r\n\tname=\"" + name +
           "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
           "\tfilename=\"" +
           name + "\"\r\n\r\n" + base64 + "\r\n";
}

const std::string cfg =
    "cfg=127.0.0.1:{PORT}\ncfg.helo\ncfg@x.test\nt1@y.test, t2@y.test\nCfg\nb\n";
const std::string cfgCommands =
    "HELO cfg.helo,MAIL FROM: <cfg@x.test>,RCPT TO: <t1@y.test>,RCPT TO: <t2@y.test>,D,Q";
const std::string portLine = "serverport = {PORT}  serverPortInt = {PORT}\n";

const std::string help =
    "use: brenvox [-options]\n\nWhere options include:\n\n"
    "  --help                                   print out this message\n"
    "  --version                                print out the build\n"
    "  --config                                 print out config file requirements\n"
    " -w <working directory>                    working directory\n"
    " -t \"<to address>[, <to addressN>]\"        To address list\n"
    " -f <from address>                         From address\n"
    " -s \"<subject text>\"                       Subject text\n"
    " -S <SMTP server>                          name/IP address of SMTP server\n"
    " -P <SMTP port>                            SMTP port (default 25)\n"
    " -c <configuration file>                   configuration file\n"
    " -r <raw message file>                     raw e-mail file\n"
    " -m \"<message text>\"                       message body text\n"
    " -M <message file>                         text file for message body\n"
    " -h <domain>                               helo domain (default localhost)\n"
    " -A <username:pass>                        SMTP auth user/pass\n"
    " -a <attachment> [<attachmentN>]           attachments to send\n"
    " -v                                        enable verbose mode\n";

const Row rows[] = {
    // The dialogue's branches.
    Row("HeloPathVerbose", {"-v", "-r", "raw", "-w", "nowhere"}, {}, {},
        greeted + helo + mail + rcpt + data + P + queued + quit, H, rawMessage, 0),
    Row("QuietComposedTextInCurrentDirectory", {"-s", "s", "-m", "body", "-w", ""}, {}, {},
        progress(14), H, composed("body"), 0),
    Row("AuthLoginVerbose", {"-v", "--auth-file", "nofile", "-A", "user:pa:ss", "-r", "raw"}, {},
        {},
        greeted + ehlo +
            "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n> dXNlcg==\n< 334 UGFzc3dvcmQ6\r\n"
            "> cGE6c3M=\n< 235 2.7.0 Authentication successful\r\n" +
            mail + rcpt + data + P + queued + quit,
        A("cGE6c3M="), rawMessage, 0),
    Row("CredentialsWithoutColonAreAllUserName", {"-A", "user", "-r", "raw"}, {}, {}, P, A(""),
        rawMessage, 0),
    Row("AuthAdvertisedOnlyInTheFirstLineFallsBackToHelo", {"-A", "user:pass", "-r", "raw"}, {},
        {"EHLO 250-AUTH LOGIN PLAIN\r\n250 OK"}, P, "E," + H, rawMessage, 0),
    Row("RefusedPasswordQuits", {"-A", "user:pass", "-r", "raw"}, {}, {"AUTH-PASS 454 4.7.0 Later"},
        "! Authentication failure, quitting.\n", "E,A,U,W,Q", "", 1),
    Row("Ehlo501NamesTheHeloDomain", {"-A", "u:p", "-h", "bad host", "-r", "raw"}, {},
        {"EHLO 501 5.5.4 Invalid"}, "! Error in argument bad host\n\n", "EHLO bad host,Q", "", 1),
    Row("Ehlo502FallsBackToHelo", {"-A", "u:p", "-r", "raw"}, {}, {"EHLO 502 5.5.1 No ESMTP"},
        "! Error, ESMTP not supported, attempting HELO...\n" + P, "E," + H, rawMessage, 0),
    Row("EhloOtherRefusalGivesUp", {"-A", "u:p", "-r", "raw"}, {}, {"EHLO 554 5.7.1 Go away"},
        "! Error, giving up.\n", "E,Q", "", 1),
    Row("Helo501", {"-r", "raw"}, {}, {"HELO 501 5.5.4 Syntax"}, "! Error in argumentlocalhost\n\n",
        "H,Q", "", 1),
    Row("Helo199GivesUp", {"-r", "raw"}, {}, {"HELO 199 odd"}, "! Error, giving up.\n\n", "H,Q", "",
        1),
    Row("OnlyTheFirstThreeDigitsCount", {"-r", "raw"}, {},
        {"HELO 2500 fine", "MAIL 250x", "DATA 3540 go", "DATA-END 2500 queued"}, P, H, rawMessage,
        0),
    Row("AllRecipientsRefusedBailsOut", {"-t", "you@y.test, two@y.test", "-r", "raw"}, {},
        {"RCPT 550 5.1.1 Unknown"}, "! Something odd occurred, bailing out...\n",
        "H,M,R,RCPT TO: <two@y.test>,Q", "", 1),
    Row("OneAcceptedRecipientIsEnough", {"-t", "you@y.test, two@y.test", "-r", "raw"}, {},
        {"RCPT 250 Ok", "RCPT 550 5.1.1 Unknown"}, P, "H,M,R,RCPT TO: <two@y.test>,D,Q", rawMessage,
        0),
    Row("RefusedDataQuits", {"-r", "raw"}, {}, {"DATA 554 5.5.1 No valid recipients"},
        "! Error, remote server doesn't want your data.\n", H, "", 1),
    Row("DataReplyOtherThan354IsRefused", {"-r", "raw"}, {}, {"DATA 334 go on"},
        "! Error, remote server doesn't want your data.\n", H, "", 1),
    Row("ShortReplyToTheMessageIsNoAcceptance", {"-r", "raw"}, {}, {"DATA-END 25"},
        P + "! Data transmission error.\n", H, rawMessage, 1),
    // Servers that close, push replies early, or send odd replies.
    Row("ClosesWithoutGreeting", {"-r", "raw"}, {}, {"CONNECT#"}, closed, "", "", 1),
    Row("ClosesInTheMiddleOfAReplyLine", {"-r", "raw"}, {},
        {"HELO|250 scrip|ted.test\r\n", "HELO#1"}, closed, "H", "", 1),
    Row("ClosesAfterTheFinalDot", {"-r", "raw"}, {}, {"DATA-END#"}, P + closed, "H,M,R,D",
        rawMessage, 1),
    Row("LostQuitReplyAfterAcceptanceStillDelivered", {"-r", "raw"}, {}, {"QUIT#"}, P + closed, H,
        rawMessage, 0),
    Row("RefusalPushedWithTheGreetingStopsTheRun", {"-r", "raw"}, {},
        {"CONNECT|220 scripted.test ESMTP is ready\r\n554 5.3.2 early\r\n"},
        "! Error, giving up.\n\n", "H,Q", "", 1),
    Row("RepliesEndedByLineFeedAloneAndBareCodes", {"-v", "-r", "raw"}, {},
        {"CONNECT|220 ready\n", "HELO|250\n", "QUIT|221\r\n"},
        "* Connecting to server 127.0.0.1\n< 220 ready\n> HELO localhost\n< 250\n" + mail + rcpt +
            data + P + queued + "> QUIT\n< 221\r\n",
        H, rawMessage, 0),
    Row("EndlessContinuationReply", {"-r", "raw"}, {},
        {"MAIL|250-" + std::string(1100 * 1024, 'x')},
        "! Error: Reply from server too long - Message too long\n", "H,M", "", 1),
    Row("ConnectionRefused", {"-P", "1", "-r", "raw"}, {},
        "! Error: Unable to connect to server - Connection refused\n"),
    Row("PortTakesItsLow16BitsAndLeadingDecimalDigits", {"-P", "0{BIGPORT}abc", "-r", "raw"}, {},
        {}, P, H, rawMessage, 0),
    // Files that cannot be used.
    Row("ConfigMissing", {"-c", "nofile"}, {}, "Error reading config file.\n"),
    Row("ConfigIsADirectory", {"-c", "dir"}, {"dir/"}, "Error reading config file.\n"),
    Row("ConfigEmpty", {"-c", "cfg"}, {"cfg="}, "Invalid config file.\n"),
    Row("ConfigOfFiveLines", {"-c", "cfg"}, {"cfg=127.0.0.1:{PORT}\nh\nme@x.test\nyou@y.test\ns\n"},
        {}, portLine + "Invalid config file.\n", "", "", 1),
    Row("RawFileMissing", {"-r", "nofile"}, {}, "Error reading message file.\n"),
    Row("BodyFileIsADirectory", {"-M", "dir"}, {"dir/"}, "Error reading message file.\n"),
    Row("AttachmentIsADirectory", {"-m", "x", "-a", "dir"}, {"dir/"},
        "Error reading attachment file dir\n"),
    Row("WorkingDirectoryMissing", {"-m", "x", "-w", "nowhere"}, {},
        "Error writing message file.\n"),
    Row("WriteErrorWhileComposing", {"-m", "x", "-a", "/dev/zero"}, {},
        "Error writing message file.\n", limit + "8; exec timeout 20"),
    Row("WriteErrorInTheHeaders", {"-m", "x"}, {}, "Error writing message file.\n",
        limit + "0; exec"),
    // Preparation: checks, configuration file, message sources.
    Row("NoServerIsCheckedFirst", {"-S", "", "-f", "a\nb", "-t", ""}, {},
        "Aborting - no server defined.\n"),
    Row("ChecksComeAfterComposing", {"{BARE}", "-v", "-f", "me@x.test"}, {},
        "* Creating message file.\nAborting - no recipients defined.\n"),
    Row("NoSenderIsCheckedBeforeLineBreaks", {"{BARE}", "-t", "a\nb", "-r", "raw"}, {},
        "Aborting - no From address defined.\n"),
    Row("LineBreakInFrom", {"-f", "me@x.test>\r\nRCPT TO:<evil@x.test", "-s", "a\nb", "-r", "raw"},
        {}, "Aborting - line break in From address.\n"),
    Row("LineBreakInRecipient", {"-t", "you@y.test\r", "-h", "a\nb", "-r", "raw"}, {},
        "Aborting - line break in recipient address.\n"),
    Row("LineBreakInHelo", {"-h", "host\nMAIL FROM:<x@x.test>", "-A", "a\n:b", "-r", "raw"}, {},
        "Aborting - line break in HELO domain.\n"),
    Row("LineBreakInCredentials", {"-A", "user:pa\rss", "-s", "a\nb", "-m", "x"}, {},
        "Aborting - line break in credentials.\n"),
    Row("LineBreakInSubject", {"-s", "Hi\nBcc: evil@x.test", "-m", "x"}, {},
        "Aborting - line break in subject.\n"),
    Row("LineBreakInAttachmentName", {"-m", "x", "-a", "x\n.\nNOOP"}, {"x\n.\nNOOP=payload"},
        "Aborting - line break in attachment name.\n"),
    Row("SubjectIsNotCheckedForARawFile", {"-s", "Hi\nthere", "-r", "raw"}, {}, {}, P, H,
        rawMessage, 0),
    Row("ConfigOverridesTheCommandLine",
        {"-S", "elsewhere.invalid", "-h", "cli", "-s", "x", "-P", "1", "-c", "cfg"}, {cfg}, {},
        portLine + progress(14), cfgCommands,
        composed("b", "", "<t1@y.test>, <t2@y.test>", "<cfg@x.test>", "Cfg"), 0),
    Row("ConfigWithoutPortOrHeloBodyFirstAndStuffed",
        {"-m", "text", "-h", "cli", "-c", "/dev/fd/3"},
        {"cfg=127.0.0.1\n\nme@x.test\nyou@y.test\ns\n.\n..\nx.\n"}, {},
        "set serverPortInt to 25\n" + progress(17), H, composed("..\r\n...\r\nx.\r\ntext"), 0,
        "cat cfg | exec 3<&0"), // a pipe: copied aside, then read twice
    Row("ColonFirstInConfigNamesNoServer", {"-c", "cfg"},
        {"cfg=:{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"}, {},
        "set serverPortInt to 25\nAborting - no server defined.\n", "", "", 1),
    Row("RawFileBeatsTextAndBodyFile", {"-m", "text", "-M", "nofile", "-r", "raw"}, {}, {}, P, H,
        rawMessage, 0),
    Row("TextBeatsBodyFileWithDotsStuffed", {"-M", "nofile", "-s", "s", "-m", ".\n..\n.x\nx."}, {},
        {}, progress(17), H, composed("..\r\n...\r\n..x\r\nx."), 0),
    Row("BodyFileLinesKeepEveryByte", {"-s", "s", "-M", "body"},
        {"body=.a\r\n\0b\x80\xfe\xff\n"s + std::string(80, 'l') + "\n\xff"}, {}, progress(18), H,
        swap(composed("=2Ea\r\n=00b=80=FE=FF\r\n" + std::string(75, 'l') + "=\r\nlllll\r\n=FF"),
             "us-ascii\"\r\nContent-Transfer-Encoding: 7bit",
             "unknown-8bit\"\r\nContent-Transfer-Encoding: quoted-printable"),
        0),
    Row("RawLinesGoAsTheyStand", {"-r", "raw2"}, {"raw2=Subject: r\n\n.x\r\n..\nend\r\n."}, {},
        "0%\r20%\r40%\r60%\r80%\r100%\r\n", H, "Subject: r\r\n\r\n.x\r\n..\r\nend\r\n.\r\n", 0),
    Row("Attachments",
        {"-t", "a@y.test,b@y.test", "-s", "s", "-m", "Hello\n\nBye", "-a", "report.pdf", "-a",
         "./empty", "-a", "data.bin"},
        {"report.pdf=abc", "empty=", "data.bin=" + std::string(57, '\xff') + "a"}, {}, progress(50),
        "H,M,RCPT TO: <a@y.test>,RCPT TO: <b@y.test>,D,Q",
        composed("Hello\r\n\r\nBye",
                 attachmentPart("application/pdf", "report.pdf", "YWJj\r\n") +
                     attachmentPart("application/octet-stream", "empty", "") +
                     attachmentPart("application/x-binary", "data.bin",
                                    std::string(76, '/') + "\r\nYQ==\r\n"),
                 "<a@y.test>, <b@y.test>"),
        0),
    // The informational texts.
    Row("Help", {"{ALONE}", "--help"}, {}, help),
    Row("NoArguments", {"{ALONE}"}, {}, help),
    Row("Version", {"{ALONE}", "--version", "-v"}, {},
        "Brenvox - smtp mailer utility\nVersion 1.0.104 - [05.03.2006]\n"),
    Row("Config", {"{ALONE}", "--config"}, {},
        "Brenvox config file layout\n\n<server>[:<port>]\n<helo domain>\n<from address>\n"
        "<to address>[, <to addressN>]\n<subject>\nFollowing lines are used as message text.\n"
        "You can add as many as you like.\n"),
    // Addresses, credentials and mechanisms.
    Row("Ipv6Address", {"-S", "::1", "-r", "raw"}, {}, {}, P, H, rawMessage, 0),
    Row("Ipv6InBracketsInTheConfigFile", {"-S", "::1", "-c", "cfg"},
        {"cfg=[::1]:{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"}, {}, portLine + progress(14),
        "HELO h,M,R,D,Q", composed("b"), 0),
    Row("NextAddressAfterARefusedOne", {"-S", "two.test", "-r", "raw"},
        {"hosts=127.0.0.2 two.test\n127.0.0.1 two.test\n"}, {}, P, H, rawMessage, 0,
        "export LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=hosts; exec"),
    Row("AuthFileTheGroupCanReadIsRefused", {"--auth-file", "af", "-r", "raw"}, {"af=u:p\n"},
        "Aborting - auth file af can be read by group or others.\n", "chmod 640 af; exec"),
    Row("AuthPlainFromTheAuthFilesFirstLine", {"--auth-file", "af", "--auth", "plain", "-r", "raw"},
        {"af=user:pa:ss\r\nmore\n"}, {"AUTH 235 2.7.0 Ok"}, P,
        "E,AUTH PLAIN AHVzZXIAcGE6c3M=,M,R,D,Q", rawMessage, 0,
        "export BRENVOX_AUTH=env:pass; chmod 600 af; exec"),
    Row("Xoauth2ErrorChallengeGetsAnEmptyLine", {"--auth", "XOAUTH2", "-r", "raw"}, {},
        {"AUTH 334 eyJzdGF0dXMiOiI0MDEifQ==", "AUTH-NAME 535 5.7.8 No"},
        "! Authentication failure, quitting.\n",
        "E,AUTH XOAUTH2 dXNlcj11c2VyAWF1dGg9QmVhcmVyIHRvawEB,,Q", "", 1,
        "export BRENVOX_AUTH=user:tok; exec"),
    Row("UnknownMechanismIsRefused", {"-A", "u:p", "--auth", "cram", "-r", "raw"}, {},
        "Aborting - unknown authentication mechanism cram.\n"),
    // Every line leaves at once: a run killed while the server is silent has shown it.
    Row("OutputFlushedBeforeAStall", {"-v", "-r", "raw"}, {}, {"DATA~3000"},
        greeted + helo + mail + rcpt + "> DATA\n", "H,M,R,D", "", -1, "exec timeout -s KILL 1"),
    // Non-ASCII text, sender-based ids, every reply shown, the raw file's end of data.
    Row("CrLfInTextOptionIsOneLineBreak", {"-s", "s", "-m", "a\r\n.\r\nQUIT"}, {}, {}, progress(16),
        H, composed("a\r\n..\r\nQUIT"), 0),
    Row("MessageIdFromTheHeloName", {"-f", "odd", "-h", "helo.test", "-s", "s", "-m", "body"}, {},
        {}, progress(14), "HELO helo.test,MAIL FROM: <odd>,R,D,Q",
        swap(composed("body", "", "<you@y.test>", "<odd>"), "#.odd>", "#@helo.test>"), 0),
    Row("VerboseShowsTheRefusedSender", {"-v", "-r", "raw"}, {}, {"MAIL 553 5.7.1 Sender rejected"},
        greeted + helo +
            "> MAIL FROM: <me@x.test>\n< 553 5.7.1 Sender rejected\r\n"
            "! Error, sender address refused.\n" +
            quit,
        "H,M,Q", "", 1),
    Row("VerboseShowsTheRefusedAuth", {"-v", "-A", "user:pass", "-r", "raw"}, {},
        {"AUTH 530 Must issue a STARTTLS command first"},
        greeted + ehlo + "> AUTH LOGIN\n< 530 Must issue a STARTTLS command first\r\n" + mail +
            rcpt + data + P + queued + quit,
        "E,A,M,R,D,Q", rawMessage, 0),
    Row("VerboseShowsTheRefusedUserName", {"-v", "-A", "user:pass", "-r", "raw"}, {},
        {"AUTH-NAME 535 5.7.8 No"},
        greeted + ehlo + "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n> dXNlcg==\n< 535 5.7.8 No\r\n" +
            mail + rcpt + data + P + queued + quit,
        "E,A,U,M,R,D,Q", rawMessage, 0),
    Row("RawFileEndingInADottedLineGetsAnEnd", {"-r", "raw2"}, {"raw2=Subject: t\r\n\r\n.x\r\n"},
        {}, progress(3), H, "Subject: t\r\n\r\n.x\r\n.\r\n", 0),
    // A raw file from another program must not end the data early or smuggle commands.
    Row("RawDotLineBeforeTheEndStaysText", {"-r", "raw2"},
        {"raw2=Subject: t\n\npart one\n.\nRSET\nMAIL FROM:<x@evil>\n"}, {}, progress(6), H,
        "Subject: t\r\n\r\npart one\r\n..\r\nRSET\r\nMAIL FROM:<x@evil>\r\n.\r\n", 0),
    Row("RawBareCrEndsAWireLine", {"-r", "raw2"}, {"raw2=Subject: t\n\na\r.\rb\r.\n"}, {},
        progress(3), H, "Subject: t\r\n\r\na\r\n..\r\nb\r\n..\r\n.\r\n", 0),
    Row("EmptyRawFileIsRefused", {"-r", "raw2"}, {"raw2="}, "Error reading message file.\n"),
    Row("Utf8TextAndSubject", {"-s", "Grüße", "-m", "Grüße"}, {}, {}, progress(14), H,
        swap(composed("Gr=C3=BC=C3=9Fe"),
             "s\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=\"us-ascii\"\r\n"
             "Content-Transfer-Encoding: 7bit",
             "=?UTF-8?B?R3LDvMOfZQ==?=\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\t"
             "charset=\"utf-8\"\r\nContent-Transfer-Encoding: quoted-printable"),
        0),
    Row("Utf8AttachmentName", {"-s", "s", "-m", "b", "-a", "Grüße.txt"}, {"Grüße.txt=x"}, {},
        progress(30), H,
        swap(swap(composed("b", attachmentPart("text/plain", "Grüße.txt", "eA==\r\n")),
                  "\tname=\"Grüße.txt\"", "\tname*=UTF-8''Gr%C3%BC%C3%9Fe.txt"),
             "\tfilename=\"Grüße.txt\"", "\tfilename*=UTF-8''Gr%C3%BC%C3%9Fe.txt"),
        0),
    // Composing: endless bodies, server lines the configuration file cannot mean.
    Row("EndlessBodyFileFillsTheDisk", {"-M", "/dev/zero"}, {}, "Error writing message file.\n",
        limit + "8; exec timeout 20"),
    Row("EndlessConfigFileFillsTheDisk", {"-c", "/dev/zero"}, {}, "Error writing message file.\n",
        limit + "8; exec timeout 20"),
    Row("ConfigServerJunkAfterBrackets", {"-c", "cfg"},
        {"cfg=[::1]]:{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"}, "Error reading config file.\n"),
    Row("ConfigServerBracketNotClosed", {"-c", "cfg"},
        {"cfg=[::1\nh\nme@x.test\nyou@y.test\ns\nb\n"}, "Error reading config file.\n"),
    Row("ConfigServerEmptyBrackets", {"-c", "cfg"},
        {"cfg=[]:{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"}, "Error reading config file.\n"),
    // Runs ended from outside, hostile credentials, the message file's name.
    Row("NoProgressAndAValueThatLooksLikeAnOption", {"-s", "-v", "--no-progress", "-m", "b"}, {},
        {}, "* Creating message file.\n" + greeted + helo + mail + rcpt + data + queued + quit, H,
        composed("b", "", "<you@y.test>", "<me@x.test>", "-v"), 0),
    Row("FileSizeLimitWithoutTrap", {"-m", "x", "-a", "big"},
        {"big=" + std::string(64 * 1024, 'b')}, "Error writing message file.\n",
        "ulimit -f 8; exec"),
    Row("TerminatedWhileTheServerIsSilent", {"-r", "raw"}, {}, {"CONNECT~3000"},
        "Aborting - interrupted by a signal.\n", "", "", 1, "(sleep 0.5; kill -TERM $$) & exec"),
    Row("InterruptedWhileComposing", {"-m", "x", "-a", "fifo"}, {},
        "Aborting - interrupted by a signal.\n",
        "mkfifo fifo; (sleep 0.5; kill -INT $$; rm fifo) & exec"),
    Row("NulInTheAuthFile", {"--auth-file", "af", "--auth", "plain", "-r", "raw"},
        {"af=us\0er:pass\n"s}, "Aborting - NUL byte in credentials.\n", "chmod 600 af; exec"),
    Row("AuthFileFirstLineEmpty", {"--auth-file", "af", "-r", "raw"}, {"af=\nu:p\n"},
        "Error reading auth file af\n", "chmod 600 af; exec"),
    Row("PlainLoginAnsweredWith250IsRefused", {"-A", "u:p", "--auth", "plain", "-r", "raw"}, {},
        {"AUTH 250 2.0.0 Hm"}, "! Authentication failure, quitting.\n", "E,AUTH PLAIN AHUAcA==,Q",
        "", 1),
    Row("HangupIgnoredAtTheStartStaysIgnored", {"-r", "raw"}, {}, {"DATA~1500"}, P, H, rawMessage,
        0, "trap '' HUP; (sleep 0.5; kill -HUP $$) & exec"),
    Row("OutOfMemoryWhileComposing", {"-m", "x", "-a", "big"}, {"big=" + std::string(9999, 'b')},
        "Aborting - out of memory.\n", tight),
    Row("TakenNameIsNeverReused", {"-m", "x"}, {"0.msg=keep"}, "Error writing message file.\n",
        frozen + "exec"),
    Row("SwappedNameIsNotRemoved", {"-s", "s", "-m", "x", "-a", "fifo"}, {}, {},
        "Error deleting message file 0.msg\n" + progress(30) + "kept\n", H,
        composed("x", attachmentPart("application/octet-stream", "fifo", "Cg==\r\n")), 0,
        frozen + "mkfifo fifo; (sleep 0.5; mv 0.msg m; echo >0.msg; echo >fifo; sleep 0.5; "
                 "test -e 0.msg && echo kept; rm fifo m 0.msg) & exec"),
};

std::string mask(const std::string& text) {
    static const std::regex date("\r\nDate: [^\r]*"), id("^Message-Id: <[0-9]+"),
        b("[0-9]+(boundary)");
    return std::regex_replace(
        std::regex_replace(std::regex_replace(text, date, "\r\nDate: #"), id, "Message-Id: <#"), b,
        "#$1");
}

std::string fill(std::string text, const std::string& port) {
    for (std::size_t at; (at = text.find("PORT}")) != std::string::npos;) {
        const bool big = text[at - 1] == 'G'; // {BIGPORT}: the port plus 65536
        text.replace(big ? at - 4 : at - 1, big ? 9 : 6,
                     big ? std::to_string(std::stoi(port) + 65536) : port);
    }
    return text;
}

// A single letter stands for a line of the HELO or AUTH path.
std::string expand(const std::string& token) {
    static const Strings lines = {"AUTH LOGIN",
                                  "DATA",
                                  "EHLO localhost",
                                  "HELO localhost",
                                  "MAIL FROM: <me@x.test>",
                                  "QUIT",
                                  "RCPT TO: <you@y.test>",
                                  "dXNlcg==",
                                  "cGFzcw=="};
    return token.size() == 1 ? lines.at(std::string("ADEHMQRUW").find(token)) : token;
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class Session : public testing::TestWithParam<Row> {};

TEST_P(Session, Run) {
    const Row& row = GetParam();
    if (BRENVOX_SANITIZED && row.prelude == tight) {
        GTEST_SKIP() << "the sanitizers reserve terabytes of address space";
    }
    TempDir dir;
    ScriptedServer server(row.script);
    const bool ipv6 = std::find(row.args.begin(), row.args.end(), "::1") != row.args.end();
    const std::string port = std::to_string(server.start(ipv6));
    Strings inputs = {"raw"};
    dir.write("raw", rawMessage);
    for (const std::string& file : row.files) {
        const std::size_t eq = file.find('=');
        inputs.push_back(file.substr(0, std::min(eq, file.size() - 1)));
        eq == std::string::npos ? mkdir(dir.file(inputs.back()).c_str(), 0755)
                                : (dir.write(inputs.back(), fill(file.substr(eq + 1), port)), 0);
    }
    std::sort(inputs.begin(), inputs.end());
    Strings argv = {BRENVOX_BINARY, "-S",        "127.0.0.1", "-P",        port,
                    "-f",           "me@x.test", "-t",        "you@y.test"};
    const bool bare = !row.args.empty() && row.args[0].front() == '{'; // {BARE} or {ALONE}
    argv.resize(!row.args.empty() && row.args[0] == "{ALONE}" ? 1 : bare ? 5 : 9);
    for (const std::string& arg : Strings(row.args.begin() + bare, row.args.end())) {
        argv.push_back(fill(arg, port));
    }
    const RunResult run = runProgram(argv, dir.path(), row.prelude);

    EXPECT_EQ(run.out, fill(row.out, port));
    EXPECT_EQ(run.status, row.status);
    Strings commands;
    for (std::size_t at = 0, comma; at < row.commands.size(); at = comma + 1) {
        comma = std::min(row.commands.find(',', at), row.commands.size());
        commands.push_back(expand(row.commands.substr(at, comma - at)));
    }
    EXPECT_EQ(server.commands(), commands);
    EXPECT_EQ(mask(server.data()), row.data);
    EXPECT_EQ(dir.entries(), inputs);
}

std::string caseName(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, Session, testing::ValuesIn(rows), caseName);

} // namespace
