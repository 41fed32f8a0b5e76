#ifndef BRENVOX_BODYTEXT_H
#define BRENVOX_BODYTEXT_H

#include "textfile.h"
#include "utf8check.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// The text part of a composed message: the lines of its sources in order (the
// configuration file from its sixth line on, then the -m text or the -M file).
// Each source is scanned when added, for the part header must name the transfer
// encoding and charset before the first line is written; files are read block
// by block both times.
class BodyText {
  public:
    // The text must stay until the writing is done.
    void addText(std::string_view text);
    // The file from offset on, up to its present end; false on a read error.
    bool addFile(TextFile file, off_t from);

    // True until a source has given a line.
    bool empty() const { return !hasLines; }
    // "7bit" for ASCII text whose lines fit RFC 5321's 998 octets, otherwise
    // "quoted-printable".
    std::string transferEncoding() const;
    // "us-ascii", else "utf-8" when valid UTF-8, else "unknown-8bit".
    std::string charset() const;

    // Writes every line to out in the transfer encoding, dot-stuffed; stops at
    // the first write error (ferror(out) then tells). False on a read error.
    bool write(std::FILE* out) const;

  private:
    struct Source {
        std::string_view text; // when not read from file
        bool inFile = false;
        TextFile file;
        off_t from = 0;
        off_t to = 0;
    };
    class Scan;
    // Feeds the lines of source to sink, its file bytes from source.from up to
    // limit; the offset reached, -1 on a read error.
    template <class Sink> off_t feed(const Source& source, off_t limit, Sink& sink) const;
    bool needsEncoding() const { return eightBit || longLine; }

    std::vector<Source> sources;
    bool eightBit = false;
    bool longLine = false;
    bool hasLines = false;
    Utf8Check utf8;
};

// Adds the -m text (held already) or else the -M file (read as it is written);
// returns the error line, empty on success.
std::string addMessageBody(BodyText& body, const std::string& text, const std::string& path);
// Adds the file at path ("-" standard input); unreadable is the error line when
// it cannot be read, empty is success.
std::string addBodyFile(BodyText& body, const std::string& path, const std::string& unreadable);

#endif
