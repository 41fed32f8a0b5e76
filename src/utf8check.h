#ifndef BRENVOX_UTF8CHECK_H
#define BRENVOX_UTF8CHECK_H

#include <cstddef>

// Whether bytes are well-formed UTF-8 (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF), judged as they come, so that a file
// never has to be held whole.
class Utf8Check {
  public:
    void feed(const char* begin, const char* end);
    // The text ends here; a sequence still open is cut short. A line end is an
    // end too: no sequence spans one.
    void finish();
    bool valid() const { return !broken; }

  private:
    void startSequence(unsigned char lead);
    void continueSequence(unsigned char byte);

    std::size_t needed = 0; // continuation bytes still to come
    unsigned int value = 0;
    unsigned int lowest = 0; // the least value the sequence's length may carry
    bool broken = false;
};

#endif
