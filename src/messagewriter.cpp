#include "messagewriter.h"

#include "base64.h"
#include "clocktext.h"
#include "headerfields.h"
#include "headertext.h"
#include "mimeparts.h"
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

std::string headerBlock(const MessageContent& content, const std::string& boundary) {
    std::string head =
        "Message-Id: " + messageId(messageIdPrefix(), content.sender, content.idHost) + "\r\n" +
        "Date: " + formatEmailDate(std::time(nullptr)) + "\r\n" +
        fromField(content.options.fromName, content.sender) +
        addressField("To", content.recipients) + addressField("Cc", content.options.cc) +
        addressField("Reply-To", content.options.replyTo) + subjectHeader(content.subject);
    for (const std::string& field : content.options.headerFields) {
        head += userField(field);
    }
    head += "MIME-Version: 1.0\r\n";
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
WriteOutcome writeParts(std::FILE* out, WireWriter& wire, const MessageContent& content,
                        const std::string& boundary, std::string& failedPath) {
    const WriteOutcome body = writeBody(out, content, boundary, failedPath);
    if (body != WriteOutcome::written) {
        return body;
    }
    Base64FileEncoder encoder;
    for (const std::string& path : content.attachments) {
        if (std::ferror(out) != 0) {
            return WriteOutcome::writeFailed;
        }
        writeText(out, attachmentPartHeader(path, boundary));
        // The encoder's lines are wire lines already: past the stream and its checks.
        if (std::fflush(out) != 0) {
            return WriteOutcome::writeFailed;
        }
        const auto put = [&wire](const char* text, std::size_t size, std::size_t lines) {
            wire.writeWireLines(text, size, lines);
            return wire.errorNumber() == 0;
        };
        switch (encoder.encode(path, put)) {
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
    writeText(out, headerBlock(content, boundary));
    const WriteOutcome parts = writeParts(out, wire, content, boundary, failedPath);
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
    case WriteOutcome::htmlUnreadable:
        return "Error reading HTML file " + failedPath;
    case WriteOutcome::inlineUnreadable:
        return "Error reading inline file " + failedPath;
    case WriteOutcome::writeFailed:
        break;
    }
    return "Error writing message file.";
}
