// Sending a message straight from its file: the line count, the wire form and the progress must be
// exactly those of reading the file into lines (readFileToVector) and sending them (sendData).
#include "emailtestaccess.h"
#include "messagefile.h"
#include "process.h"
#include "scriptedserver.h"
#include "smtpclient.h"
#include "socketexception.h"
#include "updater.h"
#include "wirelines.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string operator""_b(const char* text, std::size_t length) {
    return std::string(text, length);
}

const std::size_t block = MessageFile::blockSize;

// Random lines of every kind of ending, long enough to cross many read blocks.
std::string mixedLines(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    const char* const endings[] = {"\n", "\r\n", "\r\r\n", "\r", ""};
    std::string bytes;
    while (bytes.size() < size) {
        bytes += std::string(generator() % 120, static_cast<char>('a' + generator() % 26));
        bytes += endings[generator() % 5];
    }
    return bytes;
}

// The file contents to compare on, with the line ends at and around block boundaries.
std::vector<std::string> samples() {
    std::vector<std::string> all = {
        "",           "a",     "a\n",           "a\nb",   "\n",  "a\n\n", "\r\n",
        "\n\n\n",     "a\r\n", "a\r\r\n",       "a\rb\n", "a\r", "\r",    "\xff\n\xff"_b,
        "a\0b\n\0"_b, ".\r\n", "x\r\n\r\n.\r\n"};
    for (const std::size_t at : {block - 2, block - 1, block, block + 1}) {
        all.push_back(std::string(at, 'x') + "\r\ny");
        all.push_back(std::string(at, 'x') + "\n\n");
        all.push_back(std::string(at, 'x') + "\r");
        all.push_back(std::string(at, 'x') + "\r\r\n");
    }
    all.push_back(mixedLines(3 * block + 12345, 1));
    all.push_back(std::string(2 * block, '\n'));
    all.push_back(std::string(2 * block, '\r') + "\n");
    return all;
}

StringList readLines(const std::string& path) {
    const Email job;
    StringList lines;
    EXPECT_EQ(EmailTestAccess::readFileToVector(job, path, lines), 1);
    return lines;
}

std::string wireOf(const StringList& lines) {
    std::string wire;
    for (const std::string& line : lines) {
        wire += line + "\r\n";
    }
    return wire;
}

// The whole of bytes through WireLines, handed over in pieces of pieceSize.
std::string wireInPieces(const std::string& bytes, std::size_t pieceSize,
                         std::size_t limit = static_cast<std::size_t>(-1)) {
    WireLines wire(limit);
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += pieceSize) {
        wire.append(bytes.data() + at, std::min(pieceSize, bytes.size() - at), out);
    }
    wire.finish(out);
    return out;
}

TEST(MessageFileLines, CountsWhatTheLineReaderReads) {
    TempDir dir;
    for (const std::string& bytes : samples()) {
        const std::string path = dir.write("message", bytes);
        MessageFile file;
        ASSERT_TRUE(file.open(path));
        ASSERT_TRUE(file.countLines());
        EXPECT_EQ(file.lineCount(), readLines(path).size()) << bytes.size() << " bytes";
    }
}

TEST(MessageFileLines, CountsLineFeeds) {
    EXPECT_EQ(MessageFile::countLineFeeds("", 0), 0u);
    EXPECT_EQ(MessageFile::countLineFeeds("a\r\nb\n\n", 6), 3u);
    const std::string many = mixedLines(5 * block, 7);
    EXPECT_EQ(MessageFile::countLineFeeds(many.data(), many.size()),
              static_cast<std::size_t>(std::count(many.begin(), many.end(), '\n')));
}

TEST(MessageFileLines, MissingFileDoesNotOpen) {
    TempDir dir;
    MessageFile file;
    EXPECT_FALSE(file.open(dir.file("missing")));
}

TEST(MessageFileLines, DirectoryOpensButCannotBeRead) {
    TempDir dir;
    MessageFile file;
    ASSERT_TRUE(file.open(dir.path()));
    EXPECT_FALSE(file.countLines());
}

TEST(MessageFileLines, StaysReadableAfterItsNameIsRemoved) {
    TempDir dir;
    const std::string path = dir.write("message", "a\nb\n");
    MessageFile file;
    ASSERT_TRUE(file.open(path));
    ASSERT_EQ(std::remove(path.c_str()), 0);
    ASSERT_TRUE(file.countLines());
    EXPECT_EQ(file.lineCount(), 2u);
    char first = 0;
    EXPECT_EQ(pread(file.descriptor(), &first, 1, 0), 1);
    EXPECT_EQ(first, 'a');
}

// A pipe can be read only once; its bytes are kept aside so that they can be sent after counting.
TEST(MessageFileLines, PipeIsCountedAndReadableAgain) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string bytes = mixedLines(block + 999, 3);
    std::thread writer([&] {
        EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(ends[1]);
    });
    MessageFile file;
    ASSERT_TRUE(file.open("/dev/fd/" + std::to_string(ends[0])));
    close(ends[0]);
    ASSERT_TRUE(file.countLines());
    writer.join();
    TempDir dir;
    EXPECT_EQ(file.lineCount(), readLines(dir.write("copy", bytes)).size());
    std::string copy(bytes.size(), '\0');
    EXPECT_EQ(pread(file.descriptor(), &copy[0], copy.size(), 0),
              static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(copy, bytes);
}

TEST(WireForm, IsEveryLineOfTheReaderWithCrLf) {
    TempDir dir;
    for (const std::string& bytes : samples()) {
        const std::string expected = wireOf(readLines(dir.write("message", bytes)));
        // Byte by byte only where that stays quick.
        const std::size_t smallest = bytes.size() < 4096 ? 1 : 997;
        for (const std::size_t pieceSize :
             {smallest, std::size_t{2} * smallest, block, bytes.size() + 1}) {
            EXPECT_EQ(wireInPieces(bytes, pieceSize), expected)
                << bytes.size() << " bytes in pieces of " << pieceSize;
        }
    }
}

TEST(WireForm, CountsTheLinesItEnds) {
    WireLines wire;
    std::string out;
    wire.append("a\r\nb\nc", 6, out);
    EXPECT_EQ(wire.linesDone(), 2u);
    wire.finish(out);
    EXPECT_EQ(wire.linesDone(), 3u);
    EXPECT_EQ(out, "a\r\nb\r\nc\r\n");
}

TEST(WireForm, StopsAtTheLineLimit) {
    EXPECT_EQ(wireInPieces("a\nb\nc\n", 100, 2), "a\r\nb\r\n");
    EXPECT_EQ(wireInPieces("a\nb\nc", 1, 2), "a\r\nb\r\n");
    EXPECT_EQ(wireInPieces("a\nb", 100, 2), "a\r\nb\r\n");
    EXPECT_EQ(wireInPieces("a\nb\n", 100, 0), "");
    WireLines wire(1);
    std::string out;
    wire.append("x\r\ny\n", 5, out);
    EXPECT_TRUE(wire.full());
    EXPECT_EQ(out, "x\r\n");
}

TEST(WireForm, AppendLineAddsCrLf) {
    std::string out = "start:";
    WireLines::appendLine("a\r", out);
    WireLines::appendLine("", out);
    EXPECT_EQ(out, "start:a\r\r\n\r\n");
}

TEST(UpdaterRuns, WriteTheSameBytesAsOneCallPerLine) {
    for (const int value : {0, 7, 42, 99, 100, -5}) {
        for (const std::size_t times : {0, 1, 2, 1000, 5000}) {
            std::ostringstream one;
            std::ostringstream run;
            for (std::size_t i = 0; i < times; ++i) {
                Updater(one).update(value);
            }
            Updater(run).update(value, times);
            EXPECT_EQ(run.str(), one.str()) << value << " x " << times;
        }
    }
}

struct Sent {
    std::string data;
    std::string progress;
};

// One session against the scripted server: DATA, then the message as send does it.
template <typename Send> Sent sendWith(Send send) {
    ScriptedServer server;
    const unsigned short port = server.start();
    std::ostringstream progress;
    Updater updater(progress);
    {
        SmtpClient client(34);
        client.setUpdater(&updater);
        client.connect("127.0.0.1", port);
        client.data();
        EXPECT_EQ(send(client), "250 2.0.0 Ok: queued\r\n");
        client.quit();
    }
    return {server.data(), progress.str()};
}

// n - 1 text lines and the final ".", as a file with mixed line ends.
std::string messageBytes(std::size_t lines) {
    std::string bytes;
    for (std::size_t i = 1; i < lines; ++i) {
        bytes += "line " + std::to_string(i) + (i % 3 == 0 ? "\n" : "\r\n");
    }
    return bytes + ".\r\n";
}

TEST(SendFile, SendsAndReportsExactlyWhatSendDataDoes) {
    TempDir dir;
    for (const std::size_t lines : {1, 2, 4, 5, 201, 40000}) {
        const std::string path = dir.write("message", messageBytes(lines));
        const StringList expectedLines = readLines(path);
        MessageFile file;
        ASSERT_TRUE(file.open(path));
        ASSERT_TRUE(file.countLines());
        const Sent fromList =
            sendWith([&](SmtpClient& client) { return client.sendData(expectedLines); });
        const Sent fromFile = sendWith([&](SmtpClient& client) {
            return client.sendFile(file.descriptor(), file.lineCount());
        });
        EXPECT_EQ(fromFile.data, wireOf(expectedLines)) << lines;
        EXPECT_EQ(fromFile.data, fromList.data) << lines;
        EXPECT_EQ(fromFile.progress, fromList.progress) << lines;
    }
}

TEST(SendFile, LargeMessageAcrossManyBlocksArrivesUnchanged) {
    TempDir dir;
    const std::string path = dir.write("message", mixedLines(4 * block + 77, 5) + "\r\n.\r\n");
    const StringList lines = readLines(path);
    MessageFile file;
    ASSERT_TRUE(file.open(path));
    ASSERT_TRUE(file.countLines());
    const Sent sent = sendWith(
        [&](SmtpClient& client) { return client.sendFile(file.descriptor(), file.lineCount()); });
    EXPECT_EQ(sent.data, wireOf(lines));
    std::ostringstream each;
    Updater updater(each);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        updater.update(static_cast<int>(i * 100 / (lines.size() - 1)));
    }
    EXPECT_EQ(sent.progress, each.str());
}

TEST(SendFile, EmptyFileSendsNothingAndReadsOneReply) {
    TempDir dir;
    MessageFile file;
    ASSERT_TRUE(file.open(dir.write("message", "")));
    ASSERT_TRUE(file.countLines());
    ScriptedServer server;
    server.split("CONNECT", {"220 hi\r\n", "250 next\r\n"});
    const unsigned short port = server.start();
    std::ostringstream progress;
    Updater updater(progress);
    {
        SmtpClient client(34);
        client.setUpdater(&updater);
        EXPECT_EQ(client.connect("127.0.0.1", port), "220 hi\r\n");
        EXPECT_EQ(client.sendFile(file.descriptor(), file.lineCount()), "250 next\r\n");
    }
    EXPECT_EQ(progress.str(), "");
    EXPECT_EQ(server.received(), "");
}

// More lines than the count made beforehand are never sent.
TEST(SendFile, SendsNoMoreLinesThanCounted) {
    TempDir dir;
    const std::string path = dir.write("message", "a\r\n.\r\nextra\r\n");
    const int fd = open(path.c_str(), O_RDONLY);
    const Sent sent = sendWith([&](SmtpClient& client) { return client.sendFile(fd, 2); });
    close(fd);
    EXPECT_EQ(sent.data, "a\r\n.\r\n");
    EXPECT_EQ(sent.progress, "0%\r100%\r\n");
}

TEST(SendFile, FileShorterThanCountedThrows) {
    TempDir dir;
    const std::string path = dir.write("message", "a\r\n");
    const int fd = open(path.c_str(), O_RDONLY);
    ScriptedServer server;
    const unsigned short port = server.start();
    SmtpClient client(34);
    client.connect("127.0.0.1", port);
    client.data();
    try {
        client.sendFile(fd, 3);
        ADD_FAILURE() << "no exception";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.errMsg(), "Problem encountered reading message file");
    }
    close(fd);
}

// Accepts one connection and, at that moment, lists the working directory.
class ListingListener {
  public:
    explicit ListingListener(const TempDir& dir) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        worker = std::thread([this, &dir] {
            const int fd = accept(listener, nullptr, nullptr);
            listed = dir.entries();
            const std::string bye = "421 closing\r\n";
            send(fd, bye.data(), bye.size(), MSG_NOSIGNAL);
            close(fd);
        });
    }
    ~ListingListener() {
        if (worker.joinable()) {
            worker.join();
        }
        close(listener);
    }
    ListingListener(const ListingListener&) = delete;
    ListingListener& operator=(const ListingListener&) = delete;

    // The directory entries seen when the connection came in.
    std::vector<std::string> entriesAtConnect() {
        worker.join();
        return listed;
    }

    unsigned short port = 0;

  private:
    int listener = -1;
    std::thread worker;
    std::vector<std::string> listed;
};

TEST(ComposedMessageFile, IsGoneBeforeTheConnection) {
    TempDir dir;
    const std::string attachment = dir.write("data.bin", std::string(300000, 'z'));
    ListingListener listener(dir);
    const RunResult run =
        runBrenvox({"-S", "127.0.0.1", "-P", std::to_string(listener.port), "-f", "me@x.test", "-t",
                    "you@y.test", "-m", "hi", "-a", attachment},
                   dir.path());
    EXPECT_EQ(listener.entriesAtConnect(), std::vector<std::string>{"data.bin"});
    EXPECT_EQ(run.status, 1) << run.out;
}

} // namespace
