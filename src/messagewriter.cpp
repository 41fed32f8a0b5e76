#include "messagewriter.h"

#include "base64.h"
#include "clocktext.h"
#include "headertext.h"
#include "mimetypes.h"

#include <cstdio>
#include <ctime>

namespace {

const std::string boundarySuffix = "boundary__giblets_and_gravy";
// Keeps the many small header and text writes to a few system calls: 200 parts of
// 20 KiB are written in 18.7 ms instead of 21 ms (bench/compare).
constexpr std::size_t writeBufferSize = 64 * 1024;

void writeText(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

std::string joined(const StringList& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

std::string headerBlock(const MessageContent& content, const std::string& boundary) {
    std::string head =
        "Message-Id: " + messageId(messageIdPrefix(), content.sender, content.idHost) + "\r\n" +
        "Date: " + formatEmailDate(std::time(nullptr)) + "\r\n" + "From: " + content.sender +
        "\r\n" + "To: " + joined(content.recipients) + "\r\n" + subjectHeader(content.subject) +
        "MIME-Version: 1.0\r\n";
    if (!content.attachments.empty()) {
        head += "Content-Type: multipart/mixed;\r\n"
                "\tBoundary=\"" +
                boundary +
                "\"\r\n"
                "\nThis is a multi-part message in MIME format.\r\n\n"
                "--" +
                boundary + "\r\n";
    }
    return head;
}

std::string textPartHeader(const BodyText& text) {
    return "Content-Type: text/plain;\r\n\tcharset=\"" + text.charset() +
           "\"\r\nContent-Transfer-Encoding: " + text.transferEncoding() + "\r\n\n";
}

std::string attachmentPartHeader(const std::string& path, const std::string& boundary) {
    const std::string name = fileNameOf(path);
    return "--" + boundary + "\r\n" + "Content-Type: " + mimeTypeFor(extensionOf(name)) + ";\r\n" +
           parameterLines("name", name) + "Content-Transfer-Encoding: base64\r\n" +
           "Content-Disposition: attachment;\r\n" + parameterLines("filename", name) + "\n";
}

// A full disk or a file size limit must not let a cut message go out.
WriteOutcome closeChecked(std::FILE* out) {
    const bool writeFailed = std::ferror(out) != 0;
    return std::fclose(out) != 0 || writeFailed ? WriteOutcome::writeFailed : WriteOutcome::written;
}

WriteOutcome closeAfter(std::FILE* out, WriteOutcome outcome) {
    std::fclose(out);
    return outcome;
}

// An endless text or attachment stops at the first failing block.
WriteOutcome writeParts(std::FILE* out, const MessageContent& content, const std::string& boundary,
                        std::string& failedPath) {
    if (!content.text.write(out)) {
        return WriteOutcome::textUnreadable;
    }
    writeText(out, "\n");
    Base64FileEncoder encoder;
    for (const std::string& path : content.attachments) {
        if (std::ferror(out) != 0) {
            return WriteOutcome::writeFailed;
        }
        writeText(out, attachmentPartHeader(path, boundary));
        switch (encoder.encode(path, out)) {
        case Base64FileEncoder::Result::done:
            break;
        case Base64FileEncoder::Result::unreadable:
            failedPath = path;
            return WriteOutcome::attachmentUnreadable;
        case Base64FileEncoder::Result::writeFailed:
            return WriteOutcome::writeFailed;
        }
        writeText(out, "\n");
    }
    return WriteOutcome::written;
}

} // namespace

WriteOutcome writeMessage(WireWriter& wire, const MessageContent& content,
                          std::string& failedPath) {
    std::FILE* out = wire.stream();
    if (out == nullptr) {
        return WriteOutcome::writeFailed;
    }
    std::setvbuf(out, nullptr, _IOFBF, writeBufferSize);
    const std::string boundary = std::to_string(microsecondsNow()) + boundarySuffix;
    writeText(out, headerBlock(content, boundary) + textPartHeader(content.text));
    const WriteOutcome parts = writeParts(out, content, boundary, failedPath);
    if (parts != WriteOutcome::written) {
        return closeAfter(out, parts);
    }
    if (!content.attachments.empty()) {
        writeText(out, "--" + boundary + "--\r\n");
    }
    // The empty line and the "." that ends the SMTP data (RFC 5321 4.1.1.4).
    writeText(out, "\r\n.\r\n");
    const WriteOutcome closed = closeChecked(out);
    return closed == WriteOutcome::written && !wire.finish() ? WriteOutcome::writeFailed : closed;
}

std::string writeErrorLine(WriteOutcome outcome, const std::string& failedPath) {
    switch (outcome) {
    case WriteOutcome::written:
        return "";
    case WriteOutcome::textUnreadable:
        return "Error reading message file.";
    case WriteOutcome::attachmentUnreadable:
        return "Error reading attachment file " + failedPath;
    case WriteOutcome::writeFailed:
        break;
    }
    return "Error writing message file.";
}
