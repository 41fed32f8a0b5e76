#include "messageingest.h"

#include "descriptorio.h"
#include "mailboxlist.h"
#include "wirewriter.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace {

using Failure = IngestResult::Failure;

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

// RFC 5322 field-name: printable ASCII but ':', then ':'.
bool startsField(const std::string& line) {
    const auto colon = std::find_if(line.begin(), line.end(),
                                    [](char c) { return c == ':' || c <= ' ' || c > '~'; });
    return colon != line.begin() && colon != line.end() && *colon == ':';
}

std::string lowerName(const std::string& field) {
    std::string name = field.substr(0, field.find(':'));
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

std::string unfoldedValue(const std::string& field) {
    std::string value = field.substr(field.find(':') + 1);
    value.erase(std::remove(value.begin(), value.end(), '\n'), value.end());
    return value;
}

class Ingest {
  public:
    Ingest(FdWriter output, const IngestOptions& settings, IngestResult& outcome)
        : out(std::move(output)), options(settings), result(outcome) {}

    // Any of CR LF, LF and CR ends a line; a CR at the end of one block and
    // an LF at the start of the next are one line end.
    void feed(const char* data, std::size_t size) {
        const char* const end = data + size;
        while (data != end && result.failure == Failure::none) {
            if (std::exchange(crPending, false) && *data == '\n') {
                ++data;
                continue;
            }
            // The body up to its next CR goes as it stands: LF ends are kept.
            if (!inHeader && !crPending) {
                const char* cr = static_cast<const char*>(
                    std::memchr(data, '\r', static_cast<std::size_t>(end - data)));
                const char* stop = cr != nullptr ? cr : end;
                if (stop != data) {
                    out.write(data, static_cast<std::size_t>(stop - data));
                    lineOpen = stop[-1] != '\n';
                    data = stop;
                    continue;
                }
            }
            const char* stop = std::find_if(data, end, isLineEnd);
            piece(data, stop);
            if (stop == end) {
                return;
            }
            crPending = *stop == '\r';
            lineEnd();
            data = stop + 1;
        }
    }

    void finish() {
        if (lineOpen && result.failure == Failure::none) {
            lineEnd();
        }
        if (inHeader && result.failure == Failure::none) {
            headerLine();
        }
        out.flush();
        result.bytes = out.bytes();
        result.lines = out.lines();
        if (out.errorNumber() != 0 && result.failure == Failure::none) {
            fail(Failure::writeFailed,
                 std::string("cannot write the message file: ") + std::strerror(out.errorNumber()));
        }
    }

    void fail(Failure failure, std::string errorLine) {
        result.failure = failure;
        result.error = std::move(errorLine);
    }

  private:
    void piece(const char* begin, const char* end) {
        lineOpen = lineOpen || begin != end;
        if (!inHeader) {
            out.write(begin, static_cast<std::size_t>(end - begin));
        } else if (line.size() + static_cast<std::size_t>(end - begin) > maxHeaderFieldBytes) {
            failTooLong();
        } else {
            line.append(begin, end);
        }
    }

    void failTooLong() { fail(Failure::headerTooLong, "a header field is longer than 1 MiB"); }

    void lineEnd() {
        lineOpen = false;
        if (inHeader) {
            headerLine();
            line.clear();
        } else {
            out.put('\n');
        }
    }

    void headerLine() {
        const bool continues = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (continues && !field.empty()) {
            if (field.size() + line.size() >= maxHeaderFieldBytes) {
                failTooLong();
            }
            field += '\n' + line;
        } else if (!continues && startsField(line)) {
            passField();
            field = line;
        } else {
            endHeader();
            if (!line.empty()) {
                out.write(line);
                out.put('\n');
            }
        }
    }

    // The field in hand, with its continuation lines.
    void passField() {
        if (field.empty()) {
            return;
        }
        const std::string name = lowerName(field);
        if (name == "to" || name == "cc" || name == "bcc") {
            const StringList addresses = mailboxAddresses(unfoldedValue(field));
            result.recipients.insert(result.recipients.end(), addresses.begin(), addresses.end());
        }
        hasFrom = hasFrom || name == "from";
        hasDate = hasDate || name == "date";
        hasMessageId = hasMessageId || name == "message-id";
        if (name != "bcc" && !(name == "from" && options.replaceFrom)) {
            out.write(field);
            out.put('\n');
        }
        field.clear();
    }

    void endHeader() {
        passField();
        result.addedFrom = add("From", options.from, hasFrom && !options.replaceFrom);
        result.addedDate = add("Date", options.date, hasDate);
        result.addedMessageId = add("Message-Id", options.messageId, hasMessageId);
        out.put('\n');
        inHeader = false;
    }

    bool add(const char* name, const std::string& value, bool present) {
        if (present || value.empty()) {
            return false;
        }
        out.write(std::string(name) + ": " + value + "\n");
        return true;
    }

    FdWriter out;
    const IngestOptions& options;
    IngestResult& result;
    bool crPending = false;
    bool lineOpen = false;
    bool inHeader = true;
    std::string line;
    std::string field;
    bool hasFrom = false;
    bool hasDate = false;
    bool hasMessageId = false;
};

} // namespace

namespace {

IngestResult ingestInto(int inFd, FdWriter out, const IngestOptions& options) {
    IngestResult result;
    Ingest ingest(std::move(out), options, result);
    FdReader in(inFd);
    for (auto block = in.block(); block.second > 0 && result.failure == Failure::none;
         block = in.block()) {
        ingest.feed(block.first, block.second);
        in.consume(block.second);
    }
    if (in.errorNumber() != 0) {
        ingest.fail(Failure::readFailed,
                    std::string("cannot read the message: ") + std::strerror(in.errorNumber()));
    }
    ingest.finish();
    return result;
}

} // namespace

IngestResult ingestMessage(int inFd, int outFd, const IngestOptions& options) {
    return ingestInto(inFd, FdWriter(outFd), options);
}

IngestResult ingestMessage(int inFd, WireWriter& out, const IngestOptions& options) {
    IngestResult result = ingestInto(inFd, FdWriter([&out](const char* data, std::size_t size) {
                                         out.write(data, size);
                                         return out.errorNumber() == 0;
                                     }),
                                     options);
    if (!out.finish() && result.failure == IngestResult::Failure::none) {
        result.failure = IngestResult::Failure::writeFailed;
        result.error =
            std::string("cannot write the message file: ") + std::strerror(out.errorNumber());
    }
    return result;
}
