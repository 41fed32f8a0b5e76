#ifndef BRENVOX_TEST_SCRIPTEDSERVER_H
#define BRENVOX_TEST_SCRIPTEDSERVER_H

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_st SSL;

// Each entry is a step, a word and its value. A step is the verb of a line received, or CONNECT
// (the greeting), AUTH-NAME and AUTH-PASS (the lines after a 334), DATA-END (the reply to the
// data) and DATA-BODY (the data itself). The word is one of
//   (none)       "HELO 250 x": a reply, CR LF added; named again, the next time (the last repeats)
//   pieces       "HELO pieces 250 scrip|ted.test\r\n": a reply written in pieces, 20 ms apart
//   bytewise     "HELO bytewise 250 x\r\n": the same, one byte a piece
//   close-after  "HELO close-after 1": end the session after that many pieces of the reply
//   stall        "CONNECT stall 3000": wait so many ms before replying (DATA-BODY: reading)
//   dribble      "DATA-BODY dribble 300": wait so many ms between the receives of the data
//   handshake    "STARTTLS handshake other": after a reply of 220, the TLS server's handshake
// with a certificate of the throw-away authority(): "good" (localhost, 127.0.0.1, ::1), "other"
// (other.example, 127.0.0.2), "expired", "tls1.1" (good, on a server of TLS 1.1 at most); or
// "hang-up": close on the first bytes of the client's handshake.
using Script = std::vector<std::string>;

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
    // The lines received, data excluded, CR LF removed; once EHLO has offered PIPELINING, "+"
    // before one that came in the same receive as the bytes before it (a pipelined command).
    std::vector<std::string> commands();
    std::string data();             // the bytes after DATA through the final ".\r\n"
    static std::string authority(); // the PEM file of the authority, made on first use

  private:
    struct Step {
        std::vector<std::vector<std::string>> replies;
        std::size_t played = 0, closeAfter = std::string::npos, stallMs = 0, dribbleMs = 0;
        std::string certificate; // empty: no handshake
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
    bool fresh = false; // pending holds bytes of a receive that no line has been taken from
    bool pipelining = false;
    std::vector<std::string> lines;
    std::string dataBytes;
};

#endif
