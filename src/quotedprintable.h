#ifndef BRENVOX_QUOTEDPRINTABLE_H
#define BRENVOX_QUOTEDPRINTABLE_H

#include <cstddef>
#include <cstdio>

// RFC 2045 6.7 quoted-printable for a text part, fed line by line as the sink of
// LineSplitter: the text's line ends stay hard CR LF breaks, soft breaks keep
// every encoded line at most 76 characters. No encoded line begins with ".", so
// none needs dot-stuffing and none can end the SMTP data.
class QuotedPrintableWriter {
  public:
    explicit QuotedPrintableWriter(std::FILE* target) : out(target) {}
    ~QuotedPrintableWriter() { flush(); }
    QuotedPrintableWriter(const QuotedPrintableWriter&) = delete;
    QuotedPrintableWriter& operator=(const QuotedPrintableWriter&) = delete;

    void piece(const char* begin, const char* end);
    void lineEnd();
    // Hands the encoded bytes so far to out.
    void flush();
    // Once out has refused bytes: an endless text stops there.
    bool stopped() const { return std::ferror(out) != 0; }

  private:
    void put(unsigned char byte, bool literal);
    void append(const char* text, std::size_t size);

    std::FILE* out;
    char buffer[4096];
    std::size_t used = 0;
    std::size_t column = 0;
    // A blank is literal unless the line ends right after it, which the next
    // byte tells.
    int heldBlank = -1;
};

#endif
