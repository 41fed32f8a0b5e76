#ifndef BRENVOX_TEST_SCRIPTEDSERVER_H
#define BRENVOX_TEST_SCRIPTEDSERVER_H

#include <atomic>
#include <cstddef>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A one-connection SMTP server on 127.0.0.1 for tests, run in its own thread. Out of the box it
// plays a whole successful session; single steps can be changed before start().
//
// A step is named by the verb of the line received, upper-cased ("EHLO", "MAIL", "RCPT", ...),
// or by one of these:
//   "CONNECT"    the greeting, sent as soon as the client is accepted
//   "AUTH-NAME"  the line after an AUTH answered with 334
//   "AUTH-PASS"  the line after an AUTH-NAME answered with 334
//   "DATA-END"   the end of the message data, read up to CR LF "." CR LF once DATA got 354
//   "DATA-BODY"  only for stall(): the wait, once DATA got 354, before the server starts
//                reading the message data (a server that stops reading)
// A verb without a step is answered "500 5.5.2 Command not recognized".
//
// The session ends after QUIT is answered, when the client closes, when a step closes it, when
// the client sends nothing for 5 s, or when no client connects within 10 s. Closing sends the
// end of stream at once but keeps reading for up to 250 ms more, so that the client sees an
// orderly end rather than a reset; sends after that meet a closed socket.
//
//     ScriptedServer server;
//     server.reply("MAIL", "501 not fine enough");
//     server.split("EHLO", {"250-one\r\n", "250 two\r\n"});
//     const unsigned short port = server.start();
//     ... run a client against 127.0.0.1:port ...
//     EXPECT_EQ(server.commands()[1], "MAIL FROM: <a@b.test>");
class ScriptedServer {
  public:
    ScriptedServer();
    // Cuts any wait short and joins the thread.
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // The reply to step: text with CR LF added (inner lines carry their own CR LF).
    void reply(const std::string& step, const std::string& text);
    // Replies for the first, second, ... time step comes; the last one stays for any later
    // time. CR LF is added to each.
    void sequence(const std::string& step, const std::vector<std::string>& texts);
    // The reply to step as raw bytes, written piece by piece with a pause between writes, so
    // that each piece reaches the client as a receive of its own.
    void split(const std::string& step, std::vector<std::string> pieces);
    // Waits ms milliseconds before answering step.
    void stall(const std::string& step, int ms);
    // Closes the connection at step, after writing the first piecesSent pieces of its reply
    // (0: without answering).
    void closeAfter(const std::string& step, std::size_t piecesSent = 0);
    // Pause between the pieces of a reply; 20 ms unless set.
    void setPieceDelay(int ms);

    // text as one-byte pieces, for split().
    static std::vector<std::string> oneByteEach(const std::string& text);

    // Listens before returning; serves one connection in the background.
    unsigned short start();

    // What the session received. Each waits until the session has ended, so close the client
    // (or let it quit) first.
    std::string received();              // every byte, as received
    std::vector<std::string> commands(); // the command lines, without CR LF, data excluded
    std::string data();                  // the data after DATA, through the final ".\r\n"

  private:
    struct Step {
        std::vector<std::vector<std::string>> replies; // each as the pieces to write
        std::size_t played = 0;
        int stallMs = 0;
        std::size_t closeAfterPieces = noClose;
    };
    static constexpr std::size_t noClose = static_cast<std::size_t>(-1);

    void serve();
    void hangUp();
    // Answers stepName and sets replyCode; false when the session is over.
    bool play(const std::string& stepName);
    bool readLine(std::string& line);
    bool readData();
    bool receiveMore();
    bool waitReadable(int fd, int timeoutMs);
    void pause(int ms);
    void finish();

    std::map<std::string, Step> script;
    int pieceDelayMs = 20;
    int listener = -1;
    int connection = -1;
    std::thread worker;
    std::atomic<bool> stopping{false};

    std::string replyCode; // of the last reply written
    std::string pending;   // received, not yet taken as a line or as data
    std::string receivedBytes;
    std::vector<std::string> commandLines;
    std::string dataBytes;
};

#endif
