#ifndef BRENVOX_LINESPLITTER_H
#define BRENVOX_LINESPLITTER_H

#include "stringlist.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// The one line rule of every text the program reads: a line ends at LF, one CR
// right before that LF being dropped; every other byte is kept; a last line
// without LF counts when it is not empty.
//
// Bytes come block by block, so a file is never held whole: a CR at the end of
// one block and the LF at the start of the next are one line end. The sink gets
// each line as pieces, then its end:
//     sink.piece(const char* begin, const char* end);
//     sink.lineEnd();
class LineSplitter {
  public:
    template <class Sink> void feed(const char* data, std::size_t size, Sink& sink) {
        if (size == 0) {
            return;
        }
        const char* const end = data + size;
        if (pendingCr) {
            pendingCr = false;
            if (*data == '\n') {
                endLine(sink);
                ++data;
            } else {
                emit(crByte, crByte + 1, sink);
            }
        }
        while (data != end) {
            const auto* lf = static_cast<const char*>(
                std::memchr(data, '\n', static_cast<std::size_t>(end - data)));
            if (lf == nullptr) {
                holdTrailingCr(data, end, sink);
                return;
            }
            emit(data, lf != data && lf[-1] == '\r' ? lf - 1 : lf, sink);
            endLine(sink);
            data = lf + 1;
        }
    }

    // No line begun: the next byte starts one.
    bool betweenLines() const { return !lineOpen; }

    // At the end of the text: ends a last line that had no LF.
    template <class Sink> void finish(Sink& sink) {
        if (pendingCr) {
            pendingCr = false;
            emit(crByte, crByte + 1, sink);
        }
        if (lineOpen) {
            endLine(sink);
        }
    }

  private:
    static constexpr char crByte[] = "\r";

    template <class Sink> void emit(const char* begin, const char* stop, Sink& sink) {
        if (begin != stop) {
            sink.piece(begin, stop);
            lineOpen = true;
        }
    }
    template <class Sink> void endLine(Sink& sink) {
        sink.lineEnd();
        lineOpen = false;
    }
    // A CR at the very end may be the first half of a line end.
    template <class Sink> void holdTrailingCr(const char* data, const char* end, Sink& sink) {
        if (end[-1] == '\r') {
            pendingCr = true;
            lineOpen = true;
            --end;
        }
        emit(data, end, sink);
    }

    bool pendingCr = false;
    bool lineOpen = false;
};

// A sink that keeps every line as a string.
class LineCollector {
  public:
    explicit LineCollector(StringList& target) : lines(target) {}
    void piece(const char* begin, const char* end) { current.append(begin, end); }
    void lineEnd() {
        lines.push_back(std::move(current));
        current.clear();
    }

  private:
    StringList& lines;
    std::string current;
};

// The lines of text by the rule above.
StringList splitLines(const std::string& text);

#endif
