#ifndef BRENVOX_UPDATER_H
#define BRENVOX_UPDATER_H

#include <cstddef>
#include <iosfwd>

// Shows how far a message transfer has gone as a percentage that overwrites
// itself on one line of standard output.
class Updater {
  public:
    Updater();
    // Writes to stream instead of standard output.
    explicit Updater(std::ostream& stream);

    // Writes val, "%" and "\r" (at exactly 100 also a line end), and flushes.
    void update(const int& val) const;
    // The same bytes as times calls of update(val), in a few large writes:
    // a large message reports the same value for many lines in a row.
    void update(const int& val, std::size_t times) const;

  private:
    std::ostream* out;
};

#endif
