#ifndef BRENVOX_INTERRUPTION_H
#define BRENVOX_INTERRUPTION_H

#include <string>

// A run ended from outside: SIGTERM, SIGINT or SIGHUP end it with one line and
// status 1, after removing the message file's name if it still names our file.
// A file size limit makes writes fail (EFBIG) instead of killing the process,
// so the usual write error is reported and the file removed. Signals that were
// ignored when the run started (nohup) stay ignored.
void installInterruptionHandlers();

// The name of the composed message file, from its creation until it is removed:
// removed on destruction, so a run that unwinds (out of memory) leaves nothing,
// and by the handlers above while it is held.
class OwnedFileName {
  public:
    OwnedFileName(std::string filePath, int descriptor);
    ~OwnedFileName();
    OwnedFileName(const OwnedFileName&) = delete;
    OwnedFileName& operator=(const OwnedFileName&) = delete;

    // Removes the name unless it no longer names the file behind the
    // descriptor (swapped meanwhile); false when it was not removed.
    bool remove();

  private:
    std::string path;
    int fd;
    bool held = true;
};

#endif
