// The real binary against the scripted server: one case per branch of the
// dialogue, each asserting the command transcript, stdout and exit status.
#include "process.h"
#include "scriptedserver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// A ready-made message of four lines, so that no clock text appears anywhere.
const char* const rawMessage = "Subject: t\r\n\r\nbody\r\n.\r\n";
const char* const progress = "0%\r33%\r66%\r100%\r\n";

const std::string connected = "* Connecting to server 127.0.0.1\n"
                              "< 220 scripted.test ESMTP ready\r\n";
const std::string heloDone = "> HELO localhost\n< 250 scripted.test\r\n";
const std::string ehloSent = "> EHLO localhost\n"
                             "< 250-scripted.test\r\n< 250-SIZE 10240000\r\n< 250 AUTH LOGIN\r\n";
const std::string authDone = "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n"
                             "> dXNlcg==\n< 334 UGFzc3dvcmQ6\r\n"
                             "> cGE6c3M=\n< 235 2.7.0 Authentication successful\r\n";
const std::string mailDone = "> MAIL FROM: <me@x.test>\n< 250 2.1.0 Ok\r\n";
const std::string rcptDone = "> RCPT TO: <you@y.test>\n< 250 2.1.5 Ok\r\n";
const std::string dataDone = "> DATA\n< 354 End data with <CR><LF>.<CR><LF>\r\n"
                             "* Sending data...\n" +
                             std::string(progress) + "< 250 2.0.0 Ok: queued\r\n";
const std::string quitDone = "> QUIT\n< 221 2.0.0 Bye\r\n";

const Lines heloCommands = {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>",
                            "DATA", "QUIT"};
const Lines authCommands = {
    "EHLO localhost",        "AUTH LOGIN", "dXNlcg==", "cGE6c3M=", "MAIL FROM: <me@x.test>",
    "RCPT TO: <you@y.test>", "DATA",       "QUIT"};

struct DialogueCase {
    const char* name;
    Lines extraArgs;
    std::function<void(ScriptedServer&)> script;
    Lines commands;
    std::string out;
    int status;
    bool dataSent;
};

const DialogueCase dialogueCases[] = {
    {"HeloPathDelivers",
     {"-v"},
     [](ScriptedServer&) {},
     heloCommands,
     connected + heloDone + mailDone + rcptDone + dataDone + quitDone,
     0,
     true},
    {"QuietModeShowsOnlyProgress", {}, [](ScriptedServer&) {}, heloCommands, progress, 0, true},
    {"AuthLoginAfterEhlo",
     {"-v", "-A", "user:pa:ss"},
     [](ScriptedServer&) {},
     authCommands,
     connected + ehloSent + authDone + mailDone + rcptDone + dataDone + quitDone,
     0,
     true},
    {"AuthAdvertAtStartOfEhloReplyFallsBackToHelo",
     {"-v", "-A", "user:pass"},
     [](ScriptedServer& s) { s.reply("EHLO", "250-AUTH LOGIN PLAIN\r\n250 OK"); },
     {"EHLO localhost", "HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "DATA",
      "QUIT"},
     connected + "> EHLO localhost\n< 250-AUTH LOGIN PLAIN\r\n< 250 OK\r\n" + heloDone + mailDone +
         rcptDone + dataDone + quitDone,
     0,
     true},
    {"RefusedAuthContinuesSilently",
     {"-v", "-A", "user:pass"},
     [](ScriptedServer& s) { s.reply("AUTH", "504 5.5.4 Unrecognized"); },
     {"EHLO localhost", "AUTH LOGIN", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "DATA",
      "QUIT"},
     connected + ehloSent + "> AUTH LOGIN\n" + mailDone + rcptDone + dataDone + quitDone,
     0,
     true},
    {"RefusedUserNameContinuesSilently",
     {"-v", "-A", "user:pass"},
     [](ScriptedServer& s) { s.reply("AUTH-NAME", "535 5.7.8 No"); },
     {"EHLO localhost", "AUTH LOGIN", "dXNlcg==", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>",
      "DATA", "QUIT"},
     connected + ehloSent + "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n> dXNlcg==\n" + mailDone +
         rcptDone + dataDone + quitDone,
     0,
     true},
    {"WrongPasswordQuitsWithStatus1",
     {"-v", "-A", "user:pass"},
     [](ScriptedServer& s) { s.reply("AUTH-PASS", "535 5.7.8 Bad"); },
     {"EHLO localhost", "AUTH LOGIN", "dXNlcg==", "cGFzcw==", "QUIT"},
     connected + ehloSent +
         "> AUTH LOGIN\n< 334 VXNlcm5hbWU6\r\n> dXNlcg==\n< 334 UGFzc3dvcmQ6\r\n"
         "> cGFzcw==\n< 535 5.7.8 Bad\r\n! Authentication failure, quitting.\n" +
         quitDone,
     1,
     false},
    {"CredentialsWithoutColonAreAllUserName",
     {"-A", "user"},
     [](ScriptedServer&) {},
     {"EHLO localhost", "AUTH LOGIN", "dXNlcg==", "", "MAIL FROM: <me@x.test>",
      "RCPT TO: <you@y.test>", "DATA", "QUIT"},
     progress,
     0,
     true},
    {"Ehlo501QuitsWithStatus1",
     {"-v", "-A", "u:p", "-h", "bad host"},
     [](ScriptedServer& s) { s.reply("EHLO", "501 5.5.4 Invalid domain"); },
     {"EHLO bad host", "QUIT"},
     connected +
         "> EHLO bad host\n< 501 5.5.4 Invalid domain\r\n"
         "! Error in argument bad host\n\n" +
         quitDone,
     1,
     false},
    {"Ehlo502FallsBackToHelo",
     {"-A", "u:p"},
     [](ScriptedServer& s) { s.reply("EHLO", "502 5.5.1 No ESMTP"); },
     {"EHLO localhost", "HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "DATA",
      "QUIT"},
     "! Error, ESMTP not supported, attempting HELO...\n" + std::string(progress),
     0,
     true},
    {"EhloOtherRefusalGivesUp",
     {"-A", "u:p"},
     [](ScriptedServer& s) { s.reply("EHLO", "554 5.7.1 Go away"); },
     {"EHLO localhost", "QUIT"},
     "! Error, giving up.\n",
     1,
     false},
    {"Helo501QuitsWithStatus1",
     {"-v"},
     [](ScriptedServer& s) { s.reply("HELO", "501 5.5.4 Syntax"); },
     {"HELO localhost", "QUIT"},
     connected + "> HELO localhost\n< 501 5.5.4 Syntax\r\n! Error in argumentlocalhost\n\n" +
         quitDone,
     1,
     false},
    {"HeloOtherRefusalGivesUp",
     {},
     [](ScriptedServer& s) { s.reply("HELO", "421 4.3.2 Shutting down"); },
     {"HELO localhost", "QUIT"},
     "! Error, giving up.\n\n",
     1,
     false},
    {"ShortReplyMatchesNoCode",
     {},
     [](ScriptedServer& s) { s.reply("HELO", "25"); },
     {"HELO localhost", "QUIT"},
     "! Error, giving up.\n\n",
     1,
     false},
    {"OnlyThreeDigitsCount",
     {},
     [](ScriptedServer& s) {
         s.reply("HELO", "2500 fine");
         s.reply("MAIL", "250x");
     },
     heloCommands,
     progress,
     0,
     true},
    {"RefusedSenderQuitsWithStatus1",
     {"-v"},
     [](ScriptedServer& s) { s.reply("MAIL", "553 5.7.1 Sender rejected"); },
     {"HELO localhost", "MAIL FROM: <me@x.test>", "QUIT"},
     connected + heloDone + "> MAIL FROM: <me@x.test>\n! Error, sender address refused.\n" +
         quitDone,
     1,
     false},
    {"AllRecipientsRefusedBailsOut",
     {"-v"},
     [](ScriptedServer& s) { s.reply("RCPT", "550 5.1.1 Unknown"); },
     {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "QUIT"},
     connected + heloDone + mailDone + "> RCPT TO: <you@y.test>\n< 550 5.1.1 Unknown\r\n" +
         "! Something odd occurred, bailing out...\n" + quitDone,
     1,
     false},
    {"RefusedDataQuitsWithStatus1",
     {"-v"},
     [](ScriptedServer& s) { s.reply("DATA", "554 5.5.1 No valid recipients"); },
     {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>", "DATA", "QUIT"},
     connected + heloDone + mailDone + rcptDone +
         "> DATA\n< 554 5.5.1 No valid recipients\r\n"
         "! Error, remote server doesn't want your data.\n" +
         quitDone,
     1,
     false},
    {"RefusedMessageQuitsWithStatus1",
     {},
     [](ScriptedServer& s) { s.reply("DATA-END", "552 5.3.4 Too big"); },
     heloCommands,
     std::string(progress) + "! Data transmission error.\n",
     1,
     true},
    {"ServerClosingAfterGreetingIsATransportError",
     {"-v"},
     [](ScriptedServer& s) { s.closeAfter("HELO"); },
     {"HELO localhost"},
     connected + "> HELO localhost\n"
                 "! Error: Connection closed by server - Connection reset by peer\n",
     1,
     false},
    {"LostQuitReplyAfterAcceptanceStillDelivered",
     {},
     [](ScriptedServer& s) { s.closeAfter("QUIT"); },
     heloCommands,
     std::string(progress) + "! Error: Connection closed by server - "
                             "Connection reset by peer\n",
     0,
     true},
};

class Dialogue : public testing::TestWithParam<DialogueCase> {};

TEST_P(Dialogue, TranscriptCommandsAndStatus) {
    const DialogueCase& c = GetParam();
    TempDir dir;
    const std::string raw = dir.write("message.eml", rawMessage);
    ScriptedServer server;
    c.script(server);
    const unsigned short port = server.start();

    Lines args = {"-S",         "127.0.0.1", "-P", std::to_string(port), "-f", "me@x.test", "-t",
                  "you@y.test", "-r",        raw};
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
    const RunResult run = runBrenvox(args, dir.path());

    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(server.commands(), c.commands);
    EXPECT_EQ(server.data(), c.dataSent ? rawMessage : "");
    EXPECT_EQ(dir.entries(), Lines{"message.eml"});
}

INSTANTIATE_TEST_SUITE_P(Branches, Dialogue, testing::ValuesIn(dialogueCases),
                         [](const testing::TestParamInfo<DialogueCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

TEST(DialogueRecipients, EveryRecipientIsTriedAndOneAcceptanceIsEnough) {
    TempDir dir;
    const std::string raw = dir.write("message.eml", rawMessage);
    ScriptedServer server;
    server.sequence("RCPT", {"550 no such user", "250 ok", "550 no such user"});
    const unsigned short port = server.start();
    const RunResult run = runBrenvox({"-S", "127.0.0.1", "-P", std::to_string(port), "-f",
                                      "me@x.test", "-t", "a@x.test, b@x.test,c@x.test", "-r", raw});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(server.commands(),
              (Lines{"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <a@x.test>",
                     "RCPT TO: <b@x.test>", "RCPT TO: <c@x.test>", "DATA", "QUIT"}));
}

TEST(DialoguePort, OnlyTheLow16BitsOfThePortCount) {
    TempDir dir;
    const std::string raw = dir.write("message.eml", rawMessage);
    ScriptedServer server;
    const unsigned short port = server.start();
    const RunResult run = runBrenvox({"-S", "127.0.0.1", "-P", std::to_string(port + 65536), "-f",
                                      "me@x.test", "-t", "you@y.test", "-r", raw});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(server.data(), rawMessage);
}

TEST(DialogueConnect, RefusedConnectionIsReportedWithoutQuit) {
    TempDir dir;
    const std::string raw = dir.write("message.eml", rawMessage);
    unsigned short closedPort = 0;
    {
        ScriptedServer probe; // a port that was free a moment ago and has no listener now
        closedPort = probe.start();
    }
    const RunResult run = runBrenvox({"-S", "127.0.0.1", "-P", std::to_string(closedPort), "-f",
                                      "me@x.test", "-t", "you@y.test", "-r", raw, "-v"});
    EXPECT_EQ(run.out, "* Connecting to server 127.0.0.1\n"
                       "! Error: Unable to connect to server - Connection refused\n");
    EXPECT_EQ(run.status, 1);
}

TEST(DialogueConnect, UnresolvableServerIsReported) {
    TempDir dir;
    const std::string raw = dir.write("message.eml", rawMessage);
    const RunResult run = runBrenvox(
        {"-S", "no-such-host.invalid", "-f", "me@x.test", "-t", "you@y.test", "-r", raw});
    EXPECT_EQ(run.out.rfind("! Error: Unable to resolve host name - ", 0), 0u) << run.out;
    EXPECT_EQ(run.status, 1);
}

} // namespace
