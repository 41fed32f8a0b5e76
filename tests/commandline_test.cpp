// The command line in-process: informational requests and the option pass.
#include "email.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

int brenvoxMain(int argc, char* argv[]);
void applyOptions(const StringList& argumentList, Email& mailMsg);

namespace {

struct MainRun {
    std::string out;
    int status;
};

MainRun runMain(std::vector<std::string> args) {
    args.insert(args.begin(), "brenvox");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const int status = brenvoxMain(static_cast<int>(args.size()), argv.data());
    return {testing::internal::GetCapturedStdout(), status};
}

const char* const helpText =
    "use: brenvox [-options]\n"
    "\n"
    "Where options include:\n"
    "\n"
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

const char* const configText = "Brenvox config file layout\n"
                               "\n"
                               "<server>[:<port>]\n"
                               "<helo domain>\n"
                               "<from address>\n"
                               "<to address>[, <to addressN>]\n"
                               "<subject>\n"
                               "Following lines are used as message text.\n"
                               "You can add as many as you like.\n";

const char* const versionText = "Brenvox - smtp mailer utility\n"
                                "Version 1.0.104 - [05.03.2006]\n";

struct InformationalCase {
    std::vector<std::string> args;
    const char* expected;
};

class InformationalRequest : public testing::TestWithParam<InformationalCase> {};

TEST_P(InformationalRequest, PrintsItsTextAndEndsWithStatus1) {
    const MainRun run = runMain(GetParam().args);
    EXPECT_EQ(run.out, GetParam().expected);
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    FirstArgumentOnly, InformationalRequest,
    testing::Values(InformationalCase{{}, helpText}, InformationalCase{{"--help"}, helpText},
                    InformationalCase{{"--version"}, versionText},
                    InformationalCase{{"--config"}, configText},
                    InformationalCase{{"--config", "-S", "host", "-v"}, configText},
                    InformationalCase{{"--help", "--version"}, helpText}));

TEST(HelpText, EveryDescriptionStartsAtColumn44) {
    const std::string text = helpText;
    std::size_t lineStart = 0;
    int optionLines = 0;
    while (lineStart < text.size()) {
        const std::size_t lineEnd = text.find('\n', lineStart);
        const std::string line = text.substr(lineStart, lineEnd - lineStart);
        if (line.rfind(" ", 0) == 0) {
            ++optionLines;
            EXPECT_NE(line[43], ' ') << line;
            EXPECT_EQ(line[42], ' ') << line;
        }
        lineStart = lineEnd + 1;
    }
    EXPECT_EQ(optionLines, 17);
}

struct PassCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(const Email&)> check;
    std::string printed;
};

class OptionPass : public testing::TestWithParam<PassCase> {};

TEST_P(OptionPass, FillsTheMailJob) {
    Email job;
    testing::internal::CaptureStdout();
    applyOptions(GetParam().args, job);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), GetParam().printed);
    GetParam().check(job);
}

using L = StringList;

const PassCase passCases[] = {
    {"EveryValueOption",
     {"-c", "c.conf",      "-r", "raw.eml",    "-w", "/tmp/w", "-S",    "relay", "-P", "2525",
      "-t", "a@x, b@y",    "-f", "me@x",       "-s", "Hi",     "-m",    "text",  "-M", "body.txt",
      "-h", "example.org", "-A", "user:pa:ss", "-a", "x.pdf",  "y.txt", "-v"},
     [](const Email& e) {
         EXPECT_EQ(e.getConfigFile(), "c.conf");
         EXPECT_EQ(e.getRawFile(), "raw.eml");
         EXPECT_EQ(e.getWorkingDir(), "/tmp/w/");
         EXPECT_EQ(e.getServerName(), "relay");
         EXPECT_EQ(e.getServerPort(), "2525");
         EXPECT_EQ(e.getServerPortInt(), 25);
         EXPECT_EQ(e.getToList(), (L{"<a@x>", "<b@y>"}));
         EXPECT_EQ(e.getFromAddress(), "<me@x>");
         EXPECT_EQ(e.getSubject(), "Hi");
         EXPECT_EQ(e.getMessageText(), "text");
         EXPECT_EQ(e.getMessageFile(), "body.txt");
         EXPECT_EQ(e.getHeloName(), "example.org");
         EXPECT_EQ(e.getAuth(), "user:pa:ss");
         EXPECT_EQ(e.getAttachmentList(), (L{"x.pdf", "y.txt"}));
         EXPECT_TRUE(e.isVerbose());
     },
     ""},
    {"NothingGiven", {}, [](const Email& e) { EXPECT_FALSE(e.isVerbose()); }, ""},
    {"LettersAfterTheFirstIgnored",
     {"-verbose", "-to", "a@x", "-Server", "relay"},
     [](const Email& e) {
         EXPECT_TRUE(e.isVerbose());
         EXPECT_EQ(e.getToList(), L{"<a@x>"});
         EXPECT_EQ(e.getServerName(), "relay");
     },
     ""},
    {"ValueBeginningWithDashIsAlsoAnOption",
     {"-s", "-v"},
     [](const Email& e) {
         EXPECT_EQ(e.getSubject(), "-v");
         EXPECT_TRUE(e.isVerbose());
     },
     ""},
    {"ValueOptionLastIsIgnoredSilently",
     {"-v", "-S"},
     [](const Email& e) { EXPECT_EQ(e.getServerName(), ""); },
     ""},
    {"FromAlwaysBracketed",
     {"-f", "<me@x>"},
     [](const Email& e) { EXPECT_EQ(e.getFromAddress(), "<<me@x>>"); },
     ""},
    {"EmptyFromIsTwoBrackets",
     {"-f", ""},
     [](const Email& e) { EXPECT_EQ(e.getFromAddress(), "<>"); },
     ""},
    {"WorkingDirKeepsItsSlash",
     {"-w", "/srv/out/"},
     [](const Email& e) { EXPECT_EQ(e.getWorkingDir(), "/srv/out/"); },
     ""},
    {"EmptyWorkingDirStaysEmpty",
     {"-w", ""},
     [](const Email& e) { EXPECT_EQ(e.getWorkingDir(), ""); },
     ""},
    {"LaterOptionReplacesEarlier",
     {"-t", "a@x,b@y", "-t", "c@z", "-S", "one", "-S", "two"},
     [](const Email& e) {
         EXPECT_EQ(e.getToList(), L{"<c@z>"});
         EXPECT_EQ(e.getServerName(), "two");
     },
     ""},
    {"SeveralAttachmentOptionsAddUp",
     {"-a", "x", "y", "-v", "-a", "z"},
     [](const Email& e) {
         EXPECT_EQ(e.getAttachmentList(), (L{"x", "y", "z"}));
     },
     ""},
    {"AttachmentOptionWithoutFilesKeepsTheList",
     {"-a", "x", "-a", "-v"},
     [](const Email& e) {
         EXPECT_EQ(e.getAttachmentList(), L{"x"});
         EXPECT_TRUE(e.isVerbose());
     },
     ""},
    {"PortTextStoredUnchanged",
     {"-P", "25abc"},
     [](const Email& e) {
         EXPECT_EQ(e.getServerPort(), "25abc");
         EXPECT_EQ(e.getServerPortInt(), 25);
     },
     ""},
    {"UnknownLettersReported",
     {"-x", "--help", "-", "-Z"},
     [](const Email&) {},
     "Unrecognized parameter -x\nUnrecognized parameter --\nUnrecognized parameter -\n"
     "Unrecognized parameter -Z\n"},
    {"LaterVersionIsUnrecognised",
     {"-v", "--version"},
     [](const Email& e) { EXPECT_TRUE(e.isVerbose()); },
     "Unrecognized parameter --\n"},
    {"WordsWithoutDashIgnored",
     {"stray", "", "-v", "word"},
     [](const Email& e) { EXPECT_TRUE(e.isVerbose()); },
     ""},
    {"LettersAreCaseSensitive",
     {"-V", "-s", "subj", "-S", "srv"},
     [](const Email& e) {
         EXPECT_FALSE(e.isVerbose());
         EXPECT_EQ(e.getSubject(), "subj");
         EXPECT_EQ(e.getServerName(), "srv");
     },
     "Unrecognized parameter -V\n"},
};

INSTANTIATE_TEST_SUITE_P(Table, OptionPass, testing::ValuesIn(passCases),
                         [](const testing::TestParamInfo<PassCase>& caseInfo) {
                             return std::string(caseInfo.param.name);
                         });

} // namespace
