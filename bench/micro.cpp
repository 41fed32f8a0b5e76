// Micro-benchmarks of the hot paths of a large send, each reporting bytes per
// second: the attachment base64 encoder, the line file readers (the body text
// scan and write, and the one that counts lines and turns them into wire
// form), the progress display and the reply reader.
#include "base64.h"
#include "bodytext.h"
#include "linesplitter.h"
#include "messagefile.h"
#include "smtpclient.h"
#include "updater.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

namespace {

// A file of random bytes under /tmp, removed again at the end of the run.
class ScratchFile {
  public:
    explicit ScratchFile(const std::string& bytes) {
        char name[] = "/tmp/brenvox-micro-XXXXXX";
        const int fd = mkstemp(name);
        path = name;
        FILE* out = fdopen(fd, "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    }
    ~ScratchFile() { std::remove(path.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    std::string path;
};

std::string randomBytes(std::size_t size) {
    std::mt19937_64 generator(42);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

// What the message file mostly holds: base64 lines of 76 characters and CR LF.
std::string base64Lines(std::size_t size) {
    const std::string line = std::string(76, 'Q') + "\r\n";
    std::string text;
    text.reserve(size + line.size());
    while (text.size() < size) {
        text += line;
    }
    return text;
}

void base64FileEncoder(benchmark::State& state) {
    const ScratchFile input(randomBytes(static_cast<std::size_t>(state.range(0))));
    Base64FileEncoder encoder;
    FILE* sinkFile = std::fopen("/dev/null", "wb");
    for (auto _ : state) {
        benchmark::DoNotOptimize(encoder.encode(input.path, sinkFile));
    }
    std::fclose(sinkFile);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(base64FileEncoder)->Arg(1 << 20)->Arg(16 << 20);

// A body file scanned, then written as the text part (7bit).
void bodyText(benchmark::State& state) {
    const ScratchFile input(base64Lines(static_cast<std::size_t>(state.range(0))));
    FILE* sinkFile = std::fopen("/dev/null", "wb");
    for (auto _ : state) {
        TextFile file;
        file.open(input.path);
        BodyText body;
        body.addFile(std::move(file), 0);
        benchmark::DoNotOptimize(body.write(sinkFile));
    }
    std::fclose(sinkFile);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(bodyText)->Arg(1 << 20)->Arg(16 << 20);

// The pass over the message file before sending: read it once, count its lines.
void lineCounter(benchmark::State& state) {
    const ScratchFile input(base64Lines(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        MessageFile file;
        file.open(input.path);
        file.countLines();
        benchmark::DoNotOptimize(file.lineCount());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(lineCounter)->Arg(1 << 20)->Arg(16 << 20);

// File bytes to wire form, block by block as the sender hands them over; the
// second argument is 1 for lines ending in LF alone, which all need a CR.
void wireForm(benchmark::State& state) {
    std::string bytes = base64Lines(MessageFile::blockSize);
    if (state.range(0) == 1) {
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
    }
    std::string out;
    out.reserve(2 * bytes.size());
    struct WireSink {
        std::string& out;
        void piece(const char* begin, const char* end) { out.append(begin, end); }
        void lineEnd() { out += "\r\n"; }
    };
    for (auto _ : state) {
        LineSplitter splitter;
        WireSink wire{out};
        out.clear();
        splitter.feed(bytes.data(), bytes.size(), wire);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(wireForm)->Arg(0)->Arg(1);

// One progress value per line of a 64 MiB attachment's message, in runs.
void progressRuns(benchmark::State& state) {
    const std::size_t lines = 1179488;
    std::ostringstream sink;
    const Updater updater(sink);
    for (auto _ : state) {
        sink.str("");
        for (int value = 0; value < 100; ++value) {
            updater.update(value, lines / 100);
        }
        benchmark::DoNotOptimize(sink.tellp());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines));
}
BENCHMARK(progressRuns);

// Answers every command line with the same multi-line reply, on loopback.
class ReplyServer {
  public:
    explicit ReplyServer(std::string replyText) : reply(std::move(replyText)) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~ReplyServer() {
        worker.join();
        close(listener);
    }
    ReplyServer(const ReplyServer&) = delete;
    ReplyServer& operator=(const ReplyServer&) = delete;

    unsigned short port = 0;

  private:
    void serve() {
        const int fd = accept(listener, nullptr, nullptr);
        const std::string greeting = "220 ready\r\n";
        send(fd, greeting.data(), greeting.size(), 0);
        char buffer[4096];
        for (;;) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            const bool quitting = std::string(buffer, static_cast<std::size_t>(n)) == "QUIT\r\n";
            const std::string& answer = quitting ? std::string("221 bye\r\n") : reply;
            send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            if (quitting) {
                break;
            }
        }
        close(fd);
    }

    std::string reply;
    int listener = -1;
    std::thread worker;
};

std::string multiLineReply(std::size_t lines) {
    std::string text;
    for (std::size_t i = 1; i < lines; ++i) {
        text += "250-capability line number " + std::to_string(i) + "\r\n";
    }
    return text + "250 last line\r\n";
}

// One round trip per iteration; the reply is taken in receives of 34 bytes, as
// the program does.
void replyReader(benchmark::State& state) {
    const std::string reply = multiLineReply(static_cast<std::size_t>(state.range(0)));
    ReplyServer server(reply);
    SmtpClient client(34);
    client.connect("127.0.0.1", server.port);
    for (auto _ : state) {
        benchmark::DoNotOptimize(client.noop());
    }
    client.quit();
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(reply.size()));
}
BENCHMARK(replyReader)->Arg(1)->Arg(10)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
