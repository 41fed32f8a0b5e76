#ifndef BRENVOX_TRANSCRIPT_H
#define BRENVOX_TRANSCRIPT_H

#include <iostream>
#include <string>

// What verbose mode prints for line. Text not starting with "<" is printed as
// it stands. A reply ("< " + text) is printed line by line, each line with "< "
// (the caller gave only the first one); from an empty line on, the rest goes
// out in one piece; a last line without LF gets "< " and an LF; a lone LF left
// at the end is dropped.
std::string transcriptText(const std::string& line);

// The one place that shows what crosses the wire, in verbose mode only, each
// piece flushed at once (a run that hangs must show how far it got).
class Transcript {
  public:
    // To standard output unless told otherwise (-bs speaks SMTP there).
    explicit Transcript(bool verbose, std::ostream& stream = std::cout)
        : shown(verbose), out(&stream) {}

    // "> " + the command line sent.
    void command(const std::string& line) const;
    // "< " + the reply as received, line by line.
    void reply(const std::string& reply) const;
    // "* " + a step of the run.
    void step(const std::string& line) const;

  private:
    void show(const std::string& text) const;

    bool shown;
    std::ostream* out;
};

#endif
