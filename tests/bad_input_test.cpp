// Bad and awkward input: files that are missing, unreadable, empty or directories; working
// directories that cannot be used; bodies with dot lines, long lines and any byte; thousands of
// recipients; line breaks in every header-bound argument; and how the configuration file, the
// message sources and the checks before connecting fit together. Every run must end with the
// right line and status, send exactly what it should, and leave no message file behind.
#include "process.h"
#include "scriptedserver.h"
#include "sendcheck.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& instance) {
    return instance.param.name;
}

const Lines heloCommands = {"HELO localhost", "MAIL FROM: <me@x.test>", "RCPT TO: <you@y.test>",
                            "DATA", "QUIT"};

std::string operator""_b(const char* text, std::size_t length) {
    return std::string(text, length);
}

// text with every "{PORT}" replaced by port and every "{DIR}" by dir.
std::string withValues(std::string text, const std::string& port, const std::string& dir) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{PORT}", port},
                                     std::pair<std::string, std::string>{"{DIR}", dir}}) {
        for (std::size_t at = text.find(key); at != std::string::npos;
             at = text.find(key, at + value.size())) {
            text.replace(at, key.size(), value);
        }
    }
    return text;
}

Lines filledArgs(Lines args, const std::string& port, const std::string& dir) {
    for (std::string& arg : args) {
        arg = withValues(arg, port, dir);
    }
    return args;
}

// Fills "{PORT}" and "{DIR}" in every file of dir.
void fillFiles(const TempDir& dir, const std::string& port) {
    for (const std::string& name : dir.entries()) {
        dir.write(name, withValues(readWholeFile(dir.file(name)), port, dir.path()));
    }
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// ---- Running as a user who cannot read what root can --------------------------------------

constexpr unsigned int nobodyId = 65534;

// The command prefix that runs a program as nobody; empty when the tests already run unprivileged.
Lines asNobody() {
    if (geteuid() != 0) {
        return {};
    }
    return {"setpriv", "--reuid=" + std::to_string(nobodyId), "--regid=" + std::to_string(nobodyId),
            "--clear-groups", "--"};
}

// Why unreadable files cannot be tested here, or empty when they can: probes that the prefix
// works and really takes away the right to read a file of mode 0000.
std::string cannotDropReading(const TempDir& dir) {
    const std::string probe = dir.write("probe", "x");
    chmod(probe.c_str(), 0);
    Lines argv = asNobody();
    argv.insert(argv.end(), {"cat", probe});
    const RunResult run = runProgram(argv);
    std::remove(probe.c_str());
    if (run.status == 127 || run.status == -1) {
        return "cannot run a program as an unprivileged user (setpriv missing?)";
    }
    return run.status == 0 ? "an unprivileged user can still read a file of mode 0000" : "";
}

RunResult runBrenvoxAsNobody(const Lines& args, const std::string& workingDirectory) {
    Lines argv = asNobody();
    argv.emplace_back(BRENVOX_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, workingDirectory);
}

// ---- Files that cannot be used -------------------------------------------------------------

enum class Kind { missing, unreadable, empty, directory };

struct FileCase {
    const char* name;
    const char* option;
    Kind kind;
    std::string out; // "{DIR}" stands for the test directory; percentages left out
    int status;
};

// Printed as its name in test reports.
void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

const FileCase fileCases[] = {
    {"ConfigMissing", "-c", Kind::missing, "Error reading config file.\n", 1},
    {"ConfigUnreadable", "-c", Kind::unreadable, "Error reading config file.\n", 1},
    {"ConfigEmpty", "-c", Kind::empty, "Invalid config file.\n", 1},
    {"ConfigIsADirectory", "-c", Kind::directory, "Error reading config file.\n", 1},
    {"BodyFileMissing", "-M", Kind::missing, "Error reading message file.\n", 1},
    {"BodyFileUnreadable", "-M", Kind::unreadable, "Error reading message file.\n", 1},
    {"BodyFileEmptyGivesAnEmptyBody", "-M", Kind::empty, "", 0},
    {"BodyFileIsADirectory", "-M", Kind::directory, "Error reading message file.\n", 1},
    {"RawFileMissing", "-r", Kind::missing, "Error reading message file.\n", 1},
    {"RawFileUnreadable", "-r", Kind::unreadable, "Error reading message file.\n", 1},
    {"RawFileIsADirectory", "-r", Kind::directory, "Error reading message file.\n", 1},
    {"AttachmentMissing", "-a", Kind::missing, "Error reading attachment file {DIR}/input\n", 1},
    {"AttachmentUnreadable", "-a", Kind::unreadable, "Error reading attachment file {DIR}/input\n",
     1},
    {"AttachmentEmptyIsSent", "-a", Kind::empty, "", 0},
    {"AttachmentIsADirectory", "-a", Kind::directory, "Error reading attachment file {DIR}/input\n",
     1},
};

class UnusableFile : public testing::TestWithParam<FileCase> {};

TEST_P(UnusableFile, IsReportedBeforeAnythingIsSent) {
    const FileCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("input");
    Lines inputs = {"input"};
    switch (c.kind) {
    case Kind::missing:
        inputs.clear();
        break;
    case Kind::unreadable:
        if (const std::string why = cannotDropReading(dir); !why.empty()) {
            GTEST_SKIP() << why;
        }
        dir.write("input", "Subject: x\r\n\r\nsecret\r\n.\r\n");
        chmod(path.c_str(), 0);
        chmod(dir.path().c_str(), 0777); // the unprivileged run writes its message file here
        break;
    case Kind::empty:
        dir.write("input", "");
        break;
    case Kind::directory:
        mkdir(path.c_str(), 0755);
        break;
    }
    ScriptedServer server;
    const std::string port = std::to_string(server.start());
    const Lines args = {"-S", "127.0.0.1",  "-P", port, "-f",     "me@x.test",
                        "-t", "you@y.test", "-s", "s",  c.option, path};

    const RunResult run = c.kind == Kind::unreadable ? runBrenvoxAsNobody(args, dir.path())
                                                     : runBrenvox(args, dir.path());

    bool completed = false;
    EXPECT_EQ(withoutProgress(run.out, &completed), withValues(c.out, port, dir.path()));
    EXPECT_EQ(completed, c.status == 0);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(dir.entries(), inputs);
    if (c.status == 0) {
        EXPECT_EQ(server.commands(), heloCommands);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, UnusableFile, testing::ValuesIn(fileCases), caseName<FileCase>);

// ---- Working directories -------------------------------------------------------------------

struct WorkDirCase {
    const char* name;
    Lines args; // besides server, port, sender and recipient; "{DIR}" is the test directory
    bool unprivileged;
    std::string out;
    int status;
};

// Printed as its name in test reports.
void PrintTo(const WorkDirCase& c, std::ostream* os) {
    *os << c.name;
}

const WorkDirCase workDirCases[] = {
    {"Missing", {"-w", "{DIR}/nowhere", "-m", "x"}, false, "Error writing message file.\n", 1},
    {"NotWritable", {"-w", "{DIR}/readonly", "-m", "x"}, true, "Error writing message file.\n", 1},
    {"IsAFile", {"-w", "{DIR}/plain", "-m", "x"}, false, "Error writing message file.\n", 1},
    {"EmptyMeansTheCurrentDirectory", {"-w", "", "-m", "x"}, false, "", 0},
    {"UnusedForARawFile", {"-w", "{DIR}/nowhere", "-r", "{DIR}/plain"}, false, "", 0},
};

class WorkingDirectory : public testing::TestWithParam<WorkDirCase> {};

TEST_P(WorkingDirectory, ThatCannotTakeTheFileStopsTheRun) {
    const WorkDirCase& c = GetParam();
    TempDir dir;
    if (c.unprivileged) {
        if (const std::string why = cannotDropReading(dir); !why.empty()) {
            GTEST_SKIP() << why;
        }
    }
    dir.write("plain", "Subject: p\r\n\r\nplain\r\n.\r\n");
    mkdir(dir.file("readonly").c_str(), 0555);
    chmod(dir.path().c_str(), 0755);
    ScriptedServer server;
    const std::string port = std::to_string(server.start());
    Lines args = {"-S", "127.0.0.1", "-P", port, "-f", "me@x.test", "-t", "you@y.test"};
    const Lines extra = filledArgs(c.args, port, dir.path());
    args.insert(args.end(), extra.begin(), extra.end());

    const RunResult run =
        c.unprivileged ? runBrenvoxAsNobody(args, dir.path()) : runBrenvox(args, dir.path());

    EXPECT_EQ(withoutProgress(run.out), c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(dir.entries(), (Lines{"plain", "readonly"}));
    EXPECT_EQ(listDirectory(dir.file("readonly")), Lines{});
    if (c.status == 0) {
        EXPECT_EQ(server.commands(), heloCommands);
    }
}

INSTANTIATE_TEST_SUITE_P(Directories, WorkingDirectory, testing::ValuesIn(workDirCases),
                         caseName<WorkDirCase>);

// ---- What goes out after DATA --------------------------------------------------------------

const std::string longLine(10000, 'L');

struct ContentCase {
    const char* name;
    // Extra arguments (the message source), after writing any file they name into dir.
    std::function<Lines(const TempDir&)> source;
    std::string wire; // bytes that must appear in the data, or the whole data when exact
    bool exact;
};

// Printed as its name in test reports.
void PrintTo(const ContentCase& c, std::ostream* os) {
    *os << c.name;
}

const ContentCase contentCases[] = {
    {"DotLinesInTextOptionAreStuffed",
     [](const TempDir&) {
         return Lines{"-m", ".\n..\n.x\nx.\n"};
     },
     "\r\n..\r\n...\r\n..x\r\nx.\r\n\r\n", false},
    {"DotLinesInBodyFileAreStuffed",
     [](const TempDir& d) {
         return Lines{"-M", d.write("body.txt", ".\n..\r\n.x\nx.\n")};
     },
     "\r\n..\r\n...\r\n..x\r\nx.\r\n", false},
    {"DotLinesInConfigBodyAreStuffed",
     [](const TempDir& d) {
         return Lines{"-c", d.write("cfg", "127.0.0.1:{PORT}\nlocalhost\nme@x.test\nyou@y.test\n"
                                           "s\n.\n..\n.x\n")};
     },
     "\r\n..\r\n...\r\n..x\r\n", false},
    {"CarriageReturnDotInTextCannotEndTheData",
     [](const TempDir&) {
         return Lines{"-m", "a\r\n.\r\nQUIT"};
     },
     "\r\na\r\r\n..\r\r\nQUIT\r\n", false},
    {"RawLinesGoAsTheyStand",
     [](const TempDir& d) {
         return Lines{"-r", d.write("raw", "Subject: r\r\n\r\n.x\r\n..\r\nend\r\n.\r\n")};
     },
     "Subject: r\r\n\r\n.x\r\n..\r\nend\r\n.\r\n", true},
    {"RawFileWithoutFinalLineFeed",
     [](const TempDir& d) {
         return Lines{"-r", d.write("raw", "Subject: r\r\n\r\nbody\r\n.")};
     },
     "Subject: r\r\n\r\nbody\r\n.\r\n", true},
    {"RawFileWithLineFeedsOnly",
     [](const TempDir& d) {
         return Lines{"-r", d.write("raw", "Subject: r\n\nbody\n.\n")};
     },
     "Subject: r\r\n\r\nbody\r\n.\r\n", true},
    {"LongLineInTextOption",
     [](const TempDir&) {
         return Lines{"-m", longLine};
     },
     "\r\n" + longLine + "\r\n", false},
    {"LongLineInRawFile",
     [](const TempDir& d) {
         return Lines{"-r", d.write("raw", longLine + "\n.\n")};
     },
     longLine + "\r\n.\r\n", true},
    {"NulAndHighBytesInBodyFile",
     [](const TempDir& d) {
         return Lines{"-M", d.write("body.bin", "a\0b\x80\xfe\xff\n\0\n\xff"_b)};
     },
     "\r\na\0b\x80\xfe\xff\r\n\0\r\n\xff\r\n"_b, false},
    {"HighBytesInTextOption",
     [](const TempDir&) {
         return Lines{"-m", "caf\xc3\xa9 \x80\xff"};
     },
     "\r\ncaf\xc3\xa9 \x80\xff\r\n", false},
};

class MessageContent : public testing::TestWithParam<ContentCase> {};

TEST_P(MessageContent, ArrivesWithDotsStuffedAndEveryByteKept) {
    const ContentCase& c = GetParam();
    TempDir dir;
    ScriptedServer server;
    const std::string port = std::to_string(server.start());
    Lines args = {"-S", "127.0.0.1", "-P", port, "-f", "me@x.test", "-t", "you@y.test"};
    const Lines source = filledArgs(c.source(dir), port, dir.path());
    fillFiles(dir, port);
    args.insert(args.end(), source.begin(), source.end());
    const Lines inputs = dir.entries();

    const RunResult run = runBrenvox(args, dir.path());

    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(server.commands(), heloCommands);
    const std::string data = server.data();
    if (c.exact) {
        EXPECT_EQ(data, c.wire);
    } else {
        EXPECT_NE(data.find(c.wire), std::string::npos) << data;
        EXPECT_TRUE(endsWith(data, "\r\n.\r\n"));
        EXPECT_EQ(data.find("\r\n.\r\n"), data.size() - 5) << "the data ends early";
    }
    EXPECT_EQ(dir.entries(), inputs);
}

INSTANTIATE_TEST_SUITE_P(Bodies, MessageContent, testing::ValuesIn(contentCases),
                         caseName<ContentCase>);

// The base64 text of the part for the attachment named name, as sent.
std::string attachmentText(const std::string& data, const std::string& name) {
    const std::string head = "\tfilename=\"" + name + "\"\r\n\r\n";
    const std::size_t start = data.find(head);
    if (start == std::string::npos) {
        return "<no part for " + name + ">";
    }
    const std::size_t from = start + head.size();
    const std::size_t end = data.find("\r\n--", from);
    return data.substr(from, end - from);
}

TEST(Attachments, ArriveByteExactAfterDecoding) {
    TempDir dir;
    std::string everyByte;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) {
            everyByte += static_cast<char>(b);
        }
    }
    std::mt19937 random(7);
    std::string noise(100001, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random() & 0xFFU);
    }
    const std::vector<std::pair<std::string, std::string>> files = {
        {"every.bin", everyByte},
        {"noise.dat", noise},
        {"nul.bin", std::string(1, '\0')},
        {"line.bin", std::string(57, '\xff')},
        {"empty.bin", ""},
        {"dots.txt", ".\n..\r\n.\r\n"},
    };
    ScriptedServer server;
    const std::string port = std::to_string(server.start());
    Lines args = {"-S", "127.0.0.1", "-P", port, "-f", "me@x.test", "-t", "you@y.test", "-a"};
    for (const auto& [name, bytes] : files) {
        args.push_back(dir.write(name, bytes));
    }

    const RunResult run = runBrenvox(args, dir.path());

    ASSERT_EQ(run.status, 0) << run.out;
    const std::string data = server.data();
    for (const auto& [name, bytes] : files) {
        const std::string text = attachmentText(data, name);
        std::string decoded;
        EXPECT_TRUE(base64Decode(text, decoded)) << name;
        EXPECT_EQ(decoded, bytes) << name;
        std::size_t lineStart = 0;
        for (std::size_t end = text.find("\r\n"); end != std::string::npos;
             end = text.find("\r\n", lineStart)) {
            EXPECT_LE(end - lineStart, 76U) << name;
            lineStart = end + 2;
        }
        EXPECT_EQ(lineStart, text.size()) << name << ": every line ends in CR LF";
    }
    EXPECT_EQ(dir.entries().size(), files.size());
}

TEST(Recipients, FiveThousandAreEachAskedForInOrder) {
    constexpr int count = 5000;
    std::string list;
    Lines expected = {"HELO localhost", "MAIL FROM: <me@x.test>"};
    std::string toHeader = "To: ";
    for (int i = 0; i < count; ++i) {
        const std::string address = "r" + std::to_string(i) + "@x.test";
        list += (i == 0 ? "" : ", ") + address;
        expected.push_back("RCPT TO: <" + address + ">");
        toHeader += (i == 0 ? "<" : ", <") + address + ">";
    }
    expected.insert(expected.end(), {"DATA", "QUIT"});
    TempDir dir;
    ScriptedServer server;
    const std::string port = std::to_string(server.start());

    const RunResult run = runBrenvox(
        {"-S", "127.0.0.1", "-P", port, "-f", "me@x.test", "-t", list, "-m", "many"}, dir.path());

    EXPECT_EQ(run.status, 0) << run.out.substr(0, 500);
    EXPECT_EQ(server.commands(), expected);
    EXPECT_NE(server.data().find("\r\n" + toHeader + "\r\n"), std::string::npos);
    EXPECT_EQ(dir.entries(), Lines{});
}

// ---- Line breaks in what goes into commands and headers ------------------------------------

struct BreakCase {
    const char* name;
    Lines args; // after "-S 127.0.0.1 -P {PORT}" unless the case names its own server
    std::string out;
    int status;
};

// Printed as its name in test reports.
void PrintTo(const BreakCase& c, std::ostream* os) {
    *os << c.name;
}

const char* const configWithFromCr =
    "127.0.0.1:{PORT}\nlocalhost\nme@x.test\r\r\nyou@y.test\ns\nb\n";
const char* const configWithSubjectCr =
    "127.0.0.1:{PORT}\nlocalhost\nme@x.test\nyou@y.test\nHi\r\r\nb\n";

const Lines plainJob = {"-f", "me@x.test", "-t", "you@y.test", "-s", "Subject", "-m", "body"};

Lines jobWith(const Lines& changes) {
    Lines args = plainJob;
    args.insert(args.end(), changes.begin(), changes.end()); // later options win
    return args;
}

const BreakCase breakCases[] = {
    {"FromWithLineFeed", jobWith({"-f", "me@x.test>\r\nRCPT TO:<evil@x.test"}),
     "Aborting - line break in From address.\n", 1},
    {"FromWithCarriageReturn", jobWith({"-f", "me@x.test\r"}),
     "Aborting - line break in From address.\n", 1},
    {"RecipientWithLineFeed", jobWith({"-t", "you@y.test, a\n@b.test"}),
     "Aborting - line break in recipient address.\n", 1},
    {"RecipientWithCarriageReturn", jobWith({"-t", "you@y.test\r"}),
     "Aborting - line break in recipient address.\n", 1},
    {"HeloWithLineFeed", jobWith({"-h", "host\nMAIL FROM:<x@x.test>"}),
     "Aborting - line break in HELO domain.\n", 1},
    {"HeloWithCarriageReturn", jobWith({"-h", "host\r"}), "Aborting - line break in HELO domain.\n",
     1},
    {"UserNameWithLineFeed", jobWith({"-A", "us\ner:pass"}),
     "Aborting - line break in credentials.\n", 1},
    {"PasswordWithCarriageReturn", jobWith({"-A", "user:pa\rss"}),
     "Aborting - line break in credentials.\n", 1},
    {"SubjectWithLineFeed", jobWith({"-s", "Hi\nBcc: evil@x.test"}),
     "Aborting - line break in subject.\n", 1},
    {"SubjectWithCarriageReturn", jobWith({"-s", "Hi\r"}), "Aborting - line break in subject.\n",
     1},
    {"SubjectIsNotCheckedForARawFile", jobWith({"-s", "Hi\nthere", "-r", "{DIR}/raw"}), "", 0},
    {"FromIsCheckedBeforeSubject", jobWith({"-s", "a\nb", "-f", "c\nd"}),
     "Aborting - line break in From address.\n", 1},
    {"RecipientIsCheckedBeforeHelo", jobWith({"-h", "a\nb", "-t", "c\nd"}),
     "Aborting - line break in recipient address.\n", 1},
    {"HeloIsCheckedBeforeCredentials", jobWith({"-A", "a\nb:c", "-h", "c\nd"}),
     "Aborting - line break in HELO domain.\n", 1},
    {"CredentialsAreCheckedBeforeSubject", jobWith({"-s", "a\nb", "-A", "c:\nd"}),
     "Aborting - line break in credentials.\n", 1},
    {"MissingServerIsReportedFirst",
     {"-S", "", "-f", "a\nb", "-t", "c\nd"},
     "Aborting - no server defined.\n",
     1},
    {"MissingSenderIsReportedBeforeBreaks",
     {"-t", "c\nd", "-h", "e\nf"},
     "Aborting - no From address defined.\n",
     1},
    {"ConfigSenderWithCarriageReturn",
     {"-c", "{DIR}/from.cfg"},
     "serverport = {PORT}  serverPortInt = {PORT}\nAborting - line break in From address.\n",
     1},
    {"ConfigSubjectWithCarriageReturn",
     {"-c", "{DIR}/subject.cfg"},
     "serverport = {PORT}  serverPortInt = {PORT}\nAborting - line break in subject.\n",
     1},
};

class LineBreak : public testing::TestWithParam<BreakCase> {};

TEST_P(LineBreak, IsRefusedBeforeConnecting) {
    const BreakCase& c = GetParam();
    TempDir dir;
    ScriptedServer server;
    const std::string port = std::to_string(server.start());
    dir.write("raw", "Subject: r\r\n\r\nraw\r\n.\r\n");
    dir.write("from.cfg", withValues(configWithFromCr, port, ""));
    dir.write("subject.cfg", withValues(configWithSubjectCr, port, ""));
    const Lines inputs = dir.entries();
    Lines args = {"-S", "127.0.0.1", "-P", port};
    const Lines own = filledArgs(c.args, port, dir.path());
    args.insert(args.end(), own.begin(), own.end());

    const RunResult run = runBrenvox(args, dir.path());

    EXPECT_EQ(withoutProgress(run.out), withValues(c.out, port, ""));
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(dir.entries(), inputs);
    if (c.status == 0) {
        EXPECT_EQ(server.commands(), heloCommands);
    }
}

INSTANTIATE_TEST_SUITE_P(Arguments, LineBreak, testing::ValuesIn(breakCases), caseName<BreakCase>);

// A file name may hold line breaks too; it goes into the part headers of the message.
TEST(LineBreakInAttachmentName, IsRefusedBeforeConnecting) {
    TempDir dir;
    const std::string evil = dir.write("x\n.\nNOOP", "payload");

    // No server listens: the run must stop before it would try to connect.
    const RunResult run = runBrenvox({"-S", "127.0.0.1", "-P", "1", "-f", "me@x.test", "-t",
                                      "you@y.test", "-m", "body", "-a", evil},
                                     dir.path());

    EXPECT_EQ(run.out, "Aborting - line break in attachment name.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(dir.entries(), Lines{"x\n.\nNOOP"});
}

// ---- Preparing the message: configuration file, sources, checks ----------------------------

const char* const fullConfig =
    "127.0.0.1:{PORT}\ncfg.helo\ncfg@x.test\ncfg-to@y.test, cfg-too@y.test\nCfg subject\n"
    "cfg body\n";

// Sender, recipient and subject, then extra.
Lines withJob(const Lines& extra) {
    Lines args = {"-f", "me@x.test", "-t", "you@y.test", "-s", "s"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct PrepCase {
    const char* name;
    // After "-S 127.0.0.1 -P {PORT}"; may write files. "{PORT}" and "{DIR}" are filled in.
    std::function<Lines(const TempDir&)> args;
    std::string out; // percentages left out
    int status;
    Lines commands;   // only when the run connects
    std::string data; // must appear in the data, when the run delivers
};

// Printed as its name in test reports.
void PrintTo(const PrepCase& c, std::ostream* os) {
    *os << c.name;
}

const Lines cfgCommands = {"HELO cfg.helo",
                           "MAIL FROM: <cfg@x.test>",
                           "RCPT TO: <cfg-to@y.test>",
                           "RCPT TO: <cfg-too@y.test>",
                           "DATA",
                           "QUIT"};

const PrepCase prepCases[] = {
    {"ConfigPortLineShowsBothValues",
     [](const TempDir& d) {
         return Lines{"-c", d.write("c", fullConfig)};
     },
     "serverport = {PORT}  serverPortInt = {PORT}\n", 0, cfgCommands,
     "\r\nSubject: Cfg subject\r\n"},
    {"ConfigWithoutPortKeepsTheCommandLinePort",
     [](const TempDir& d) {
         return Lines{"-c", d.write("c", "127.0.0.1\ncfg.helo\ncfg@x.test\ncfg-to@y.test, "
                                         "cfg-too@y.test\nCfg subject\ncfg body\n")};
     },
     "set serverPortInt to 25\n", 0, cfgCommands, "\r\ncfg body\r\n"},
    {"ConfigPortBeatsTheCommandLinePort",
     [](const TempDir& d) {
         return Lines{"-P", "1", "-c", d.write("c", fullConfig)};
     },
     "serverport = {PORT}  serverPortInt = {PORT}\n", 0, cfgCommands, "\r\ncfg body\r\n"},
    {"ConfigHeaderLinesOverrideTheCommandLine",
     [](const TempDir& d) {
         return withJob(
             {"-S", "elsewhere.invalid", "-h", "cli.helo", "-c", d.write("c", fullConfig)});
     },
     "serverport = {PORT}  serverPortInt = {PORT}\n", 0, cfgCommands,
     "\r\nFrom: <cfg@x.test>\r\nTo: <cfg-to@y.test>, <cfg-too@y.test>\r\nSubject: Cfg subject\r\n"},
    {"EmptyHeloLineMeansLocalhost",
     [](const TempDir& d) {
         return Lines{"-h", "cli.helo", "-c",
                      d.write("c", "127.0.0.1:{PORT}\n\nme@x.test\nyou@y.test\ns\n\n")};
     },
     "serverport = {PORT}  serverPortInt = {PORT}\n", 0, heloCommands, "\r\nSubject: s\r\n"},
    {"FiveLinesAreAnInvalidConfig",
     [](const TempDir& d) {
         return Lines{"-c", d.write("c", "127.0.0.1:{PORT}\nh\nme@x.test\nyou@y.test\ns\n")};
     },
     "serverport = {PORT}  serverPortInt = {PORT}\nInvalid config file.\n",
     1,
     {},
     ""},
    {"FiveLinesAndAnEmptySixthAreValid",
     [](const TempDir& d) {
         return Lines{"-c", d.write("c", "127.0.0.1:{PORT}\nlocalhost\nme@x.test\nyou@y.test\n"
                                         "s\n\n")};
     },
     "serverport = {PORT}  serverPortInt = {PORT}\n", 0, heloCommands, "\r\nSubject: s\r\n"},
    {"ColonFirstInConfigNamesNoServer",
     [](const TempDir& d) {
         return Lines{"-c", d.write("c", ":{PORT}\nh\nme@x.test\nyou@y.test\ns\nb\n")};
     },
     "set serverPortInt to 25\nAborting - no server defined.\n",
     1,
     {},
     ""},
    {"RawFileBeatsTextAndBodyFile",
     [](const TempDir& d) {
         return withJob({"-m", "text", "-M", d.file("missing"), "-r",
                         d.write("raw", "Subject: raw\r\n\r\nraw body\r\n.\r\n")});
     },
     "", 0, heloCommands, "Subject: raw\r\n\r\nraw body\r\n.\r\n"},
    {"TextBeatsBodyFileWhichIsNotOpened",
     [](const TempDir& d) {
         return withJob({"-M", d.file("missing"), "-m", "the text"});
     },
     "", 0, heloCommands, "\r\nthe text\r\n"},
    {"BodyFileUsedWithoutText",
     [](const TempDir& d) {
         return withJob({"-M", d.write("body", "first\nsecond\n")});
     },
     "", 0, heloCommands, "\r\nfirst\r\nsecond\r\n"},
    {"ConfigBodyComesBeforeText",
     [](const TempDir& d) {
         return Lines{"-m", "from text", "-c",
                      d.write("c", "127.0.0.1:{PORT}\nlocalhost\nme@x.test\nyou@y.test\ns\n"
                                   "from config\n")};
     },
     "serverport = {PORT}  serverPortInt = {PORT}\n", 0, heloCommands,
     "\r\nfrom config\r\nfrom text\r\n"},
    {"NoServerIsCheckedFirst",
     [](const TempDir&) {
         return withJob({"-S", ""});
     },
     "Aborting - no server defined.\n",
     1,
     {},
     ""},
    {"NoRecipientIsCheckedSecond",
     [](const TempDir&) {
         return Lines{"-f", "me@x.test"};
     },
     "Aborting - no recipients defined.\n",
     1,
     {},
     ""},
    {"NoSenderIsCheckedThird",
     [](const TempDir&) {
         return Lines{"-t", "you@y.test"};
     },
     "Aborting - no From address defined.\n",
     1,
     {},
     ""},
    {"ChecksComeAfterComposing",
     [](const TempDir&) {
         return Lines{"-v", "-f", "me@x.test"};
     },
     "* Creating message file.\nAborting - no recipients defined.\n",
     1,
     {},
     ""},
    {"PortWithTrailingLettersUsesItsDigits",
     [](const TempDir&) {
         return withJob({"-m", "body", "-P", "{PORT}abc"});
     },
     "", 0, heloCommands, "\r\nbody\r\n"},
};

class Preparation : public testing::TestWithParam<PrepCase> {};

TEST_P(Preparation, SettlesTheJobBeforeConnecting) {
    const PrepCase& c = GetParam();
    TempDir dir;
    ScriptedServer server;
    const std::string port = std::to_string(server.start());
    const Lines own = filledArgs(c.args(dir), port, dir.path());
    fillFiles(dir, port);
    const Lines inputs = dir.entries();
    Lines args = {"-S", "127.0.0.1", "-P", port};
    args.insert(args.end(), own.begin(), own.end());

    const RunResult run = runBrenvox(args, dir.path());

    bool completed = false;
    EXPECT_EQ(withoutProgress(run.out, &completed), withValues(c.out, port, dir.path()));
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(completed, c.status == 0);
    EXPECT_EQ(dir.entries(), inputs);
    if (!c.commands.empty()) {
        EXPECT_EQ(server.commands(), c.commands);
        EXPECT_NE(server.data().find(c.data), std::string::npos) << server.data();
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, Preparation, testing::ValuesIn(prepCases), caseName<PrepCase>);

// ---- The same preparation in-process: fields the binary does not show ---------------------

struct MergeCase {
    const char* name;
    std::string config;
    int result;
    std::string printed;
    std::string server;
    std::string portText; // the command line gave "587"
    int port;
    std::string helo;
    StringList to;
    StringList body;
};

// Printed as its name in test reports.
void PrintTo(const MergeCase& c, std::ostream* os) {
    *os << c.name;
}

const MergeCase mergeCases[] = {
    {"PortAfterTheColon",
     "relay:2525\nh\nf\nt1, t2\ns\nb1\nb2\n",
     0,
     "serverport = 2525  serverPortInt = 2525\n",
     "relay",
     "2525",
     2525,
     "h",
     {"<t1>", "<t2>"},
     {"b1", "b2"}},
    {"LastColonSplits",
     "a:b:25\nh\nf\nt\ns\n\n",
     0,
     "serverport = 25  serverPortInt = 25\n",
     "a:b",
     "25",
     25,
     "h",
     {"<t>"},
     {""}},
    {"NoColonKeepsThePortText",
     "relay\nh\nf\nt\ns\nb\n",
     0,
     "set serverPortInt to 25\n",
     "relay",
     "587",
     25,
     "h",
     {"<t>"},
     {"b"}},
    {"ColonLastGivesPortZero",
     "relay:\nh\nf\nt\ns\nb\n",
     0,
     "serverport =   serverPortInt = 0\n",
     "relay",
     "",
     0,
     "h",
     {"<t>"},
     {"b"}},
    {"ColonFirstNamesNoServer",
     ":25\nh\nf\nt\ns\nb\n",
     0,
     "set serverPortInt to 25\n",
     "",
     "587",
     25,
     "h",
     {"<t>"},
     {"b"}},
    {"PortTextWithTrailingLetters",
     "relay:25abc\n\nf\n\ns\nb\n",
     0,
     "serverport = 25abc  serverPortInt = 25\n",
     "relay",
     "25abc",
     25,
     "",
     {},
     {"b"}},
    {"FiveLinesAreInvalid",
     "relay:25\nh\nf\nt\ns\n",
     1,
     "serverport = 25  serverPortInt = 25\nInvalid config file.\n",
     "cli",
     "25",
     25,
     "cli",
     {},
     {}},
    {"EmptyFileIsInvalid", "", 1, "Invalid config file.\n", "cli", "587", 25, "cli", {}, {}},
};

class ConfigMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(ConfigMerge, TakesHeaderLinesAndLeavesTheBody) {
    const MergeCase& c = GetParam();
    TempDir dir;
    Email job;
    job.setServerName("cli");
    job.setServerPort("587");
    job.setHeloName("cli");
    job.setConfigFile(dir.write("c", c.config));
    StringList body;

    testing::internal::CaptureStdout();
    const int result = EmailTestAccess::mergeConfigFile(job, body);
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(printed, c.printed);
    EXPECT_EQ(job.getServerPort(), c.portText);
    EXPECT_EQ(job.getServerPortInt(), c.port);
    if (c.result == 0) {
        EXPECT_EQ(job.getServerName(), c.server);
        EXPECT_EQ(job.getHeloName(), c.helo);
        EXPECT_EQ(job.getFromAddress(), "<f>");
        EXPECT_EQ(job.getToList(), c.to);
        EXPECT_EQ(job.getSubject(), "s");
        EXPECT_EQ(body, c.body);
    } else {
        EXPECT_EQ(job.getServerName(), "cli");
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ConfigMerge, testing::ValuesIn(mergeCases), caseName<MergeCase>);

struct PortCase {
    const char* name;
    const char* text;
    int port;
};

// Printed as its name in test reports.
void PrintTo(const PortCase& c, std::ostream* os) {
    *os << c.name;
}

const PortCase portCases[] = {
    {"TrailingLettersIgnored", "25abc", 25},
    {"NoDigitsGiveZero", "abc", 0},
    {"LeadingBlanksSkipped", " \t587", 587},
    {"PlusSign", "+2525", 2525},
    {"MinusSign", "-1", -1},
    {"EmptyKeepsTheDefault", "", 25},
    {"HugeSaturates", "99999999999", INT_MAX},
    {"HugeNegativeSaturates", "-99999999999", INT_MIN},
};

class PortText : public testing::TestWithParam<PortCase> {};

TEST_P(PortText, BecomesThePortNumberBeforeTheChecks) {
    TempDir dir;
    Email job;
    job.setServerName("127.0.0.1");
    job.setServerPort(GetParam().text);
    job.setFromAddress("<me@x.test>");
    job.setWorkingDir(dir.path() + "/");
    job.setMessageText("x");

    const InProcessRun run = runSendMail(job);

    EXPECT_EQ(run.out, "Aborting - no recipients defined.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(job.getServerPortInt(), GetParam().port);
    EXPECT_EQ(dir.entries(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(Ports, PortText, testing::ValuesIn(portCases), caseName<PortCase>);

// ---- A message file that cannot be written in full -----------------------------------------

// Holds the file size limit down (with SIGXFSZ ignored, so a write past it fails with EFBIG)
// for the life of the object.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous = signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previous);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved{};
    void (*previous)(int) = SIG_DFL;
};

TEST(MessageFileWrite, FailureStopsTheRunBeforeSending) {
    TempDir dir;
    ScriptedServer server;
    Email job;
    job.setServerName("127.0.0.1");
    job.setServerPort(std::to_string(server.start()));
    job.setFromAddress("<me@x.test>");
    job.setToList("you@y.test");
    job.setWorkingDir(dir.path() + "/");
    job.setMessageText(std::string(200000, 'w'));

    InProcessRun run;
    {
        const FileSizeLimit limit(64 * 1024);
        run = runSendMail(job);
    }

    EXPECT_EQ(run.out, "Error writing message file.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_LT(run.seconds, 2.5);
    EXPECT_EQ(dir.entries(), Lines{});
}

} // namespace
