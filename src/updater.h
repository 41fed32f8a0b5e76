#ifndef BRENVOX_UPDATER_H
#define BRENVOX_UPDATER_H

#include <iosfwd>

// Shows how far a message transfer has gone as a percentage that overwrites
// itself on one line of standard output.
class Updater {
  public:
    Updater();
    // Writes to stream instead of standard output.
    explicit Updater(std::ostream& stream);

    // Writes val, "%" and "\r"; at exactly 100 also ends the line and flushes.
    void update(const int& val) const;

  private:
    std::ostream* out;
};

#endif
