#ifndef BRENVOX_BASE64_H
#define BRENVOX_BASE64_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// RFC 4648 section 4 base64 with "=" padding.

// All of bytes in one line, no line ends.
std::string base64Encode(const std::string& bytes);

// Files as MIME parts want them (RFC 2045 6.8): lines of 76 characters, each
// ended by CR LF. Its buffers are made once and reused for every file.
class Base64FileEncoder {
  public:
    enum class Result { done, unreadable, writeFailed };

    Base64FileEncoder();
    // Writes the encoded contents of path to out. unreadable when the file
    // cannot be opened or read to its end, writeFailed at the first block out
    // does not take (an endless file on a full disk would never end otherwise);
    // the output is then incomplete.
    Result encode(const std::string& path, std::FILE* out);
    // The same into put, a block of whole lines (lines of them) at a time;
    // put returns false when the block did not take.
    using LineBlockSink =
        std::function<bool(const char* text, std::size_t size, std::size_t lines)>;
    Result encode(const std::string& path, const LineBlockSink& put);

  private:
    std::vector<unsigned char> input;
    std::vector<char> text;
};

#endif
