#ifndef BRENVOX_WIRELINES_H
#define BRENVOX_WIRELINES_H

#include <cstddef>
#include <string>

// The one place where message lines get their SMTP line end. A line of a file
// ends at LF, one CR right before that LF being dropped; a last line without LF
// counts when it is not empty. Every line goes out followed by CR LF.
//
// File bytes are taken block by block, so a large file never has to be held
// whole: a CR at the end of one block and the LF at the start of the next are
// one line end. At most lineLimit lines are produced; bytes after them are
// ignored, so the count taken before sending always holds.
class WireLines {
  public:
    static constexpr const char* lineEnd = "\r\n";

    explicit WireLines(std::size_t lineLimit = static_cast<std::size_t>(-1));

    // Appends line and CR LF to out.
    static void appendLine(const std::string& line, std::string& out);

    // Appends the next bytes of the file to out in wire form.
    void append(const char* data, std::size_t size, std::string& out);
    // At the end of the file: ends a last line that had no LF.
    void finish(std::string& out);

    // Lines ended so far.
    std::size_t linesDone() const { return done; }
    // True once lineLimit lines have been produced.
    bool full() const { return done == limit; }

  private:
    void endLine();

    std::size_t limit;
    std::size_t done = 0;
    bool lineOpen = false; // bytes of an unfinished line have been appended
    bool afterCr = false;  // the last byte taken was a CR
};

#endif
