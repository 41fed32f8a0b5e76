#ifndef BRENVOX_UPDATER_H
#define BRENVOX_UPDATER_H

// Shows how far a message transfer has gone as a percentage that overwrites
// itself on one line of standard output.
class Updater {
  public:
    // Writes val, "%" and "\r"; at exactly 100 also ends the line and flushes.
    void update(const int& val) const;
};

#endif
