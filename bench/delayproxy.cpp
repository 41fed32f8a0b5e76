// A TCP proxy for the latency benchmark: every byte reaches the other side a fixed delay after
// it arrived, in each direction, as over a network path whose round trip is twice the delay.
// A connection is put through to the target only after one and a half round trips (SYN-ACK back,
// ACK forward), so that the target's greeting reaches the client two round trips after connect(),
// as it would over such a path.
//
// usage: brenvox_delayproxy DELAY_MS TARGET_PORT
// Prints the port it listens on (127.0.0.1) and serves until killed; the target is on 127.0.0.1.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// One direction: a reader stamps what arrives, a writer hands it on once it is due. An empty
// piece is the end of the stream.
class Direction {
  public:
    Direction(int from, int to, Clock::duration delay) : in(from), out(to), lag(delay) {}

    void run() {
        std::thread writer(&Direction::deliver, this);
        std::string buffer(256 * 1024, '\0');
        for (;;) {
            const ssize_t got = recv(in, &buffer[0], buffer.size(), 0);
            const std::lock_guard<std::mutex> lock(guard);
            queue.push_back({Clock::now() + lag,
                             buffer.substr(0, got > 0 ? static_cast<std::size_t>(got) : 0)});
            ready.notify_one();
            if (got <= 0) {
                break;
            }
        }
        writer.join();
    }

  private:
    struct Piece {
        Clock::time_point due;
        std::string bytes;
    };

    void deliver() {
        for (;;) {
            Piece piece;
            {
                std::unique_lock<std::mutex> lock(guard);
                ready.wait(lock, [this] { return !queue.empty(); });
                piece = std::move(queue.front());
                queue.pop_front();
            }
            std::this_thread::sleep_until(piece.due);
            if (piece.bytes.empty()) {
                shutdown(out, SHUT_WR);
                return;
            }
            for (std::size_t sent = 0; sent < piece.bytes.size();) {
                const ssize_t n =
                    send(out, piece.bytes.data() + sent, piece.bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    shutdown(in, SHUT_RD);
                    return;
                }
                sent += static_cast<std::size_t>(n);
            }
        }
    }

    int in, out;
    Clock::duration lag;
    std::mutex guard;
    std::condition_variable ready;
    std::deque<Piece> queue;
};

sockaddr_in loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

void noDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void serve(int client, unsigned short target, Clock::duration delay) {
    std::this_thread::sleep_for(delay * 3);
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(target);
    if (connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        noDelay(server);
        Direction up(client, server, delay), down(server, client, delay);
        std::thread upward(&Direction::run, &up);
        down.run();
        upward.join();
    }
    close(server);
    close(client);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DELAY_MS TARGET_PORT\n", argv[0]);
        return 2;
    }
    prctl(PR_SET_TIMERSLACK, 1UL); // wake at the due time, not up to 50 us after it
    const auto delay = std::chrono::milliseconds(std::atoi(argv[1]));
    const auto target = static_cast<unsigned short>(std::atoi(argv[2]));
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            noDelay(client);
            std::thread(serve, client, target, delay).detach();
        }
    }
}
