#include "mimeparts.h"

#include "base64.h"
#include "headertext.h"
#include "mimetypes.h"

#include <cctype>
#include <cstring>

namespace {

void writeText(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

std::string textPartHeader(const std::string& subtype, const BodyText& text) {
    return "Content-Type: text/" + subtype + ";\r\n\tcharset=\"" + text.charset() +
           "\"\r\nContent-Transfer-Encoding: " + text.transferEncoding() + "\r\n\n";
}

// The part header of a multipart layer and its first delimiter line.
std::string multipartOpening(const std::string& subtype, const std::string& boundary) {
    return "Content-Type: multipart/" + subtype + ";\r\n\tBoundary=\"" + boundary + "\"\r\n\n--" +
           boundary + "\r\n";
}

std::string closing(const std::string& boundary) {
    return "--" + boundary + "--\r\n\n";
}

WriteOutcome writeTextPart(std::FILE* out, const std::string& subtype, const BodyText& text,
                           WriteOutcome unreadable) {
    writeText(out, textPartHeader(subtype, text));
    if (!text.write(out)) {
        return unreadable;
    }
    writeText(out, "\n");
    return WriteOutcome::written;
}

WriteOutcome writeAlternatives(std::FILE* out, const MessageContent& content,
                               const std::string& boundary, std::string& failedPath) {
    if (content.html == nullptr) {
        return writeTextPart(out, "plain", content.text, WriteOutcome::textUnreadable);
    }
    const bool both = !content.text.empty();
    if (both) {
        writeText(out, multipartOpening("alternative", boundary));
        const WriteOutcome text =
            writeTextPart(out, "plain", content.text, WriteOutcome::textUnreadable);
        if (text != WriteOutcome::written) {
            return text;
        }
        writeText(out, "--" + boundary + "\r\n");
    }
    failedPath = content.options.htmlFile;
    const WriteOutcome html =
        writeTextPart(out, "html", *content.html, WriteOutcome::htmlUnreadable);
    if (both && html == WriteOutcome::written) {
        writeText(out, closing(boundary));
    }
    return html;
}

std::string inlinePartHeader(const std::string& path, const std::string& boundary) {
    const std::string name = fileNameOf(path);
    return "--" + boundary + "\r\nContent-Type: " + mimeTypeFor(extensionOf(name)) + ";\r\n" +
           parameterLines("name", name) + "Content-Transfer-Encoding: base64\r\nContent-ID: <" +
           contentIdFor(name) + ">\r\nContent-Disposition: inline;\r\n" +
           parameterLines("filename", name) + "\n";
}

WriteOutcome writeInlines(std::FILE* out, const StringList& paths, const std::string& boundary,
                          std::string& failedPath) {
    Base64FileEncoder encoder;
    for (const std::string& path : paths) {
        writeText(out, inlinePartHeader(path, boundary));
        switch (encoder.encode(path, out)) {
        case Base64FileEncoder::Result::done:
            break;
        case Base64FileEncoder::Result::unreadable:
            failedPath = path;
            return WriteOutcome::inlineUnreadable;
        case Base64FileEncoder::Result::writeFailed:
            return WriteOutcome::writeFailed;
        }
        writeText(out, "\n");
    }
    writeText(out, closing(boundary));
    return WriteOutcome::written;
}

} // namespace

WriteOutcome writeBody(std::FILE* out, const MessageContent& content, const std::string& boundary,
                       std::string& failedPath) {
    const bool related = content.html != nullptr && !content.options.inlines.empty();
    if (related) {
        writeText(out, multipartOpening("related", "rel" + boundary));
    }
    const WriteOutcome shown = writeAlternatives(out, content, "alt" + boundary, failedPath);
    if (shown != WriteOutcome::written || !related) {
        return shown;
    }
    return writeInlines(out, content.options.inlines, "rel" + boundary, failedPath);
}

std::string contentIdFor(const std::string& fileName) {
    std::string id = fileName;
    for (char& c : id) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && std::strchr("-._~", c) == nullptr) {
            c = '_';
        }
    }
    return id;
}
