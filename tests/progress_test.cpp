// Progress reporting: what the Updater writes, and the values sendData reports per line.
#include "scriptedserver.h"
#include "smtpclient.h"
#include "updater.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

// Counts flushes, to tell a finished line from one that merely sits in the buffer.
class FlushCountingBuffer : public std::stringbuf {
  public:
    int flushes = 0;

  protected:
    int sync() override {
        ++flushes;
        return std::stringbuf::sync();
    }
};

// Sends standard output to a string for the life of the object.
class CapturedStdout {
  public:
    CapturedStdout() : saved(std::cout.rdbuf(captured.rdbuf())) {}
    ~CapturedStdout() { std::cout.rdbuf(saved); }
    std::string text() const { return captured.str(); }

  private:
    std::ostringstream captured;
    std::streambuf* saved;
};

struct UpdateCase {
    int value;
    const char* written;
    bool flushed;
};

class UpdaterOutput : public testing::TestWithParam<UpdateCase> {};

TEST_P(UpdaterOutput, WritesValueAndEndsTheLineOnlyAtOneHundred) {
    FlushCountingBuffer buffer;
    std::ostream out(&buffer);
    Updater(out).update(GetParam().value);
    EXPECT_EQ(buffer.str(), GetParam().written);
    EXPECT_EQ(buffer.flushes > 0, GetParam().flushed);
}

INSTANTIATE_TEST_SUITE_P(
    Values, UpdaterOutput,
    testing::Values(UpdateCase{0, "0%\r", false}, UpdateCase{42, "42%\r", false},
                    UpdateCase{99, "99%\r", false}, UpdateCase{100, "100%\r\n", true},
                    UpdateCase{101, "101%\r", false}, UpdateCase{-5, "-5%\r", false}));

TEST(UpdaterDefault, WritesToStandardOutput) {
    CapturedStdout captured;
    Updater().update(7);
    EXPECT_EQ(captured.text(), "7%\r");
}

// n - 1 lines of text and the final ".".
StringList message(std::size_t lines) {
    StringList text;
    for (std::size_t i = 1; i < lines; ++i) {
        text.push_back("line " + std::to_string(i));
    }
    text.emplace_back(".");
    return text;
}

std::string eachValueTwiceThenHundred() {
    std::string written;
    for (int value = 0; value < 100; ++value) {
        written += std::to_string(value) + "%\r" + std::to_string(value) + "%\r";
    }
    return written + "100%\r\n";
}

struct ProgressCase {
    std::size_t lines;
    std::string written;
};

class SendDataProgress : public testing::TestWithParam<ProgressCase> {};

TEST_P(SendDataProgress, ReportsOneValuePerLine) {
    ScriptedServer server;
    const unsigned short port = server.start();
    std::ostringstream out;
    Updater updater(out);
    SmtpClient client(34);
    client.setUpdater(&updater);
    client.connect("127.0.0.1", port);
    client.data();
    EXPECT_EQ(client.sendData(message(GetParam().lines)), "250 2.0.0 Ok: queued\r\n");
    EXPECT_EQ(out.str(), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Lines, SendDataProgress,
                         testing::Values(ProgressCase{1, "100%\r\n"},
                                         ProgressCase{2, "0%\r100%\r\n"},
                                         ProgressCase{4, "0%\r33%\r66%\r100%\r\n"},
                                         ProgressCase{5, "0%\r25%\r50%\r75%\r100%\r\n"},
                                         ProgressCase{201, eachValueTwiceThenHundred()}),
                         [](const testing::TestParamInfo<ProgressCase>& instance) {
                             return std::to_string(instance.param.lines);
                         });

TEST(SendDataProgressOff, WithoutUpdaterNothingIsWritten) {
    ScriptedServer server;
    const unsigned short port = server.start();
    CapturedStdout captured;
    SmtpClient client(34);
    client.connect("127.0.0.1", port);
    client.data();
    client.sendData(message(3));
    EXPECT_EQ(captured.text(), "");
}

// A greeting followed, after a pause, by a second reply: the empty transfer sends nothing and
// reads that second reply.
TEST(SendDataProgressOff, EmptyListReportsNothingAndReadsOneReply) {
    ScriptedServer server;
    server.split("CONNECT", {"220 hi\r\n", "250 next\r\n"});
    const unsigned short port = server.start();
    std::ostringstream out;
    Updater updater(out);
    {
        SmtpClient client(34);
        client.setUpdater(&updater);
        EXPECT_EQ(client.connect("127.0.0.1", port), "220 hi\r\n");
        EXPECT_EQ(client.sendData({}), "250 next\r\n");
    }
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(server.received(), "");
}

} // namespace
