#ifndef BRENVOX_WIREWRITER_H
#define BRENVOX_WIREWRITER_H

#include "linesplitter.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

// How lines that start with "." go: a raw file is taken as its author wrote it
// (a "." last line ends the data), any other message as text to be stuffed.
enum class DotStuffing { lastLineEnds, everyLine };

// RFC 5321 4.1.1.4: the line that ends the mail data.
constexpr char endOfData[] = ".\r\n";

// The wire form of message lines: each followed by CR LF, at most limit of
// them (bytes after are ignored, so a count taken before sending holds).
// A message from elsewhere (a raw file) is untrusted: a "." line before the
// last would end the data and turn the rest into commands, so it goes as "..";
// a CR without LF goes as CR LF, as bare CRs are refused or misread by servers
// (SMTP smuggling), and what follows it is a wire line of its own. Other lines,
// ".." included, go as they stand. A "." line alone is held back until the next
// line shows it was not the last; as the last it ends the data itself. A message
// read from a pipe is text through and through: every line that starts with "."
// gets one more (RFC 5321 4.5.2) and the end-of-data line is always added.
class WireSink {
  public:
    static constexpr std::size_t noLimit = std::numeric_limits<std::size_t>::max();

    WireSink(std::string& target, std::size_t lineLimit, DotStuffing rule)
        : out(target), limit(lineLimit), stuffEveryLine(rule == DotStuffing::everyLine) {}
    void piece(const char* begin, const char* end) {
        if (done == limit) {
            return;
        }
        releaseHeldDot();
        for (const char* cr; (cr = static_cast<const char*>(std::memchr(
                                  begin, '\r', static_cast<std::size_t>(end - begin)))) != nullptr;
             begin = cr + 1) {
            append(begin, cr);
            endWireLine();
            splitByCr = true;
        }
        append(begin, end);
    }
    void lineEnd() {
        if (done == limit) {
            return;
        }
        releaseHeldDot();
        ++done;
        heldDot = wireLineIsDot() && !splitByCr;
        if (!heldDot) {
            endWireLine();
        }
        splitByCr = false;
        wireLineSize = 0;
    }
    // The end of the data: the held "." line's CR LF, else the end-of-data line.
    void endData() {
        out += heldDot ? "\r\n" : endOfData;
        heldDot = false;
    }
    std::size_t linesDone() const { return done; }
    bool full() const { return done == limit; }
    bool holdsDot() const { return heldDot; }

  private:
    void releaseHeldDot() {
        if (heldDot) {
            out += endOfData; // after the held ".", so "..": not the last line after all
            heldDot = false;
        }
    }
    void append(const char* begin, const char* end) {
        if (wireLineSize == 0 && begin != end) {
            firstByte = *begin;
            if (stuffEveryLine && firstByte == '.') {
                out += '.';
            }
        }
        out.append(begin, end);
        wireLineSize += static_cast<std::size_t>(end - begin);
    }
    bool wireLineIsDot() const { return !stuffEveryLine && wireLineSize == 1 && firstByte == '.'; }
    void endWireLine() {
        out += wireLineIsDot() ? endOfData : "\r\n";
        wireLineSize = 0;
    }

    std::string& out;
    std::size_t limit;
    std::size_t done = 0;
    std::size_t wireLineSize = 0;
    char firstByte = 0;
    bool splitByCr = false;
    bool heldDot = false;
    bool stuffEveryLine;
};

// Writes a message to a file in the form it goes to the server, as it comes
// (lines by the rule of LineSplitter in, WireSink's wire form out), counting
// its lines on the way: the file is then sent as it stands, never read back
// in. The lines counted are the text's, as progress reports them.
class WireWriter {
  public:
    // The output goes to descriptor in blocks of this size.
    static constexpr std::size_t blockSize = 256 * 1024;

    WireWriter(int descriptor, DotStuffing rule);
    WireWriter(const WireWriter&) = delete;
    WireWriter& operator=(const WireWriter&) = delete;

    void write(const char* data, std::size_t size);
    // Lines the caller made in wire form already (each ended by CR LF, none
    // starting with "."): they go as they stand, unlooked at.
    void writeWireLines(const char* data, std::size_t size, std::size_t lines);
    // Ends the last line and the data, and writes what is left; false when any
    // write failed (errorNumber() then tells).
    bool finish();
    // A stream whose bytes go to write(), for writers that print; nullptr when
    // none could be made. Closing it flushes it but does not finish.
    std::FILE* stream();

    std::size_t lineCount() const { return sink.linesDone() + passedLines; }
    // The bytes written to the descriptor, the end of the data included.
    std::uint64_t size() const { return written; }
    int errorNumber() const { return error; }

  private:
    void passThrough(const char* data, std::size_t size);
    void flush(const char* more = nullptr, std::size_t moreSize = 0);

    int fd;
    std::string pending;
    LineSplitter splitter;
    WireSink sink;
    std::size_t passedLines = 0; // went as they stood, past the sink
    std::uint64_t written = 0;
    int error = 0;
};

#endif
