#ifndef BRENVOX_TEST_SCRIPTEDSERVER_H
#define BRENVOX_TEST_SCRIPTEDSERVER_H

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

typedef struct ssl_st SSL;

// What the server does at a step: a reply, or how the step's replies are played (the last such
// change counts).
struct Act {
    std::vector<std::string> reply; // its pieces, written 20 ms apart; empty for a change
    std::size_t closeAfter = std::string::npos, stallMs = 0, dribbleMs = 0;
    std::string certificate; // empty: no handshake
};
Act reply(const std::string& line);            // CR LF added
Act pieces(std::vector<std::string> reply);    // as they stand
Act bytewise(const std::string& reply);        // one byte a piece
Act closeAfter(std::size_t pieces);            // of the reply, then end the session
Act stall(std::size_t ms);                     // before replying; DATA-BODY: before the data
Act dribble(std::size_t ms);                   // DATA-BODY: between the receives of the data
Act handshake(const std::string& certificate); // after the reply, as the TLS server

// A step is the verb of a line received, or CONNECT (the greeting), AUTH-NAME and AUTH-PASS (the
// lines after a 334), DATA-END (the reply to the data) and DATA-BODY (the data itself). A step's
// replies are played in turn, the last one repeating. A certificate is "good" (localhost,
// 127.0.0.1, ::1), "other" (other.example, 127.0.0.2), "expired" or "tls1.1" (good, on a server
// of TLS 1.1 at most), all from the throw-away authority(), or "hang-up": close on the first
// bytes of the client's handshake. The handshake follows only a reply of 220.
using Script = std::vector<std::pair<std::string, Act>>;

// A one-connection SMTP server on the loopback that plays a whole successful session unless its
// script says otherwise. The session ends after QUIT, when either side closes, or after 5 s of
// silence.
class ScriptedServer {
  public:
    explicit ScriptedServer(const Script& script = {});
    ~ScriptedServer();
    unsigned short
    start(bool ipv6 = false); // listens on 127.0.0.1 or ::1, serves in the background
    // Each waits for the session's end. A line ended by LF alone keeps its LF.
    std::vector<std::string> commands(); // the lines received, data excluded, CR LF removed
    std::string data();                  // the bytes after DATA through the final ".\r\n"
    static std::string authority();      // the PEM file of the authority, made on first use

  private:
    struct Step {
        std::vector<std::vector<std::string>> replies;
        std::size_t played = 0;
        Act how;
    };
    void serve();
    bool play(const std::string& name);
    bool shakeHands(const std::string& certificate);
    bool receiveMore();
    bool write(const std::string& bytes);
    void pause(std::size_t ms);
    void finish();

    std::map<std::string, Step> steps;
    int listener = -1;
    std::atomic<int> connection{-1};
    SSL* tls = nullptr;
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<bool> accepted{false};
    std::string code; // of the last reply written
    std::string pending;
    std::vector<std::string> lines;
    std::string dataBytes;
};

#endif
