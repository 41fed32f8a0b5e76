#include "bodytext.h"

#include "linesplitter.h"
#include "quotedprintable.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// RFC 5321 4.5.3.1.6: 1000 octets a line, its CR LF included.
constexpr std::size_t maxLineOctets = 998;

// 7bit text as it stands. RFC 5321 4.5.2: a line starting with "." gets one
// more, so no text line can end the data early. Lines shorter than 2
// characters end in LF alone, as they always have.
class StuffedLines {
  public:
    explicit StuffedLines(std::FILE* target) : out(target) {}
    void piece(const char* begin, const char* end) {
        if (length == 0 && *begin == '.') {
            std::fputc('.', out);
            ++length;
        }
        std::fwrite(begin, 1, static_cast<std::size_t>(end - begin), out);
        length += static_cast<std::size_t>(end - begin);
    }
    void lineEnd() {
        std::fputs(length >= 2 ? "\r\n" : "\n", out);
        length = 0;
    }
    bool stopped() const { return std::ferror(out) != 0; }

  private:
    std::FILE* out;
    std::size_t length = 0;
};

} // namespace

class BodyText::Scan {
  public:
    explicit Scan(BodyText& body) : text(body) {}
    void piece(const char* begin, const char* end) {
        length += static_cast<std::size_t>(end - begin);
        text.longLine = text.longLine || length > maxLineOctets;
        text.eightBit = text.eightBit || std::any_of(begin, end, [](char c) {
                            return static_cast<unsigned char>(c) > 0x7FU;
                        });
        text.utf8.feed(begin, end);
    }
    void lineEnd() {
        length = 0;
        text.hasLines = true;
        text.utf8.finish();
    }
    bool stopped() const { return false; }

  private:
    BodyText& text;
    std::size_t length = 0;
};

void BodyText::addText(std::string_view text) {
    sources.push_back({text, false, TextFile(), 0, 0});
    Scan scan(*this);
    feed(sources.back(), 0, scan);
}

bool BodyText::addFile(TextFile file, off_t from) {
    sources.push_back({{}, true, std::move(file), from, 0});
    Scan scan(*this);
    sources.back().to = feed(sources.back(), std::numeric_limits<off_t>::max(), scan);
    return sources.back().to != -1;
}

std::string BodyText::transferEncoding() const {
    return needsEncoding() ? "quoted-printable" : "7bit";
}

std::string BodyText::charset() const {
    return !eightBit ? "us-ascii" : utf8.valid() ? "utf-8" : "unknown-8bit";
}

bool BodyText::write(std::FILE* out) const {
    StuffedLines stuffed(out);
    QuotedPrintableWriter encoded(out);
    for (const Source& source : sources) {
        const off_t end =
            needsEncoding() ? feed(source, source.to, encoded) : feed(source, source.to, stuffed);
        if (end == -1) {
            return false;
        }
    }
    return true;
}

// The bytes of a file past what was scanned are left out: the part header
// names the encoding those bytes were scanned for.
template <class Sink> off_t BodyText::feed(const Source& source, off_t limit, Sink& sink) const {
    LineSplitter splitter;
    if (!source.inFile) {
        splitter.feed(source.text.data(), source.text.size(), sink);
        splitter.finish(sink);
        return 0;
    }
    std::vector<char> block(TextFile::blockSize);
    off_t offset = source.from;
    while (offset < limit && !sink.stopped()) {
        const auto wanted = static_cast<std::size_t>(
            std::min<off_t>(limit - offset, static_cast<off_t>(block.size())));
        const ssize_t got = source.file.readAt(block.data(), wanted, offset);
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        splitter.feed(block.data(), static_cast<std::size_t>(got), sink);
        offset += got;
    }
    splitter.finish(sink);
    return offset;
}

std::string addMessageBody(BodyText& body, const std::string& text, const std::string& path) {
    if (!text.empty()) {
        body.addText(text);
        return "";
    }
    return path.empty() ? "" : addBodyFile(body, path, "Error reading message file.");
}

std::string addBodyFile(BodyText& body, const std::string& path, const std::string& unreadable) {
    TextFile file;
    const TextFile::Status status = file.open(path);
    if (status != TextFile::Status::open || !body.addFile(std::move(file), 0)) {
        return textFileError(status, unreadable);
    }
    return "";
}
