#ifndef BRENVOX_TEST_SCRIPTEDSERVER_H
#define BRENVOX_TEST_SCRIPTEDSERVER_H

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A one-connection SMTP server on the loopback that plays a whole successful session unless its
// script says otherwise. A step is the verb of a line received, or CONNECT (the greeting),
// AUTH-NAME and AUTH-PASS (the lines after a 334), DATA-END (the reply to the data) and
// DATA-BODY (for "~" only: before the data is read). Each script entry is a step followed by
//   " text"   a reply, CR LF added; a step named again replies so the next time (the last repeats)
//   "|a|b"    a reply written in pieces, 20 ms apart;  "/text"  the same, one byte per piece
//   "#n"      close after n pieces of the reply;        "~ms"    wait before replying
// The session ends after QUIT, when either side closes, or after 5 s of silence.
class ScriptedServer {
  public:
    explicit ScriptedServer(const std::vector<std::string>& script = {});
    ~ScriptedServer();
    unsigned short
    start(bool ipv6 = false); // listens on 127.0.0.1 or ::1, serves in the background
    // Each waits for the session's end. A line ended by LF alone keeps its LF.
    std::vector<std::string> commands(); // the lines received, data excluded, CR LF removed
    std::string data();                  // the bytes after DATA through the final ".\r\n"

  private:
    struct Step {
        std::vector<std::vector<std::string>> replies;
        std::size_t played = 0;
        std::size_t stallMs = 0;
        std::size_t dribbleMs = 0;
        std::size_t closeAfter = std::string::npos;
    };
    void serve();
    bool play(const std::string& name);
    bool receiveMore();
    void pause(std::size_t ms);
    void finish();

    std::map<std::string, Step> steps;
    int listener = -1;
    std::atomic<int> connection{-1};
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<bool> accepted{false};
    std::string code; // of the last reply written
    std::string pending;
    std::vector<std::string> lines;
    std::string dataBytes;
};

#endif
