#ifndef BRENVOX_TEST_SCRIPTEDSERVER_H
#define BRENVOX_TEST_SCRIPTEDSERVER_H

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A one-connection SMTP server on 127.0.0.1 in its own thread; out of the box it plays a whole
// successful session. A step is the upper-cased verb of the line received, or "CONNECT" (the
// greeting), "AUTH-NAME" and "AUTH-PASS" (the lines after a 334), "DATA-END" (the reply to the
// data once DATA got 354) and "DATA-BODY" (stall only: a pause before reading the data).
// Unknown verbs get a 500. The session ends after QUIT, on the client's close, on a scripted
// close, or after 5 s of silence.
//
// The script is a list of entries, each a step name followed by:
//   " text"       a reply, CR LF added; a step named again gets a sequence (the last repeats)
//   "|p1|p2"      a reply as raw pieces, each written on its own 20 ms apart
//   "/bytes"      a reply written one byte at a time
//   "#n"          close the connection after the first n pieces of the step's reply
//   "~ms"         wait ms before answering
class ScriptedServer {
  public:
    explicit ScriptedServer(const std::vector<std::string>& script = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    unsigned short start(); // listens, then serves in the background
    // Each waits for the session's end.
    std::vector<std::string> commands(); // command lines without CR LF, data excluded
    std::string data();                  // the bytes after DATA through the final ".\r\n"

  private:
    struct Step {
        std::vector<std::vector<std::string>> replies;
        std::size_t played = 0;
        int stallMs = 0;
        std::size_t closeAfter = std::string::npos;
    };
    void serve();
    bool play(const std::string& name);
    bool receiveMore();
    bool readable(int fd, int ms);
    void pause(int ms);
    void finish();

    std::map<std::string, Step> steps;
    int listener = -1;
    std::atomic<int> connection{-1};
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::string code; // of the last reply written
    std::string pending;
    std::vector<std::string> lines;
    std::string dataBytes;
};

#endif
