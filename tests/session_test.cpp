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

// The fields of a row, each named where it is given, in any order; Args, File, Dir and Script
// add up, and a row given first is taken whole (rawDelivery, tlsRefused). Text in Args, Out and
// File may name the server's port as {PORT} ({BIGPORT}: the port plus 65536), the throw-away
// authority's certificate file as {CA} and the working directory as {DIR}.
template <int> struct List : Strings { using Strings::Strings; };
using Args = List<0>;     // after "-S 127.0.0.1 -P {PORT} -f me@x.test -t you@y.test"; later win
using OnlyArgs = List<1>; // the whole command line
using Commands = List<2>; // the lines the server received, data excluded
using Left = List<3>;     // what the run leaves in the working directory besides its inputs
template <typename T, int> struct Field { T value; };
struct File { // besides "raw" (rawMessage)
    std::string name, bytes;
};
using Dir = Field<std::string, 0>;
using Out = Field<std::string, 1>;     // standard output and standard error
using Fails = Field<std::string, 2>;   // the same, of a run that ends with status 1
using Data = Field<std::string, 3>;    // date, Message-Id digits and boundary digits masked
using Status = Field<int, 4>;          // -1: killed by a signal
using Prelude = Field<std::string, 5>; // shell text ending in the word that starts the program

struct Row {
    const char* name = "";
    Strings args = {"-S", "127.0.0.1", "-P", "{PORT}", "-f", "me@x.test", "-t", "you@y.test"};
    std::vector<File> files;
    Strings dirs, left;
    Script script;
    std::string out, data;
    Commands commands;
    int status = 0;
    std::string prelude = "exec";
    template <typename... Fields> Row(const char* n, const Fields&... fields) {
        (take(fields), ...);
        name = n; // after a row taken as a whole
    }
    void take(const Args& more) { args.insert(args.end(), more.begin(), more.end()); }
    void take(const OnlyArgs& only) { args = only; }
    void take(const Left& kept) { left.insert(left.end(), kept.begin(), kept.end()); }
    void take(const File& file) { files.push_back(file); }
    void take(const Dir& dir) { dirs.push_back(dir.value); }
    void take(const Script& more) { script.insert(script.end(), more.begin(), more.end()); }
    void take(const Out& shown) { out = shown.value; }
    void take(const Fails& shown) { out = shown.value, status = 1; }
    void take(const Commands& sent) { commands = sent; }
    void take(const Data& sent) { data = sent.value; }
    void take(const Status& ended) { status = ended.value; }
    void take(const Prelude& shell) { prelude = shell.value; }
    void take(const Row& like) { *this = like; }
};

const std::string rawMessage = "Subject: t\r\n\r\nbody\r\n.\r\n";
const std::string P = "0%\r33%\r66%\r100%\r\n"; // progress of rawMessage
const std::string mailLine = "MAIL FROM: <me@x.test>", rcptLine = "RCPT TO: <you@y.test>";
const Commands heloSession = {"HELO localhost", mailLine, rcptLine, "DATA", "QUIT"};
// The raw file delivered over HELO: what a row that changes a little of that expects besides.
const Row rawDelivery("", Args{"-r", "raw"}, Out{P}, heloSession, Data{rawMessage});
const std::string greeted = "* Connecting to server 127.0.0.1\n< 220 scripted.test ESMTP ready\r\n";
const std::string helo = "> HELO localhost\n< 250 scripted.test\r\n";
const std::string ehlo = "> EHLO localhost\n< 250-scripted.test\r\n< 250 AUTH LOGIN\r\n";
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
// STARTTLS offered (in any case), then 220 and the good certificate unless a row says otherwise.
const Args starttls = {"-A", "u:p", "--starttls", "--cafile", "{CA}"};
const Script offered = {"EHLO 250-scripted.test\r\n250-starttls\r\n250 AUTH LOGIN"};
// A handshake that fails ends the run at once.
const Row tlsRefused("", starttls, offered, Commands{"EHLO localhost", "STARTTLS"}, Fails{});
const std::string unverified = "! Error: TLS handshake failed: certificate verify failed: ";
const std::string injected =
    "! Error: Unexpected data from server after STARTTLS - Protocol error\n";

// EHLO offers PIPELINING and SIZE; AUTH PLAIN in one step.
const Row pipelined("", Args{"-A", "u:p", "--auth", "plain", "-r", "raw"},
                    Script{"EHLO 250-scripted.test\r\n250-SIZE 1000\r\n250-PIPELINING\r\n"
                           "250 AUTH LOGIN",
                           "AUTH 235 2.7.0 Ok"});
// What it shows and receives up to the first recipient, in one write from MAIL on.
const std::string pipelinedStart =
    greeted + "> EHLO localhost\n< 250-scripted.test\r\n< 250-SIZE 1000\r\n< 250-PIPELINING\r\n"
              "< 250 AUTH LOGIN\r\n> AUTH PLAIN AHUAcA==\n< 235 2.7.0 Ok\r\n"
              "> MAIL FROM: <me@x.test> SIZE=27\n> RCPT TO: <you@y.test>\n";
Commands pipelinedAfter(const Strings& more) {
    Commands sent = {"EHLO localhost", "AUTH PLAIN AHUAcA==", mailLine + " SIZE=27",
                     "+" + rcptLine};
    sent.insert(sent.end(), more.begin(), more.end());
    return sent;
}

// 720 recipients: 16 KiB hold MAIL and 710 RCPT, the next group is written once their replies
// are in, so its first line comes in a receive of its own.
const std::pair<std::string, Commands> inGroups = [] {
    std::string to = "you@y.test";
    for (int i = 1; i < 720; ++i) {
        to += ", you@y.test";
    }
    Strings rest(709, "+" + rcptLine);
    rest.push_back(rcptLine);
    rest.insert(rest.end(), 9, "+" + rcptLine);
    rest.insert(rest.end(), {"+DATA", "+QUIT"});
    return std::make_pair(to, pipelinedAfter(rest));
}();

// The system mailer: an account on the scripted server, a message on standard input.
const File account = {"cfg", "account default\nhost 127.0.0.1\nport {PORT}\nfrom me@x.test\n"
                             "helo h.test\ndomain x.test\nqueue {DIR}/q\n"};
const OnlyArgs sendmailT = {"--sendmail", "-C", "cfg", "-t", "-oi"};
std::string piped(const std::string& message) {
    return frozen + "printf '" + message + "' | exec";
}
const std::string note = "To: a@y.test\nBcc: b@y.test,\n c@y.test\nSubject: s\n\nbody\n.\n";
// The queue: the clock stands still, so the first entry is always id0.
const std::string id0 = "20261207000000.000000", brenvox = BRENVOX_BINARY;
std::string queuedAs(const std::string& id) {
    return "brenvox: 127.0.0.1: Unable to connect to server - Connection refused (queued as " + id +
           ")\n";
}
// n messages to a@y.test sent while cfg names a closed port, then cfg as it was plus more.
std::string down(int n, const std::string& more = "") {
    std::string text =
        frozen + "cp cfg up; echo '" + more + "' >>up; sed -i 's/^port .*/port 1/' cfg; ";
    while (n-- > 0) {
        text += "printf 'Subject: s\\n\\nb\\n' | " + brenvox + " --sendmail -C cfg a@y.test 2>&1; ";
    }
    return text + "mv up cfg; FAKETIME='2026-12-07 00:01:00' exec";
}
const std::string queuedNote = "Subject: s\r\nFrom: me@x.test\r\nDate: #\r\nMessage-Id: "
                               "<202612070000000.me@x.test>\r\n\r\nb\r\n.\r\n";
const Commands noteToA = {"MAIL FROM:<me@x.test>", "RCPT TO:<a@y.test>", "DATA"};
const OnlyArgs flush = {"--flush", "--settings", "cfg"};
const Commands mailerSession = {"EHLO h.test",
                                "MAIL FROM:<me@x.test>",
                                "RCPT TO:<a@y.test>",
                                "RCPT TO:<b@y.test>",
                                "RCPT TO:<c@y.test>",
                                "DATA",
                                "QUIT"};

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

Commands authSession(const std::string& password) {
    return {"EHLO localhost", "AUTH LOGIN", "dXNlcg==", password,
            mailLine,         rcptLine,     "DATA",     "QUIT"};
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

// A multipart layer of the composed body ("rel", "alt") up to its first part.
std::string layer(const std::string& type, const std::string& prefix) {
    return "Content-Type: multipart/" + type + ";\r\n\tBoundary=\"" + prefix +
           "#boundary__giblets_and_gravy\"\r\n\r\n--" + prefix + "#boundary__giblets_and_gravy\r\n";
}

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
    Row("HeloPathVerbose", Args{"-v", "-r", "raw", "-w", "nowhere"},
        Out{greeted + helo + mail + rcpt + data + P + queued + quit}, heloSession,
        Data{rawMessage}),
    Row("QuietComposedTextInCurrentDirectory", Args{"-s", "s", "-m", "body", "-w", ""},
        Out{progress(14)}, heloSession, Data{composed("body")}),
    Row("AuthLoginVerbose", Args{"-v", "--auth-file", "nofile", "-A", "user:pa:ss", "-r", "raw"},
        Out{greeted + ehlo +
            "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n> dXNlcg==\n< 334 UGFzc3dvcmQ6\r\n"
            "> cGE6c3M=\n< 235 2.7.0 Authentication successful\r\n" +
            mail + rcpt + data + P + queued + quit},
        authSession("cGE6c3M="), Data{rawMessage}),
    Row("CredentialsWithoutColonAreAllUserName", Args{"-A", "user", "-r", "raw"}, Out{P},
        authSession(""), Data{rawMessage}),
    Row("AuthAdvertisedOnlyInTheFirstLineFallsBackToHelo", Args{"-A", "user:pass", "-r", "raw"},
        Script{"EHLO 250-AUTH LOGIN PLAIN\r\n250 OK"}, Out{P},
        Commands{"EHLO localhost", "HELO localhost", mailLine, rcptLine, "DATA", "QUIT"},
        Data{rawMessage}),
    Row("RefusedPasswordQuits", Args{"-A", "user:pass", "-r", "raw"},
        Script{"AUTH-PASS 454 4.7.0 Later"}, Fails{"! Authentication failure, quitting.\n"},
        Commands{"EHLO localhost", "AUTH LOGIN", "dXNlcg==", "cGFzcw==", "QUIT"}),
    Row("Ehlo501NamesTheHeloDomain", Args{"-A", "u:p", "-h", "bad host", "-r", "raw"},
        Script{"EHLO 501 5.5.4 Invalid"}, Fails{"! Error in argument bad host\n\n"},
        Commands{"EHLO bad host", "QUIT"}),
    Row("Ehlo502FallsBackToHelo", Args{"-A", "u:p", "-r", "raw"}, Script{"EHLO 502 5.5.1 No ESMTP"},
        Out{"! Error, ESMTP not supported, attempting HELO...\n" + P},
        Commands{"EHLO localhost", "HELO localhost", mailLine, rcptLine, "DATA", "QUIT"},
        Data{rawMessage}),
    Row("EhloOtherRefusalGivesUp", Args{"-A", "u:p", "-r", "raw"}, Script{"EHLO 554 5.7.1 Go away"},
        Fails{"! Error, giving up.\n"}, Commands{"EHLO localhost", "QUIT"}),
    Row("Helo501", Args{"-r", "raw"}, Script{"HELO 501 5.5.4 Syntax"},
        Fails{"! Error in argumentlocalhost\n\n"}, Commands{"HELO localhost", "QUIT"}),
    Row("Helo199GivesUp", Args{"-r", "raw"}, Script{"HELO 199 odd"},
        Fails{"! Error, giving up.\n\n"}, Commands{"HELO localhost", "QUIT"}),
    Row("OnlyTheFirstThreeDigitsCount", rawDelivery,
        Script{"HELO 2500 fine", "MAIL 250x", "DATA 3540 go", "DATA-END 2500 queued"}),
    Row("AllRecipientsRefusedBailsOut", Args{"-t", "you@y.test, two@y.test", "-r", "raw"},
        Script{"RCPT 550 5.1.1 Unknown"}, Fails{"! Something odd occurred, bailing out...\n"},
        Commands{"HELO localhost", mailLine, rcptLine, "RCPT TO: <two@y.test>", "QUIT"}),
    Row("OneAcceptedRecipientIsEnough", Args{"-t", "you@y.test, two@y.test", "-r", "raw"},
        Script{"RCPT 250 Ok", "RCPT 550 5.1.1 Unknown"}, Out{P},
        Commands{"HELO localhost", mailLine, rcptLine, "RCPT TO: <two@y.test>", "DATA", "QUIT"},
        Data{rawMessage}),
    Row("RefusedDataQuits", Args{"-r", "raw"}, Script{"DATA 554 5.5.1 No valid recipients"},
        Fails{"! Error, remote server doesn't want your data.\n"}, heloSession),
    Row("DataReplyOtherThan354IsRefused", Args{"-r", "raw"}, Script{"DATA 334 go on"},
        Fails{"! Error, remote server doesn't want your data.\n"}, heloSession),
    Row("ShortReplyToTheMessageIsNoAcceptance", Args{"-r", "raw"}, Script{"DATA-END 25"},
        Fails{P + "! Data transmission error.\n"}, heloSession, Data{rawMessage}),
    // Servers that close, push replies early, or send odd replies.
    Row("ClosesWithoutGreeting", Args{"-r", "raw"}, Script{"CONNECT close-after 0"}, Fails{closed}),
    Row("ClosesInTheMiddleOfAReplyLine", Args{"-r", "raw"},
        Script{"HELO pieces 250 scrip|ted.test\r\n", "HELO close-after 1"}, Fails{closed},
        Commands{"HELO localhost"}),
    Row("ClosesAfterTheFinalDot", Args{"-r", "raw"}, Script{"DATA-END close-after 0"},
        Fails{P + closed}, Commands{"HELO localhost", mailLine, rcptLine, "DATA"},
        Data{rawMessage}),
    Row("LostQuitReplyAfterAcceptanceStillDelivered", Args{"-r", "raw"},
        Script{"QUIT close-after 0"}, Out{P + closed}, heloSession, Data{rawMessage}),
    Row("RefusalPushedWithTheGreetingStopsTheRun", Args{"-r", "raw"},
        Script{"CONNECT pieces 220 scripted.test ESMTP is ready\r\n554 5.3.2 early\r\n"},
        Fails{"! Error, giving up.\n\n"}, Commands{"HELO localhost", "QUIT"}),
    Row("RepliesEndedByLineFeedAloneAndBareCodes", Args{"-v", "-r", "raw"},
        Script{"CONNECT pieces 220 ready\n", "HELO pieces 250\n", "QUIT pieces 221\r\n"},
        Out{"* Connecting to server 127.0.0.1\n< 220 ready\n> HELO localhost\n< 250\n" + mail +
            rcpt + data + P + queued + "> QUIT\n< 221\r\n"},
        heloSession, Data{rawMessage}),
    Row("EndlessContinuationReply", Args{"-r", "raw"},
        Script{"MAIL pieces 250-" + std::string(1100 * 1024, 'x')},
        Fails{"! Error: Reply from server too long - Message too long\n"},
        Commands{"HELO localhost", mailLine}),
    Row("ConnectionRefused", Args{"-P", "1", "-r", "raw"},
        Fails{"! Error: Unable to connect to server - Connection refused\n"}),
    Row("PortTakesItsLow16BitsAndLeadingDecimalDigits", rawDelivery, Args{"-P", "0{BIGPORT}abc"}),
    // Files that cannot be used.
    Row("ConfigMissing", Args{"-c", "nofile"}, Fails{"Error reading config file.\n"}),
    Row("ConfigIsADirectory", Args{"-c", "dir"}, Dir{"dir"}, Fails{"Error reading config file.\n"}),
    Row("ConfigEmpty", Args{"-c", "cfg"}, File{"cfg", ""}, Fails{"Invalid config file.\n"}),
    Row("ConfigOfFiveLines", Args{"-c", "cfg"},
        File{"cfg", "127.0.0.1:{PORT}\nh\nme@x.test\nyou@y.test\ns\n"},
        Fails{portLine + "Invalid config file.\n"}),
    Row("RawFileMissing", Args{"-r", "nofile"}, Fails{"Error reading message file.\n"}),
    Row("BodyFileIsADirectory", Args{"-M", "dir"}, Dir{"dir"},
        Fails{"Error reading message file.\n"}),
    Row("AttachmentIsADirectory", Args{"-m", "x", "-a", "dir"}, Dir{"dir"},
        Fails{"Error reading attachment file dir\n"}),
    Row("WorkingDirectoryMissing", Args{"-m", "x", "-w", "nowhere"},
        Fails{"Error writing message file.\n"}),
    Row("WriteErrorWhileComposing", Args{"-m", "x", "-a", "/dev/zero"},
        Fails{"Error writing message file.\n"}, Prelude{limit + "8; exec timeout 20"}),
    Row("WriteErrorInTheHeaders", Args{"-m", "x"}, Fails{"Error writing message file.\n"},
        Prelude{limit + "0; exec"}),
    // Preparation: checks, configuration file, message sources.
    Row("NoServerIsCheckedFirst", Args{"-S", "", "-f", "a\nb", "-t", ""},
        Fails{"Aborting - no server defined.\n"}),
    Row("ChecksComeAfterComposing",
        OnlyArgs{"-S", "127.0.0.1", "-P", "{PORT}", "-v", "-f", "me@x.test"},
        Fails{"* Creating message file.\nAborting - no recipients defined.\n"}),
    Row("NoSenderIsCheckedBeforeLineBreaks",
        OnlyArgs{"-S", "127.0.0.1", "-P", "{PORT}", "-t", "a\nb", "-r", "raw"},
        Fails{"Aborting - no From address defined.\n"}),
    Row("LineBreakInFrom",
        Args{"-f", "me@x.test>\r\nRCPT TO:<evil@x.test", "-s", "a\nb", "-r", "raw"},
        Fails{"Aborting - line break in From address.\n"}),
    Row("LineBreakInRecipient", Args{"-t", "you@y.test\r", "-h", "a\nb", "-r", "raw"},
        Fails{"Aborting - line break in recipient address.\n"}),
    Row("LineBreakInHelo", Args{"-h", "host\nMAIL FROM:<x@x.test>", "-A", "a\n:b", "-r", "raw"},
        Fails{"Aborting - line break in HELO domain.\n"}),
    Row("LineBreakInCredentials", Args{"-A", "user:pa\rss", "-s", "a\nb", "-m", "x"},
        Fails{"Aborting - line break in credentials.\n"}),
    Row("LineBreakInSubject", Args{"-s", "Hi\nBcc: evil@x.test", "-m", "x"},
        Fails{"Aborting - line break in subject.\n"}),
    Row("LineBreakInAttachmentName", Args{"-m", "x", "-a", "x\n.\nNOOP"},
        File{"x\n.\nNOOP", "payload"}, Fails{"Aborting - line break in attachment name.\n"}),
    Row("SubjectIsNotCheckedForARawFile", rawDelivery, Args{"-s", "Hi\nthere"}),
    Row("ConfigOverridesTheCommandLine",
        Args{"-S", "elsewhere.invalid", "-h", "cli", "-s", "x", "-P", "1", "-c", "cfg"},
        File{"cfg", "127.0.0.1:{PORT}\ncfg.helo\ncfg@x.test\nt1@y.test, t2@y.test\nCfg\nb\n"},
        Out{portLine + progress(14)},
        Commands{"HELO cfg.helo", "MAIL FROM: <cfg@x.test>", "RCPT TO: <t1@y.test>",
                 "RCPT TO: <t2@y.test>", "DATA", "QUIT"},
        Data{composed("b", "", "<t1@y.test>, <t2@y.test>", "<cfg@x.test>", "Cfg")}),
    Row("ConfigWithoutPortOrHeloBodyFirstAndStuffed",
        Args{"-m", "text", "-h", "cli", "-c", "/dev/fd/3"},
        File{"cfg", "127.0.0.1\n\nme@x.test\nyou@y.test\ns\n.\n..\nx.\n"},
        Out{"set serverPortInt to 25\n" + progress(17)}, heloSession,
        Data{composed("..\r\n...\r\nx.\r\ntext")},
        Prelude{"cat cfg | exec 3<&0"}), // a pipe: copied aside, then read twice
    Row("ColonFirstInConfigNamesNoServer", Args{"-c", "cfg"},
        File{"cfg", ":{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"},
        Fails{"set serverPortInt to 25\nAborting - no server defined.\n"}),
    Row("RawFileBeatsTextAndBodyFile", Args{"-m", "text", "-M", "nofile", "-r", "raw"}, Out{P},
        heloSession, Data{rawMessage}),
    Row("TextBeatsBodyFileWithDotsStuffed", Args{"-M", "nofile", "-s", "s", "-m", ".\n..\n.x\nx."},
        Out{progress(17)}, heloSession, Data{composed("..\r\n...\r\n..x\r\nx.")}),
    Row("BodyFileLinesKeepEveryByte", Args{"-s", "s", "-M", "body"},
        File{"body", ".a\r\n\0b\x80\xfe\xff\n"s + std::string(80, 'l') + "\n\xff"},
        Out{progress(18)}, heloSession,
        Data{
            swap(composed("=2Ea\r\n=00b=80=FE=FF\r\n" + std::string(75, 'l') + "=\r\nlllll\r\n=FF"),
                 "us-ascii\"\r\nContent-Transfer-Encoding: 7bit",
                 "unknown-8bit\"\r\nContent-Transfer-Encoding: quoted-printable")}),
    Row("RawLinesGoAsTheyStand", Args{"-r", "raw2"},
        File{"raw2", "Subject: r\n\n.x\r\n..\nend\r\n."}, Out{"0%\r20%\r40%\r60%\r80%\r100%\r\n"},
        heloSession, Data{"Subject: r\r\n\r\n.x\r\n..\r\nend\r\n.\r\n"}),
    Row("Attachments",
        Args{"-t", "a@y.test,b@y.test", "-s", "s", "-m", "Hello\n\nBye", "-a", "report.pdf", "-a",
             "./empty", "-a", "data.bin"},
        File{"report.pdf", "abc"}, File{"empty", ""},
        File{"data.bin", std::string(57, '\xff') + "a"}, Out{progress(50)},
        Commands{"HELO localhost", mailLine, "RCPT TO: <a@y.test>", "RCPT TO: <b@y.test>", "DATA",
                 "QUIT"},
        Data{composed("Hello\r\n\r\nBye",
                      attachmentPart("application/pdf", "report.pdf", "YWJj\r\n") +
                          attachmentPart("application/octet-stream", "empty", "") +
                          attachmentPart("application/x-binary", "data.bin",
                                         std::string(76, '/') + "\r\nYQ==\r\n"),
                      "<a@y.test>, <b@y.test>")}),
    // The informational texts.
    Row("Help", OnlyArgs{"--help"}, Fails{help}),
    Row("NoArguments", OnlyArgs{}, Fails{help}),
    Row("Version", OnlyArgs{"--version", "-v"},
        Fails{"Brenvox - smtp mailer utility\nVersion 1.0.104 - [05.03.2006]\n"}),
    Row("Config", OnlyArgs{"--config"},
        Fails{
            "Brenvox config file layout\n\n<server>[:<port>]\n<helo domain>\n<from address>\n"
            "<to address>[, <to addressN>]\n<subject>\nFollowing lines are used as message text.\n"
            "You can add as many as you like.\n"}),
    // Addresses, credentials and mechanisms.
    Row("Ipv6Address", rawDelivery, Args{"-S", "::1"}),
    Row("Ipv6InBracketsInTheConfigFile", Args{"-S", "::1", "-c", "cfg"},
        File{"cfg", "[::1]:{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"}, Out{portLine + progress(14)},
        Commands{"HELO h", mailLine, rcptLine, "DATA", "QUIT"}, Data{composed("b")}),
    Row("NextAddressAfterARefusedOne", rawDelivery, Args{"-S", "two.test"},
        File{"hosts", "127.0.0.2 two.test\n127.0.0.1 two.test\n"},
        Prelude{"export LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS=hosts; exec"}),
    Row("AuthFileTheGroupCanReadIsRefused", Args{"--auth-file", "af", "-r", "raw"},
        File{"af", "u:p\n"}, Fails{"Aborting - auth file af can be read by group or others.\n"},
        Prelude{"chmod 640 af; exec"}),
    Row("AuthPlainFromTheAuthFilesFirstLine",
        Args{"--auth-file", "af", "--auth", "plain", "-r", "raw"},
        File{"af", "user:pa:ss\r\nmore\n"}, Script{"AUTH 235 2.7.0 Ok"}, Out{P},
        Commands{"EHLO localhost", "AUTH PLAIN AHVzZXIAcGE6c3M=", mailLine, rcptLine, "DATA",
                 "QUIT"},
        Data{rawMessage}, Prelude{"export BRENVOX_AUTH=env:pass; chmod 600 af; exec"}),
    Row("Xoauth2ErrorChallengeGetsAnEmptyLine", Args{"--auth", "XOAUTH2", "-r", "raw"},
        Script{"AUTH 334 eyJzdGF0dXMiOiI0MDEifQ==", "AUTH-NAME 535 5.7.8 No"},
        Fails{"! Authentication failure, quitting.\n"},
        Commands{"EHLO localhost", "AUTH XOAUTH2 dXNlcj11c2VyAWF1dGg9QmVhcmVyIHRvawEB", "", "QUIT"},
        Prelude{"export BRENVOX_AUTH=user:tok; exec"}),
    Row("UnknownMechanismIsRefused", Args{"-A", "u:p", "--auth", "cram", "-r", "raw"},
        Fails{"Aborting - unknown authentication mechanism cram.\n"}),
    // Every line leaves at once: a run killed while the server is silent has shown it.
    Row("OutputFlushedBeforeAStall", Args{"-v", "-r", "raw"}, Script{"DATA stall 3000"},
        Out{greeted + helo + mail + rcpt + "> DATA\n"},
        Commands{"HELO localhost", mailLine, rcptLine, "DATA"}, Status{-1},
        Prelude{"exec timeout -s KILL 1"}),
    // Non-ASCII text, sender-based ids, every reply shown, the raw file's end of data.
    Row("CrLfInTextOptionIsOneLineBreakABareCrAWireOne", Args{"-s", "s", "-m", "a\r\n.\r\nQU\rIT"},
        Out{progress(16)}, heloSession, Data{composed("a\r\n..\r\nQU\r\nIT")}),
    Row("MessageIdFromTheHeloName", Args{"-f", "odd", "-h", "helo.test", "-s", "s", "-m", "body"},
        Out{progress(14)}, Commands{"HELO helo.test", "MAIL FROM: <odd>", rcptLine, "DATA", "QUIT"},
        Data{swap(composed("body", "", "<you@y.test>", "<odd>"), "#.odd>", "#@helo.test>")}),
    Row("VerboseShowsTheRefusedSender", Args{"-v", "-r", "raw"},
        Script{"MAIL 553 5.7.1 Sender rejected"},
        Fails{greeted + helo +
              "> MAIL FROM: <me@x.test>\n< 553 5.7.1 Sender rejected\r\n"
              "! Error, sender address refused.\n" +
              quit},
        Commands{"HELO localhost", mailLine, "QUIT"}),
    Row("VerboseShowsTheRefusedAuth", Args{"-v", "-A", "user:pass", "-r", "raw"},
        Script{"AUTH 530 Must issue a STARTTLS command first"},
        Out{greeted + ehlo + "> AUTH LOGIN\n< 530 Must issue a STARTTLS command first\r\n" + mail +
            rcpt + data + P + queued + quit},
        Commands{"EHLO localhost", "AUTH LOGIN", mailLine, rcptLine, "DATA", "QUIT"},
        Data{rawMessage}),
    Row("VerboseShowsTheRefusedUserName", Args{"-v", "-A", "user:pass", "-r", "raw"},
        Script{"AUTH-NAME 535 5.7.8 No"},
        Out{greeted + ehlo + "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n> dXNlcg==\n< 535 5.7.8 No\r\n" +
            mail + rcpt + data + P + queued + quit},
        Commands{"EHLO localhost", "AUTH LOGIN", "dXNlcg==", mailLine, rcptLine, "DATA", "QUIT"},
        Data{rawMessage}),
    Row("RawFileEndingInADottedLineGetsAnEnd", Args{"-r", "raw2"},
        File{"raw2", "Subject: t\r\n\r\n.x\r\n"}, Out{progress(3)}, heloSession,
        Data{"Subject: t\r\n\r\n.x\r\n.\r\n"}),
    // A raw file from another program must not end the data early or smuggle commands.
    Row("RawDotLineBeforeTheEndStaysText", Args{"-r", "raw2"},
        File{"raw2", "Subject: t\n\npart one\n.\nRSET\nMAIL FROM:<x@evil>\n"}, Out{progress(6)},
        heloSession,
        Data{"Subject: t\r\n\r\npart one\r\n..\r\nRSET\r\nMAIL FROM:<x@evil>\r\n.\r\n"}),
    Row("RawBareCrEndsAWireLine", Args{"-r", "raw2"}, File{"raw2", "Subject: t\n\na\r.\rb\r.\n"},
        Out{progress(3)}, heloSession, Data{"Subject: t\r\n\r\na\r\n..\r\nb\r\n..\r\n.\r\n"}),
    Row("EmptyRawFileIsRefused", Args{"-r", "raw2"}, File{"raw2", ""},
        Fails{"Error reading message file.\n"}),
    Row("Utf8TextAndSubject", Args{"-s", "Grüße", "-m", "Grüße"}, Out{progress(14)}, heloSession,
        Data{
            swap(composed("Gr=C3=BC=C3=9Fe"),
                 "s\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=\"us-ascii\"\r\n"
                 "Content-Transfer-Encoding: 7bit",
                 "=?UTF-8?B?R3LDvMOfZQ==?=\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\t"
                 "charset=\"utf-8\"\r\nContent-Transfer-Encoding: quoted-printable")}),
    Row("Utf8AttachmentName", Args{"-s", "s", "-m", "b", "-a", "Grüße.txt"}, File{"Grüße.txt", "x"},
        Out{progress(30)}, heloSession,
        Data{swap(swap(composed("b", attachmentPart("text/plain", "Grüße.txt", "eA==\r\n")),
                       "\tname=\"Grüße.txt\"", "\tname*=UTF-8''Gr%C3%BC%C3%9Fe.txt"),
                  "\tfilename=\"Grüße.txt\"", "\tfilename*=UTF-8''Gr%C3%BC%C3%9Fe.txt")}),
    // Composing: endless bodies, server lines the configuration file cannot mean.
    Row("EndlessBodyFileFillsTheDisk", Args{"-M", "/dev/zero"},
        Fails{"Error writing message file.\n"}, Prelude{limit + "8; exec timeout 20"}),
    Row("EndlessConfigFileFillsTheDisk", Args{"-c", "/dev/zero"},
        Fails{"Error writing message file.\n"}, Prelude{limit + "8; exec timeout 20"}),
    Row("ConfigServerJunkAfterBrackets", Args{"-c", "cfg"},
        File{"cfg", "[::1]]:{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"},
        Fails{"Error reading config file.\n"}),
    Row("ConfigServerBracketNotClosed", Args{"-c", "cfg"},
        File{"cfg", "[::1\nh\nme@x.test\nyou@y.test\ns\nb\n"},
        Fails{"Error reading config file.\n"}),
    Row("ConfigServerEmptyBrackets", Args{"-c", "cfg"},
        File{"cfg", "[]:{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n"},
        Fails{"Error reading config file.\n"}),
    // Runs ended from outside, hostile credentials, the message file's name.
    Row("NoProgressAndAValueThatLooksLikeAnOption", Args{"-s", "-v", "--no-progress", "-m", "b"},
        Out{"* Creating message file.\n" + greeted + helo + mail + rcpt + data + queued + quit},
        heloSession, Data{composed("b", "", "<you@y.test>", "<me@x.test>", "-v")}),
    Row("FileSizeLimitWithoutTrap", Args{"-m", "x", "-a", "big"},
        File{"big", std::string(64 * 1024, 'b')}, Fails{"Error writing message file.\n"},
        Prelude{"ulimit -f 8; exec"}),
    Row("TerminatedWhileTheServerIsSilent", Args{"-r", "raw"}, Script{"CONNECT stall 3000"},
        Fails{"Aborting - interrupted by a signal.\n"},
        Prelude{"(sleep 0.5; kill -TERM $$) & exec"}),
    Row("InterruptedWhileComposing", Args{"-m", "x", "-a", "fifo"},
        Fails{"Aborting - interrupted by a signal.\n"},
        Prelude{"mkfifo fifo; (sleep 0.5; kill -INT $$; rm fifo) & exec"}),
    Row("NulInTheAuthFile", Args{"--auth-file", "af", "--auth", "plain", "-r", "raw"},
        File{"af", "us\0er:pass\n"s}, Fails{"Aborting - NUL byte in credentials.\n"},
        Prelude{"chmod 600 af; exec"}),
    Row("AuthFileFirstLineEmpty", Args{"--auth-file", "af", "-r", "raw"}, File{"af", "\nu:p\n"},
        Fails{"Error reading auth file af\n"}, Prelude{"chmod 600 af; exec"}),
    Row("PlainLoginAnsweredWith250IsRefused", Args{"-A", "u:p", "--auth", "plain", "-r", "raw"},
        Script{"AUTH 250 2.0.0 Hm"}, Fails{"! Authentication failure, quitting.\n"},
        Commands{"EHLO localhost", "AUTH PLAIN AHUAcA==", "QUIT"}),
    Row("HangupIgnoredAtTheStartStaysIgnored", rawDelivery, Script{"DATA stall 1500"},
        Prelude{"trap '' HUP; (sleep 0.5; kill -HUP $$) & exec"}),
    Row("OutOfMemoryWhileComposing", Args{"-m", "x", "-a", "big"},
        File{"big", std::string(9999, 'b')}, Fails{"Aborting - out of memory.\n"}, Prelude{tight}),
    Row("TakenNameIsNeverReused", Args{"-m", "x"}, File{"0.msg", "keep"},
        Fails{"Error writing message file.\n"}, Prelude{frozen + "exec"}),
    Row("SwappedNameIsNotRemoved", Args{"-s", "s", "-m", "x", "-a", "fifo"},
        Out{"Error deleting message file 0.msg\n" + progress(30) + "kept\n"}, heloSession,
        Data{composed("x", attachmentPart("application/octet-stream", "fifo", "Cg==\r\n"))},
        Prelude{frozen + "mkfifo fifo; (sleep 0.5; mv 0.msg m; echo >0.msg; echo >fifo; sleep 0.5; "
                         "test -e 0.msg && echo kept; rm fifo m 0.msg) & exec"}),

    // TLS refused: not one byte in plain text after it.
    Row("StartTlsNotOffered", starttls, Script{"EHLO 250-scripted.test\r\n250 X-STARTTLS"},
        Fails{"! Error, server does not offer STARTTLS, quitting.\n"},
        Commands{"EHLO localhost", "QUIT"}),
    Row("StartTlsRefusedWith454", tlsRefused, Script{"STARTTLS 454 TLS not available"},
        Fails{"! Error, STARTTLS refused, quitting.\n"},
        Commands{"EHLO localhost", "STARTTLS", "QUIT"}),
    Row("TlsUnknownAuthority", Args{"-A", "u:p", "--starttls"}, offered,
        Commands{"EHLO localhost", "STARTTLS"},
        Fails{unverified + "unable to get local issuer certificate - Protocol error\n"}),
    Row("TlsOtherName", tlsRefused, Args{"-S", "localhost"}, Script{"STARTTLS handshake other"},
        Fails{unverified + "hostname mismatch - Protocol error\n"}),
    Row("TlsOtherIp", tlsRefused, Script{"STARTTLS handshake other"},
        Fails{unverified + "IP address mismatch - Protocol error\n"}),
    Row("TlsExpired", tlsRefused, Script{"STARTTLS handshake expired"},
        Fails{unverified + "certificate has expired - Protocol error\n"}),
    Row("TlsOneOneAtMost", tlsRefused, Script{"STARTTLS handshake tls1.1"},
        Fails{"! Error: TLS handshake failed: tlsv1 alert protocol version - Protocol error\n"}),
    Row("TlsInjectedInTheReply", tlsRefused,
        Script{"STARTTLS pieces 220 go\r\n250-AUTH LOGIN\r\n250 ok\r\n"}, Fails{injected}),
    Row("TlsInjectedAfterAReplyThatFillsTheReceive", tlsRefused,
        Script{"STARTTLS pieces 220 " + std::string(28, 'g') + "\r\n250 ok\r\n"}, Fails{injected}),
    Row("TlsClosedInTheHandshake", tlsRefused, Script{"STARTTLS handshake hang-up"}, Fails{closed}),
    Row("TlsClosedInTheDataIsEpipeNotSigpipe", starttls,
        Args{"--no-progress", "-m", "x", "-a", "big"}, File{"big", std::string(4 << 20, 'b')},
        offered, Script{"DATA close-after 1"},
        Fails{"! Error: Problem encountered sending data - Broken pipe\n"},
        Commands{"EHLO localhost", "STARTTLS", "EHLO localhost", "AUTH LOGIN",
                 "dQ==", "cA==", mailLine, rcptLine, "DATA"}),

    // The system mailer: sendmail's command line, its statuses, its strict dialogue.
    Row("SendmailTakesStandardInputAndAddsHeaders", sendmailT, account, Prelude{piped(note)},
        mailerSession, Left{"q"},
        Data{"To: a@y.test\r\nSubject: s\r\nFrom: me@x.test\r\nDate: #\r\nMessage-Id: "
             "<202612070000000.me@x.test>\r\n\r\nbody\r\n..\r\n.\r\n"}),
    Row("SendmailRefusedRecipientEndsBeforeData", sendmailT, account, Prelude{piped(note)},
        Script{"RCPT 250 2.1.5 Ok", "RCPT 550 5.1.1 No such user"},
        Commands{"EHLO h.test", "MAIL FROM:<me@x.test>", "RCPT TO:<a@y.test>", "RCPT TO:<b@y.test>",
                 "RSET", "QUIT"},
        Out{"brenvox: 127.0.0.1 refused the recipient <b@y.test>: 550 5.1.1 No such user (moved "
            "to failed/" +
            id0 + ")\n"},
        Status{67}, Left{"q", "q/failed", "q/failed/" + id0}),
    Row("SendmailTemporaryRefusalStaysQueuedStatus0", sendmailT, account, Prelude{piped(note)},
        Script{"MAIL 451 4.3.0 Try later"},
        Commands{"EHLO h.test", "MAIL FROM:<me@x.test>", "RSET", "QUIT"},
        Out{"brenvox: 127.0.0.1 refused the sender <me@x.test>: 451 4.3.0 Try later (queued as " +
            id0 + ")\n"},
        Left{"q", "q/" + id0}),
    Row("SendmailNamesTheFixFor530", sendmailT, account, Prelude{piped(note)},
        Script{"MAIL 530 5.7.0 Must issue a STARTTLS command first"},
        Commands{"EHLO h.test", "MAIL FROM:<me@x.test>", "RSET", "QUIT"},
        Out{"brenvox: 127.0.0.1 refused the sender <me@x.test>: 530 5.7.0 Must issue a STARTTLS "
            "command first (hint: set tls starttls in the account) (queued as " +
            id0 + ", held until the settings change)\n"},
        Left{"q", "q/" + id0}),
    Row("SendmailMasksCredentialsAndTakesTheNullSender",
        OnlyArgs{"--sendmail", "-C", "cfg", "-v", "-f", "<>", "a@y.test"},
        File{"cfg", "host 127.0.0.1\nport {PORT}\nhelo h.test\nauth plain\nuser u\npassword "
                    "p\nfrom me@x.test\nqueue {DIR}/q\n"},
        Left{"q"}, Prelude{"chmod 600 cfg; " + piped("Subject: s\n\nb\n")},
        Script{"AUTH 235 2.7.0 Ok"},
        Out{"< 220 scripted.test ESMTP ready\r\n> EHLO h.test\n< 250-scripted.test\r\n"
            "< 250 AUTH LOGIN\r\n> AUTH PLAIN ****\n< 235 2.7.0 Ok\r\n"
            "> MAIL FROM:<>\n< 250 2.1.0 Ok\r\n> RCPT TO:<a@y.test>\n< 250 2.1.5 Ok\r\n"
            "> DATA\n< 354 End data with <CR><LF>.<CR><LF>\r\n" +
            queued + quit},
        Commands{"EHLO h.test", "AUTH PLAIN AHUAcA==", "MAIL FROM:<>", "RCPT TO:<a@y.test>", "DATA",
                 "QUIT"},
        Data{"Subject: s\r\nFrom: me@x.test\r\nDate: #\r\nMessage-Id: "
             "<202612070000000.me@x.test>\r\n\r\nb\r\n.\r\n"}),
    Row("SendmailWithoutRecipientsIsAUsageError", OnlyArgs{"--sendmail", "-C", "cfg"}, account,
        Out{"brenvox: no recipients: name them, or give -t to take them from the message\n"},
        Status{64}),
    Row("SendmailRefusesAnAliasThatWouldChangeTheCommand",
        OnlyArgs{"--sendmail", "-C", "cfg", "root"}, File{"al", "root: \"a> NOTIFY=x\"@y, b@y\n"},
        File{"cfg", "host 127.0.0.1\nport {PORT}\naliases al\n"}, Prelude{piped("s\n")},
        Out{"brenvox: bad recipient address: a> NOTIFY=x@y\n"}, Status{67}),
    Row("SendmailSpeaksSmtpOnStandardInput", OnlyArgs{"--sendmail", "-bs", "-C", "cfg"}, account,
        Prelude{piped("HELO c\r\nMAIL FROM:<a@y.test>\r\nRCPT TO:<you@y.test>\r\nDATA\r\n"
                      "..x\r\n.\r\nQUIT\r\n")},
        Commands{"EHLO h.test", "MAIL FROM:<a@y.test>", "RCPT TO:<you@y.test>", "DATA", "QUIT"},
        Out{"220 h.test ESMTP ready\r\n250 h.test\r\n250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n354 End data "
            "with <CR><LF>.<CR><LF>\r\n250 2.0.0 Ok: relayed\r\n221 2.0.0 Bye\r\n"},
        Data{"..x\r\n.\r\n"}, Left{"q"}),
    Row("BodyAndRawMessageFromStandardInput", Args{"--no-progress", "-r", "-"},
        Prelude{"printf 'Subject: p\\n\\n.\\n' | exec"}, heloSession,
        Data{"Subject: p\r\n\r\n.\r\n"}),
    // Cc, Bcc, Reply-To, own header fields, a display name, HTML and inline images.
    Row("CopiesReplyToNameAndOwnFields",
        Args{"--no-progress", "--cc", "c@y.test, d@y.test", "--bcc", "h@y.test", "--reply-to",
             "r@y.test", "--from-name", "Ops Team", "--header", "X-Priority:  1 ", "--header",
             "X-Note: Grüße", "-s", "s", "-m", "body"},
        Commands{"HELO localhost", mailLine, rcptLine, "RCPT TO: <c@y.test>", "RCPT TO: <d@y.test>",
                 "RCPT TO: <h@y.test>", "DATA", "QUIT"},
        Data{swap(swap(composed("body"), "From: <", "From: Ops Team <"), "Subject: s\r\n",
                  "Cc: <c@y.test>, <d@y.test>\r\nReply-To: <r@y.test>\r\nSubject: s\r\n"
                  "X-Priority: 1\r\nX-Note: =?UTF-8?B?R3LDvMOfZQ==?=\r\n")}),
    Row("HtmlAlternativeQuotedPrintable",
        Args{"--no-progress", "-s", "s", "-m", "text", "--html", "p.html"},
        File{"p.html", "<p>\xc3\xbc</p>\n"}, heloSession,
        Data{swap(swap(composed("text"), textHead, layer("alternative", "alt") + textHead),
                  "\r\n\r\n.",
                  "\r\n--alt#boundary__giblets_and_gravy\r\nContent-Type: text/html;\r\n\tcharset="
                  "\"utf-8\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n<p>=C3=BC"
                  "</p>\r\n\r\n--alt#boundary__giblets_and_gravy--\r\n\r\n\r\n.")}),
    Row("HtmlAloneFromStandardInputWithInlineImage",
        Args{"--no-progress", "-s", "s", "--html", "-", "--inline", "a b.png", "-a", "x.pdf"},
        File{"a b.png", "img"}, File{"x.pdf", "pdf"}, heloSession,
        Prelude{"printf '<img src=cid:a_b.png>' | exec"},
        Data{swap(composed("", attachmentPart("application/pdf", "x.pdf", "cGRm\r\n")),
                  textHead + "\r\n",
                  layer("related", "rel") + swap(textHead, "plain", "html") +
                      "<img src=cid:a_b.png>\r\n\r\n--rel#boundary__giblets_and_gravy\r\n"
                      "Content-Type: image/png;\r\n\tname=\"a b.png\"\r\nContent-Transfer-"
                      "Encoding: base64\r\nContent-ID: <a_b.png>\r\nContent-Disposition: inline;"
                      "\r\n\tfilename=\"a b.png\"\r\n\r\naW1n\r\n\r\n"
                      "--rel#boundary__giblets_and_gravy--\r\n")}),
    Row("LineBreakInHeaderValue", Args{"--header", "X-A: 1\r\nBcc: e@x.test", "-m", "x"},
        Fails{"Aborting - line break in --header value.\n"}),
    Row("LineBreakInReplyTo", Args{"--reply-to", "r@y.test\nBcc: e@x.test", "-m", "x"},
        Fails{"Aborting - line break in Reply-To address.\n"}),
    Row("LineBreakInFromName", Args{"--from-name", "N\rBcc: e@x.test", "-m", "x"},
        Fails{"Aborting - line break in From name.\n"}),
    Row("LineBreakInCc", Args{"--cc", "c@y.test\r\nBcc: e@x.test", "-m", "x"},
        Fails{"Aborting - line break in recipient address.\n"}),
    Row("FieldNameWithABlank", Args{"--header", "X Bad: 1", "-m", "x"},
        Fails{"Aborting - bad field name in --header 'X Bad: 1'.\n"}),
    Row("FieldWithoutColon", Args{"--header", "X-Bad", "-m", "x"},
        Fails{"Aborting - bad field name in --header 'X-Bad'.\n"}),
    Row("FieldBrenvoxWrites", Args{"--header", "Content-Type: text/html", "-m", "x"},
        Fails{"Aborting - reserved field name in --header 'Content-Type: text/html'.\n"}),
    Row("BodyAndHtmlBothFromStandardInput", Args{"-M", "-", "--html", "-"},
        Fails{"Aborting - -M - and --html - both read standard input.\n"}),
    Row("InlineWithoutHtml", Args{"--inline", "raw", "-m", "x"},
        Fails{"Aborting - --inline needs --html.\n"}),
    Row("CopyOfARawMessage", Args{"--bcc", "h@y.test", "-r", "raw"},
        Fails{"Aborting - --bcc cannot change a raw message.\n"}),
    Row("HtmlFileMissing", Args{"--html", "nofile"}, Fails{"Error reading HTML file nofile\n"}),
    Row("InlineFileMissing", Args{"--html", "raw", "--inline", "nofile"},
        Fails{"Error reading inline file nofile\n"}),
    // Round trips: PIPELINING, SIZE, TLS; "+" marks a command that came in the same
    // receive as the bytes before it.
    Row("PipelinedInOneWriteQuitWithTheData", pipelined, Args{"-v", "-t", "you@y.test, two@y.test"},
        Script{"MAIL pieces 250 2.1.0|Ok\r\n"},
        Out{pipelinedStart +
            "> RCPT TO: <two@y.test>\n> DATA\n< 250 2.1.0Ok\r\n< 250 2.1.5 Ok\r\n"
            "< 250 2.1.5 Ok\r\n< 354 End data with <CR><LF>.<CR><LF>\r\n"
            "* Sending data...\n" +
            P + queued + quit},
        pipelinedAfter({"+RCPT TO: <two@y.test>", "+DATA", "+QUIT"}), Data{rawMessage}),
    Row("PipelinedRefusedSenderReadsEveryReplyAndEndsTheData", pipelined, Args{"-v"},
        Script{"MAIL 553 5.7.1 Rejected", "DATA-END 503 5.5.1 No transaction"},
        Fails{pipelinedStart +
              "> DATA\n< 553 5.7.1 Rejected\r\n< 250 2.1.5 Ok\r\n< 354 End data "
              "with <CR><LF>.<CR><LF>\r\n> .\n< 503 5.5.1 No transaction\r\n"
              "! Error, sender address refused.\n" +
              quit},
        pipelinedAfter({"+DATA", "QUIT"}), Data{".\r\n"}),
    Row("PipelinedLastRecipientAloneAccepted", pipelined, Args{"-t", "you@y.test, two@y.test"},
        Script{"RCPT 550 5.1.1 Unknown", "RCPT 250 2.1.5 Ok"}, Out{P},
        pipelinedAfter({"+RCPT TO: <two@y.test>", "+DATA", "+QUIT"}), Data{rawMessage}),
    Row("PipelinedInGroupsOfAt16KiB", pipelined, Args{"-t", inGroups.first}, Out{P},
        inGroups.second, Data{rawMessage}),
    Row("PipelinedAllRecipientsRefused", pipelined,
        Script{"RCPT 550 5.1.1 No", "DATA 554 5.5.1 No"},
        Fails{"! Something odd occurred, bailing out...\n"}, pipelinedAfter({"+DATA", "QUIT"})),
    Row("PipelinedDataRefused", pipelined, Script{"DATA 451 4.3.0 Later"},
        Fails{"! Error, remote server doesn't want your data.\n"},
        pipelinedAfter({"+DATA", "QUIT"})),
    Row("OverTheSizeLimitNothingIsSent", pipelined, Args{"-r", "raw2"},
        File{"raw2", std::string(1000, 'x')}, Fails{"! Data transmission error.\n"},
        Commands{"EHLO localhost", "AUTH PLAIN AHUAcA==", "QUIT"}),
    Row("SendmailPipelinedWithoutSizeLimit", sendmailT, account, Prelude{piped(note)},
        Script{"EHLO 250-SIZE 0\r\n250 PIPELINING"},
        Commands{"EHLO h.test", "MAIL FROM:<me@x.test> SIZE=138", "+RCPT TO:<a@y.test>",
                 "+RCPT TO:<b@y.test>", "+RCPT TO:<c@y.test>", "+DATA", "QUIT"},
        Data{"To: a@y.test\r\nSubject: s\r\nFrom: me@x.test\r\nDate: #\r\nMessage-Id: "
             "<202612070000000.me@x.test>\r\n\r\nbody\r\n..\r\n.\r\n"},
        Left{"q"}),
    Row("SendmailPipelinedRefusedRecipientAbandonsTheData", sendmailT, account, Args{"-v"},
        Prelude{piped(note)},
        Script{"EHLO 250 PIPELINING", "RCPT 250 2.1.5 Ok", "RCPT 550 5.1.1 No such user"},
        Commands{"EHLO h.test", "MAIL FROM:<me@x.test>", "+RCPT TO:<a@y.test>",
                 "+RCPT TO:<b@y.test>", "+RCPT TO:<c@y.test>", "+DATA"},
        Out{"< 220 scripted.test ESMTP ready\r\n> EHLO h.test\n< 250 PIPELINING\r\n> MAIL "
            "FROM:<me@x.test>\n> RCPT TO:<a@y.test>\n> RCPT TO:<b@y.test>\n> RCPT TO:<c@y.test>\n"
            "> DATA\n< 250 2.1.0 Ok\r\n< 250 2.1.5 Ok\r\n< 550 5.1.1 No such user\r\n< 550 5.1.1 "
            "No "
            "such user\r\n< 354 End data with <CR><LF>.<CR><LF>\r\nbrenvox: 127.0.0.1 refused the "
            "recipient "
            "<b@y.test>: 550 5.1.1 No such user (moved to failed/" +
            id0 + ")\n"},
        Status{67}, Left{"q", "q/failed", "q/failed/" + id0}),
    Row("SendmailPipelinedRefusedSenderEndsTheEmptyData", sendmailT, account, Prelude{piped(note)},
        Script{"EHLO 250 PIPELINING", "MAIL 553 5.7.1 No", "DATA-END 554 5.5.1 No recipients"},
        Commands{"EHLO h.test", "MAIL FROM:<me@x.test>", "+RCPT TO:<a@y.test>",
                 "+RCPT TO:<b@y.test>", "+RCPT TO:<c@y.test>", "+DATA", "RSET", "QUIT"},
        Out{"brenvox: 127.0.0.1 refused the sender <me@x.test>: 553 5.7.1 No (moved to failed/" +
            id0 + ")\n"},
        Status{69}, Data{".\r\n"}, Left{"q", "q/failed", "q/failed/" + id0}),
    Row("SendmailOverTheSizeLimit", sendmailT, account, Prelude{piped(note)},
        Script{"EHLO 250 SIZE 100"}, Commands{"EHLO h.test", "RSET", "QUIT"},
        Out{"brenvox: 127.0.0.1 takes at most 100 bytes (SIZE), the message has 138 (moved to "
            "failed/" +
            id0 + ")\n"},
        Status{69}, Left{"q", "q/failed", "q/failed/" + id0}),
    Row("PipelinedAsTheEhloOverTlsSays", Args{"--starttls", "--cafile", "{CA}", "-r", "raw"},
        Script{"EHLO 250 STARTTLS", "EHLO 250 PIPELINING"}, Out{P}, Data{rawMessage},
        Commands{"EHLO localhost", "STARTTLS", "EHLO localhost", mailLine, "+" + rcptLine, "+DATA",
                 "+QUIT"}),
    // TLS set up while the greeting is on its way fails only where the handshake comes.
    Row("TlsCaFileMissing", tlsRefused, Args{"--cafile", "nofile"},
        Fails{"! Error: Unable to load CA file nofile - No such file or directory\n"}),

    // The queue: spool, flush, list, drop, fallback, the classic --queue.
    Row("QueuedWhileDownOneFlushAMinuteLaterSendsAllOnOneConnection", flush, account,
        Prelude{down(2)}, Out{queuedAs(id0) + queuedAs(id0 + "-1")}, Left{"q"},
        Commands{"EHLO h.test", noteToA[0], noteToA[1], noteToA[2], noteToA[0], noteToA[1],
                 noteToA[2], "QUIT"},
        Data{queuedNote}), // the last message's data
    Row("MaxPerConnectionStartsANewConnection", flush, account,
        Prelude{down(2, "max_per_connection 1")}, Out{queuedAs(id0) + queuedAs(id0 + "-1")},
        Commands{"EHLO h.test", noteToA[0], noteToA[1], noteToA[2], "QUIT"}, Data{queuedNote},
        Left{"q", "q/" + id0 + "-1"}),
    Row("CorruptEntriesAreMovedAsideNeverSent", flush, account,
        Prelude{"mkdir -m 700 q; echo brenvox-queue 1 >q/bad; printf 'brenvox-queue 1\\nsender: "
                "\\nrecipient: a@y\\ncreated: 1\\nbody: every-line 1 9\\n\\nb\\n' >q/cut; exec"},
        Out{"brenvox: queue entry bad is corrupt (truncated header); moved to {DIR}/q/corrupt/, "
            "not sent\nbrenvox: queue entry cut is corrupt (truncated message (2 of 9 bytes)); "
            "moved to {DIR}/q/corrupt/, not sent\n"},
        Left{"q", "q/corrupt", "q/corrupt/bad", "q/corrupt/cut"}),
    Row("SendmailFullDiskWhileSpoolingIsAFailureNothingLeft", sendmailT, account,
        Prelude{limit + "2; " + piped("To: a@y.test\n\n" + std::string(800, 'x') + "\n")},
        Out{"brenvox: cannot queue the message: cannot write a queue entry in {DIR}/q: File too "
            "large\n"},
        Status{74}, Left{"q"}),
    Row("QueueDirectoryOthersCanWriteIsRefused", sendmailT, account,
        Prelude{"chmod 707 q; " + piped(note)}, Status{73}, Dir{"q"},
        Out{"brenvox: cannot queue the message: the queue directory {DIR}/q can be written by "
            "group or others; chmod 700 {DIR}/q\n"}),
    Row("ListAndDrop", OnlyArgs{"--queue-list", "--settings", "cfg"}, account,
        Prelude{swap(down(2), "mv",
                     brenvox + " --queue-drop " + id0 + " --settings cfg; " + brenvox +
                         " --queue-drop " + id0 + " --settings cfg 2>&1; mv")},
        Out{queuedAs(id0) + queuedAs(id0 + "-1") + "brenvox: no queue entry " + id0 +
            " in {DIR}/q\n" + id0 +
            "-1  117  1m  a@y.test  now  127.0.0.1: Unable to connect to "
            "server - Connection refused\n"},
        Left{"q", "q/" + id0 + "-1"}),
    Row("FallbackTakesItAtOnce", OnlyArgs{"--sendmail", "-C", "cfg", "-v", "a@y.test"},
        File{"cfg",
             "from me@x.test\nhelo h.test\nqueue {DIR}/q\naccount a\nhost 127.0.0.1\nport 1\n"
             "fallback b\naccount b\nhost 127.0.0.1\nport {PORT}\naccount default : a\n"},
        Prelude{piped("Subject: s\n\nb\n")},
        Out{"* Trying fallback account b (127.0.0.1)\n< 220 scripted.test ESMTP ready\r\n"
            "> EHLO h.test\n< 250-scripted.test\r\n< 250 AUTH LOGIN\r\n"
            "> MAIL FROM:<me@x.test>\n< 250 2.1.0 Ok\r\n> RCPT TO:<a@y.test>\n< 250 2.1.5 Ok\r\n"
            "> DATA\n< 354 End data with <CR><LF>.<CR><LF>\r\n" +
            queued + "* Delivered through fallback account b (127.0.0.1)\n" + quit},
        Commands{"EHLO h.test", noteToA[0], noteToA[1], noteToA[2], "QUIT"}, Data{queuedNote},
        Left{"q"}),
    Row("ClassicQueueOnConnectionRefused", Args{"-P", "1", "-m", "b", "--queue", "{DIR}/q"},
        Out{"! Error: Unable to connect to server - Connection refused\n* Queued as " + id0 +
            ": Unable to connect to server - Connection refused\n"},
        Prelude{frozen + "exec"}, Status{75}, Left{"q", "q/" + id0}),
    Row("ClassicQueueOn4xx", Args{"--queue", "{DIR}/q", "-r", "raw"}, Script{"RCPT 451 4.2.0 busy"},
        Prelude{frozen + "exec"}, Commands{"HELO localhost", mailLine, rcptLine, "QUIT"},
        Out{"! Something odd occurred, bailing out...\n* Queued as " + id0 + ": 451 4.2.0 busy\n"},
        Status{75}, Left{"q", "q/" + id0}),
    Row("ClassicQueueNotOn5xx", Args{"--queue", "{DIR}/q", "-r", "raw"}, Script{"RCPT 550 no"},
        Commands{"HELO localhost", mailLine, rcptLine, "QUIT"},
        Fails{"! Something odd occurred, bailing out...\n"}, Left{"q"}),
    Row("ClassicFullDiskWhileQueueingIsNot75",
        Args{"-P", "1", "-m", std::string(500, 'b'), "--queue", "{DIR}/q"},
        Prelude{limit + "2; exec"},
        Fails{"! Error: Unable to connect to server - Connection refused\n! Error: the message "
              "was not queued: cannot write a queue entry in {DIR}/q: File too large\n"},
        Left{"q"}),
    Row("ClassicQueueRefusesMinusA", Args{"--queue", "-A", "u:p"},
        Fails{"! Error: --queue cannot keep the password of -A for a later flush; give it with "
              "--auth-file, BRENVOX_AUTH or --account\n"}),
};

std::string mask(const std::string& text) {
    static const std::regex date("\r\nDate: [^\r]*"), id("^Message-Id: <[0-9]+"),
        b("[0-9]+(boundary)");
    return std::regex_replace(
        std::regex_replace(std::regex_replace(text, date, "\r\nDate: #"), id, "Message-Id: <#"), b,
        "#$1");
}

std::string fill(std::string text, const std::string& port, const std::string& dir) {
    for (std::size_t at; (at = text.find("{DIR}")) != std::string::npos;) {
        text.replace(at, 5, dir);
    }
    for (std::size_t at; (at = text.find("PORT}")) != std::string::npos;) {
        const bool big = text[at - 1] == 'G'; // {BIGPORT}: the port plus 65536
        text.replace(big ? at - 4 : at - 1, big ? 9 : 6,
                     big ? std::to_string(std::stoi(port) + 65536) : port);
    }
    const std::size_t ca = text.find("{CA}");
    return ca == std::string::npos ? text : text.replace(ca, 4, ScriptedServer::authority());
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
    for (const File& file : row.files) {
        inputs.push_back(file.name);
        dir.write(file.name, fill(file.bytes, port, dir.path()));
    }
    for (const std::string& name : row.dirs) {
        inputs.push_back(name);
        mkdir(dir.file(name).c_str(), 0755);
    }
    inputs.insert(inputs.end(), row.left.begin(), row.left.end());
    std::sort(inputs.begin(), inputs.end());
    Strings argv = {BRENVOX_BINARY};
    for (const std::string& arg : row.args) {
        argv.push_back(fill(arg, port, dir.path()));
    }
    const RunResult run = runProgram(argv, dir.path(), row.prelude);

    EXPECT_EQ(run.out, fill(row.out, port, dir.path()));
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(server.commands(), row.commands);
    EXPECT_EQ(mask(server.data()), row.data);
    EXPECT_EQ(dir.entries(), inputs);
}

std::string caseName(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, Session, testing::ValuesIn(rows), caseName);

} // namespace
