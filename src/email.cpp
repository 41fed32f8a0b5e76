#include "email.h"

#include "messagefile.h"
#include "mimetypes.h"
#include "smtpclient.h"
#include "socketexception.h"
#include "tlssession.h"
#include "updater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <utility>

namespace {

constexpr char base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// RFC 2045 6.8 limits encoded lines to 76 characters: 19 groups, 57 input bytes.
constexpr std::size_t base64LineInput = 57;
constexpr std::size_t base64LineText = 76;
// Attachments are encoded this many whole lines at a time.
constexpr std::size_t base64BlockLines = 1024;
constexpr std::size_t readBlockSize = 64 * 1024;
constexpr std::size_t messageBufferSize = 64 * 1024;

const std::string defaultMimeType = "application/octet-stream";
const std::string boundarySuffix = "boundary__giblets_and_gravy";

// The 4 characters (RFC 4648 section 4, with "=" padding) for n = 1 to 3 bytes.
void encodeGroup(const unsigned char* in, std::size_t n, char* out) {
    const unsigned b0 = in[0];
    const unsigned b1 = n > 1 ? in[1] : 0U;
    const unsigned b2 = n > 2 ? in[2] : 0U;
    out[0] = base64Alphabet[b0 >> 2];
    out[1] = base64Alphabet[((b0 & 3U) << 4) | (b1 >> 4)];
    out[2] = n > 1 ? base64Alphabet[((b1 & 15U) << 2) | (b2 >> 6)] : '=';
    out[3] = n > 2 ? base64Alphabet[b2 & 63U] : '=';
}

// Two characters for every 12-bit value, so 3 bytes take two look-ups: the
// file encoder runs at memory speed instead of a character at a time.
class Base64Pairs {
  public:
    Base64Pairs() {
        for (std::size_t value = 0; value < pairCount; ++value) {
            pairs[value][0] = base64Alphabet[value >> 6];
            pairs[value][1] = base64Alphabet[value & 63U];
        }
    }
    // The 4 characters of 3 whole bytes.
    void encodeTriple(const unsigned char* in, char* out) const {
        const unsigned value = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
        std::memcpy(out, pairs[value >> 12], 2);
        std::memcpy(out + 2, pairs[value & 0xFFFU], 2);
    }

  private:
    static constexpr std::size_t pairCount = 4096;
    char pairs[pairCount][2];
};

const Base64Pairs base64Pairs;

// One line of up to base64LineInput bytes, ended by CR LF; returns its end in out.
char* encodeLine(const unsigned char* in, std::size_t size, char* out) {
    const std::size_t whole = size - size % 3;
    for (std::size_t i = 0; i < whole; i += 3, out += 4) {
        base64Pairs.encodeTriple(in + i, out);
    }
    if (whole < size) {
        encodeGroup(in + whole, size - whole, out);
        out += 4;
    }
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

// The file encoder's buffers, made once for all attachments of a message.
struct Base64Blocks {
    static constexpr std::size_t inputSize = base64LineInput * base64BlockLines;
    std::vector<unsigned char> input = std::vector<unsigned char>(inputSize);
    std::vector<char> text = std::vector<char>(base64BlockLines * (base64LineText + 2));
};

// Fills block unless the file ends first; -1 on a read error.
ssize_t readFull(int fd, unsigned char* block, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(fd, block + filled, size - filled);
        if (got == -1 && errno == EINTR) {
            continue;
        }
        if (got == -1) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(filled);
}

// Lines of 76 characters, each ended by CR LF, one fwrite per block of whole
// lines. Reads are whole blocks but the last, or lines would break in the wrong
// places. A read error fails the call rather than cutting the attachment short.
int encodeFile(const std::string& path, FILE* out, Base64Blocks& blocks) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return 1;
    }
    ssize_t filled;
    while ((filled = readFull(fd, blocks.input.data(), blocks.input.size())) > 0) {
        const auto size = static_cast<std::size_t>(filled);
        char* textEnd = blocks.text.data();
        for (std::size_t lineStart = 0; lineStart < size; lineStart += base64LineInput) {
            const std::size_t lineBytes = std::min(base64LineInput, size - lineStart);
            textEnd = encodeLine(blocks.input.data() + lineStart, lineBytes, textEnd);
        }
        std::fwrite(blocks.text.data(), 1, static_cast<std::size_t>(textEnd - blocks.text.data()),
                    out);
    }
    ::close(fd);
    return filled == -1 ? 1 : 0;
}

long microsecondsNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<long>(now.tv_usec);
}

std::tm localTime(std::time_t when) {
    std::tm broken{};
    localtime_r(&when, &broken);
    return broken;
}

std::string twoDigits(int value) {
    std::string digits = std::to_string(std::labs(value));
    if (digits.size() < 2) {
        digits.insert(0, 2 - digits.size(), '0');
    }
    return digits;
}

// What fopen(path, "wb") does, except that an empty file is not truncated: on
// ext4 a truncated file is flushed to disk when it is closed, which the message
// file, deleted right after, does not need. A large buffer keeps the many small
// header and text writes to a few system calls.
FILE* openForWriting(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) {
        return nullptr;
    }
    struct stat info {};
    const bool empty = fstat(fd, &info) == 0 && info.st_size == 0;
    FILE* out = (empty || ftruncate(fd, 0) == 0) ? fdopen(fd, "wb") : nullptr;
    if (out == nullptr) {
        ::close(fd);
        return nullptr;
    }
    std::setvbuf(out, nullptr, _IOFBF, messageBufferSize);
    return out;
}

void writeText(FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

// An entry may hold LFs of its own; every piece between them is a line of the
// file. A line starting with "." gets one more (RFC 5321 4.5.2), so no text line
// can end the data early. Lines shorter than 2 characters end in LF alone; the
// reader treats both ends alike.
void writeTextLines(FILE* out, const StringList& textLines) {
    for (const std::string& entry : textLines) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = entry.find('\n', start);
            std::string line =
                entry.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!line.empty() && line[0] == '.') {
                line.insert(0, 1, '.');
            }
            line += line.size() >= 2 ? "\r\n" : "\n";
            writeText(out, line);
            if (end == std::string::npos) {
                break;
            }
            start = end + 1;
        }
    }
}

} // namespace

Email::Email() {
    reset();
}

void Email::reset() {
    configFile.clear();
    rawFile.clear();
    serverName.clear();
    serverPort.clear();
    serverPortInt = 25;
    toList.clear();
    fromAddress.clear();
    subject.clear();
    messageText.clear();
    messageFile.clear();
    heloName.clear();
    authName.clear();
    attachmentList.clear();
    verbose = false;
    tlsMode = TlsMode::none;
    caFile.clear();
    insecure = false;
}

void Email::setConfigFile(std::string value) {
    configFile = std::move(value);
}
void Email::setRawFile(std::string value) {
    rawFile = std::move(value);
}
void Email::setWorkingDir(std::string value) {
    workingDir = std::move(value);
}
void Email::setServerName(std::string value) {
    serverName = std::move(value);
}
void Email::setServerPort(std::string value) {
    serverPort = std::move(value);
}
void Email::setToList(std::string tl) {
    toList = parseList(std::move(tl));
}
void Email::setFromAddress(std::string value) {
    fromAddress = std::move(value);
}
void Email::setSubject(std::string value) {
    subject = std::move(value);
}
void Email::setMessageText(std::string value) {
    messageText = std::move(value);
}
void Email::setMessageFile(std::string value) {
    messageFile = std::move(value);
}
void Email::setHeloName(std::string value) {
    heloName = std::move(value);
}
void Email::setAuth(std::string value) {
    authName = std::move(value);
}
void Email::setAttachmentList(StringList value) {
    attachmentList = std::move(value);
}
void Email::setVerbose(bool value) {
    verbose = value;
}
void Email::setTlsMode(TlsMode value) {
    tlsMode = value;
}
void Email::setCaFile(std::string value) {
    caFile = std::move(value);
}
void Email::setInsecure(bool value) {
    insecure = value;
}

// Only the space character counts: tabs and line ends are part of the text.
void Email::stripWhiteSpace(std::string& st) const {
    const auto first = st.find_first_not_of(' ');
    if (first == std::string::npos) {
        st.clear();
        return;
    }
    st.erase(0, first);
    st.erase(st.find_last_not_of(' ') + 1);
}

// Every comma closes an item, empty ones included; a text that ends in a comma
// has no item after it. Each item is stripped and bracketed, never inspected.
StringList Email::parseList(std::string recipientList) {
    StringList line;
    std::size_t startAt = 0;
    for (std::size_t i = 0; i < recipientList.size(); ++i) {
        const bool isComma = recipientList[i] == ',';
        if (!isComma && i + 1 != recipientList.size()) {
            continue;
        }
        const std::size_t itemLength = (isComma ? i : i + 1) - startAt;
        std::string item = recipientList.substr(startAt, itemLength);
        stripWhiteSpace(item);
        line.push_back("<" + item + ">");
        startAt = i + 1;
    }
    return line;
}

// Replies are shown line by line, each with the "< " the caller put only before
// the first. Once an empty line turns up, the rest goes out in one piece.
void Email::displayString(std::string line) const {
    if (!verbose || line.empty()) {
        return;
    }
    if (line[0] != '<') {
        std::cout << line;
        return;
    }
    std::string remaining = std::move(line);
    bool firstLine = true;
    std::size_t location = remaining.find('\n');
    while (location != std::string::npos && location > 0) {
        if (!firstLine) {
            std::cout << "< ";
        }
        std::cout << remaining.substr(0, location + 1);
        remaining.erase(0, location + 1);
        firstLine = false;
        location = remaining.find('\n');
    }
    // Left now: a last line without LF, or text from an empty line on (a lone LF
    // alone is dropped).
    const std::size_t skipped = location == std::string::npos ? 0 : location + 1;
    if (skipped < remaining.size()) {
        std::cout << "< " << remaining << '\n';
    }
}

int Email::base64Encode(const std::string& fileLocation, FILE* out) const {
    Base64Blocks blocks;
    return encodeFile(fileLocation, out, blocks);
}

std::string Email::base64Encode(std::string stringToEncode) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(stringToEncode.data());
    const std::size_t length = stringToEncode.size();
    std::string result;
    result.reserve((length + 2) / 3 * 4);
    for (std::size_t count = 0; count < length; count += 3) {
        char chars[4];
        encodeGroup(bytes + count, std::min<std::size_t>(3, length - count), chars);
        result.append(chars, sizeof chars);
    }
    return result;
}

std::string Email::getEmailDate() {
    return formatEmailDate(std::time(nullptr));
}

// RFC 5322 3.3 form. tm_gmtoff is the offset in force at that very instant, so
// summer time is included exactly when it applies.
std::string Email::formatEmailDate(std::time_t when) const {
    const std::tm local = localTime(when);
    char buffer[50];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %X ", &local);
    const long offsetSecs = local.tm_gmtoff;
    return std::string(buffer, length) +
           padIt(static_cast<int>(offsetSecs / 3600), static_cast<int>(offsetSecs % 3600 / 60));
}

// The sign belongs to the whole offset: UTC-00:30 comes in as 0 hours, -30 minutes.
std::string Email::padIt(int hour, int min) const {
    const char sign = hour < 0 || min < 0 ? '-' : '+';
    return sign + twoDigits(hour) + twoDigits(min);
}

std::string Email::getMessageIDPrefix() const {
    const std::tm local = localTime(std::time(nullptr));
    char digits[15];
    const std::size_t length = std::strftime(digits, sizeof digits, "%Y%m%d%H%M%S", &local);
    return std::string(digits, length) + std::to_string(microsecondsNow());
}

std::string Email::generateFileName() {
    return std::to_string(microsecondsNow()) + ".msg";
}

std::string Email::extensionToMimeType(std::string extensionName) {
    for (std::size_t i = 0; i < mimeTypeRowCount; ++i) {
        const std::string row = mimeTypeRows[i];
        const std::size_t comma = row.find(',');
        std::string extension = row.substr(0, comma);
        stripWhiteSpace(extension);
        if (comma == std::string::npos || extension != extensionName) {
            continue;
        }
        std::string type = row.substr(comma + 1);
        stripWhiteSpace(type);
        return type;
    }
    return defaultMimeType;
}

// The first character is never taken as the dot, so ".profile" has no extension.
std::string Email::getExtension(std::string fileName) const {
    for (std::size_t i = fileName.size(); i-- > 1;) {
        if (fileName[i] == '.') {
            return fileName.substr(i);
        }
    }
    return {};
}

// A backslash wins over any slash, wherever it stands, so Windows paths work too.
std::string Email::extractFile(const std::string& fullPath) const {
    std::size_t cut = fullPath.rfind('\\');
    if (cut == std::string::npos) {
        cut = fullPath.rfind('/');
    }
    return cut == std::string::npos ? fullPath : fullPath.substr(cut + 1);
}

// Lines end at LF, a CR right before it dropped; every byte else is kept. The
// lines are appended only once the whole file has been read, so a read error
// (a directory, say) leaves messageData untouched.
int Email::readFileToVector(std::string file, StringList& messageData) const {
    FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) {
        return 0;
    }
    StringList lines;
    std::string current;
    std::vector<char> block(readBlockSize);
    std::size_t got = 0;
    while ((got = std::fread(block.data(), 1, block.size(), in)) > 0) {
        const char* next = block.data();
        const char* const end = next + got;
        while (next != end) {
            const auto* lf = static_cast<const char*>(
                std::memchr(next, '\n', static_cast<std::size_t>(end - next)));
            if (lf == nullptr) {
                current.append(next, end);
                break;
            }
            current.append(next, lf);
            if (!current.empty() && current.back() == '\r') {
                current.pop_back();
            }
            lines.push_back(std::move(current));
            current.clear();
            next = lf + 1;
        }
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        return 0;
    }
    if (!current.empty()) {
        lines.push_back(std::move(current));
    }
    messageData.insert(messageData.end(), std::make_move_iterator(lines.begin()),
                       std::make_move_iterator(lines.end()));
    return 1;
}

// Headers and parts end in CR LF, the empty separator lines in LF alone; the
// reader makes the two alike. An attachment that cannot be read in full stops
// the writing: sending it cut short would go unnoticed by the recipient.
int Email::writeMailFile(std::string outputLocation, std::string sender, StringList recipients,
                         std::string subjectText, StringList attachments, StringList textLines) {
    unreadableAttachment.clear();
    const std::string boundary = std::to_string(microsecondsNow()) + boundarySuffix;
    FILE* out = openForWriting(outputLocation);
    if (out == nullptr) {
        return 1;
    }

    std::string recipientText;
    for (const std::string& recipient : recipients) {
        recipientText += recipient + ", ";
    }
    if (!recipientText.empty()) {
        recipientText.erase(recipientText.size() - 2);
    }
    const std::string fromRow = "From: " + sender + "\r\n";
    const std::string toRow = "To: " + recipientText + "\r\n";
    const std::string subjectRow = "Subject: " + subjectText + "\r\n";
    const std::string dateRow = "Date: " + getEmailDate() + "\r\n";
    const std::string idRow = "Message-Id: <" + getMessageIDPrefix() + sender + ">\r\n";

    std::string head = idRow + dateRow + fromRow + toRow + subjectRow + "MIME-Version: 1.0\r\n";
    if (!attachments.empty()) {
        head += "Content-Type: multipart/mixed;\r\n";
        head += "\tBoundary=\"" + boundary + "\"\r\n";
        head += "\nThis is a multi-part message in MIME format.\r\n\n";
        head += "--" + boundary + "\r\n";
    }
    head += "Content-Type: text/plain;\r\n"
            "\tcharset=\"us-ascii\"\r\n"
            "Content-Transfer-Encoding: 7bit\r\n"
            "\n";
    writeText(out, head);
    writeTextLines(out, textLines);
    writeText(out, "\n");

    Base64Blocks blocks;
    for (const std::string& path : attachments) {
        const std::string name = extractFile(path);
        const std::string type = extensionToMimeType(getExtension(name));
        std::string part = "--" + boundary + "\r\n";
        part += "Content-Type: " + type + ";\r\n";
        part += "\tname=\"" + name + "\"\r\n";
        part += "Content-Transfer-Encoding: base64\r\n";
        part += "Content-Disposition: attachment;\r\n";
        part += "\tfilename=\"" + name + "\"\r\n\n";
        writeText(out, part);
        if (encodeFile(path, out, blocks) != 0) {
            std::fclose(out);
            unreadableAttachment = path;
            return attachmentUnreadable;
        }
        writeText(out, "\n");
    }
    if (!attachments.empty()) {
        writeText(out, "--" + boundary + "--\r\n");
    }
    // The empty line and the "." that ends the SMTP data (RFC 5321 4.1.1.4).
    writeText(out, "\r\n.\r\n");
    // A full disk or a file size limit must not let a cut message go out.
    const bool writeFailed = std::ferror(out) != 0;
    return std::fclose(out) != 0 || writeFailed ? 1 : 0;
}

// ---- Send driver ----------------------------------------------------------

namespace {

constexpr unsigned int receiveSizeBytes = 34;
constexpr int defaultPort = 25;
constexpr int implicitTlsPort = 465;
constexpr int successStatus = 0;
constexpr int failureStatus = 1;
constexpr int configHeaderLines = 5;
// Names are drawn from the microsecond clock; this many collisions in a row
// means the directory is not usable rather than unlucky.
constexpr int maxFileNameAttempts = 100000;

// Preparation errors carry no prefix; dialogue errors carry "! ". Both are
// flushed at once so they interleave correctly with the progress display.
int fail(const std::string& line) {
    std::cout << line << std::endl;
    return failureStatus;
}

int transportFailure(const SocketException& e) {
    return fail("! Error: " + e.errMsg() + " - " + std::strerror(e.errNum()));
}

// RFC 5321 4.2: only the three digits of the code decide.
bool replyIs(const std::string& reply, const char* code) {
    return reply.size() >= 3 && reply.compare(0, 3, code) == 0;
}

// A keyword line of an EHLO reply (RFC 5321 4.1.1.1): "250-WORD ..." or "250 WORD ...".
bool offersKeyword(const std::string& reply, const std::string& keyword) {
    std::size_t start = 0;
    while (start < reply.size()) {
        std::size_t end = reply.find('\n', start);
        end = end == std::string::npos ? reply.size() : end;
        std::string word = reply.substr(start, end - start);
        const bool keywordLine =
            word.size() > 4 && word.compare(0, 3, "250") == 0 && (word[3] == '-' || word[3] == ' ');
        word = keywordLine ? word.substr(4, word.find_first_of(" \r", 4) - 4) : "";
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (word == keyword) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// Leading blanks, a sign and the longest run of digits; anything after is
// ignored and no digits give 0. Saturates instead of overflowing.
int portNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = std::min(limit, value * 10 + (text[i] - '0'));
    }
    return static_cast<int>(negative ? -value : value);
}

} // namespace

int Email::sendMail() {
    SmtpClient smtpclient(receiveSizeBytes);
    Updater upd;
    smtpclient.setUpdater(&upd);
    smtpclient.setTransmitTimeout(transmitTimeoutSeconds);
    smtpclient.setReceiveTimeout(receiveTimeoutSeconds);

    MessageFile message;
    if (prepareMessage(message) != successStatus || checkJob() != successStatus) {
        return failureStatus;
    }
    try {
        return runDialogue(smtpclient, message);
    } catch (const SocketException& e) {
        return transportFailure(e);
    }
}

// Everything before the first byte goes to the network: the message ends up
// as an open file whose lines are counted. A composed file loses its name at
// once; the open descriptor keeps it readable until the transfer is over.
int Email::prepareMessage(MessageFile& message) {
    StringList messageData;
    if (!configFile.empty() && mergeConfigFile(messageData) != successStatus) {
        return failureStatus;
    }
    std::string filePath = rawFile;
    if (rawFile.empty()) {
        if (collectBody(messageData) != successStatus ||
            composeMessageFile(messageData, filePath) != successStatus) {
            return failureStatus;
        }
    }
    const bool opened = message.open(filePath);
    if (rawFile.empty() && std::remove(filePath.c_str()) != 0) {
        std::cout << "Error deleting message file " << filePath << std::endl;
    }
    if (!opened || !message.countLines()) {
        return fail("Error reading message file.");
    }
    if (!serverPort.empty()) {
        serverPortInt = portNumber(serverPort);
    } else if (tlsMode == TlsMode::implicit) {
        serverPortInt = implicitTlsPort;
    }
    if (heloName.empty()) {
        heloName = "localhost";
    }
    return successStatus;
}

// Lines 1 to 5 override the command line; the rest starts the body.
int Email::mergeConfigFile(StringList& messageData) {
    if (readFileToVector(configFile, messageData) == 0) {
        return fail("Error reading config file.");
    }
    if (!messageData.empty()) {
        takeConfigPort(messageData.front());
    }
    if (messageData.size() <= configHeaderLines) {
        return fail("Invalid config file.");
    }
    const std::string& serverLine = messageData[0];
    serverName = serverLine.substr(0, serverLine.rfind(':'));
    heloName = messageData[1];
    fromAddress = "<" + messageData[2] + ">";
    toList = parseList(messageData[3]);
    subject = messageData[4];
    messageData.erase(messageData.begin(), messageData.begin() + configHeaderLines);
    return successStatus;
}

// The last colon splits "server[:port]"; one at the very start names no port.
void Email::takeConfigPort(const std::string& serverLine) {
    const std::size_t colon = serverLine.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        serverPortInt = defaultPort;
        std::cout << "set serverPortInt to 25" << std::endl;
        return;
    }
    serverPort = serverLine.substr(colon + 1);
    serverPortInt = portNumber(serverPort);
    std::cout << "serverport = " << serverPort << "  serverPortInt = " << serverPortInt
              << std::endl;
}

int Email::collectBody(StringList& messageData) const {
    if (!messageText.empty()) {
        messageData.push_back(messageText);
    } else if (!messageFile.empty() && readFileToVector(messageFile, messageData) == 0) {
        return fail("Error reading message file.");
    }
    return successStatus;
}

// Creates the file exclusively (mode 0600, never through a planted link) under
// a fresh name, writes the message into it, and removes it again on failure.
int Email::composeMessageFile(const StringList& messageData, std::string& filePath) {
    displayString("* Creating message file.\n");
    if (!createExclusiveFile(filePath)) {
        return fail("Error writing message file.");
    }
    const int written =
        writeMailFile(filePath, fromAddress, toList, subject, attachmentList, messageData);
    if (written == successStatus) {
        return successStatus;
    }
    std::remove(filePath.c_str());
    if (written == attachmentUnreadable) {
        return fail("Error reading attachment file " + unreadableAttachment);
    }
    return fail("Error writing message file.");
}

bool Email::createExclusiveFile(std::string& filePath) {
    for (int attempt = 0; attempt < maxFileNameAttempts; ++attempt) {
        filePath = workingDir + generateFileName();
        const int fd = ::open(filePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// The job must name a server, a recipient and a sender, and no text that goes
// into a command line or a header may carry a line break (it would inject
// commands or headers).
int Email::checkJob() const {
    if (serverName.empty()) {
        return fail("Aborting - no server defined.");
    }
    if (toList.empty()) {
        return fail("Aborting - no recipients defined.");
    }
    if (fromAddress.empty()) {
        return fail("Aborting - no From address defined.");
    }
    if (hasLineBreak(fromAddress)) {
        return fail("Aborting - line break in From address.");
    }
    if (std::any_of(toList.begin(), toList.end(), hasLineBreak)) {
        return fail("Aborting - line break in recipient address.");
    }
    if (hasLineBreak(heloName)) {
        return fail("Aborting - line break in HELO domain.");
    }
    if (hasLineBreak(authName)) {
        return fail("Aborting - line break in credentials.");
    }
    if (rawFile.empty() && hasLineBreak(subject)) {
        return fail("Aborting - line break in subject.");
    }
    // The file name goes into the part headers, where a line break would end
    // the data early or add header lines.
    const auto nameHasLineBreak = [this](const std::string& path) {
        return hasLineBreak(extractFile(path));
    };
    if (rawFile.empty() &&
        std::any_of(attachmentList.begin(), attachmentList.end(), nameHasLineBreak)) {
        return fail("Aborting - line break in attachment name.");
    }
    return successStatus;
}

// ---- SMTP dialogue --------------------------------------------------------

int Email::runDialogue(SmtpClient& client, const MessageFile& message) {
    displayString("* Connecting to server " + serverName + "\n");
    const auto port =
        static_cast<unsigned short>(static_cast<unsigned int>(serverPortInt) & 0xFFFFu);
    const TlsOptions tls{serverName, caFile, insecure};
    if (tlsMode == TlsMode::implicit) {
        const std::string greeting = client.connectTls(serverName, port, tls);
        displayString("* " + client.tlsDescription() + "\n");
        displayString("< " + greeting);
    } else {
        displayString("< " + client.connect(serverName, port));
    }
    if (tlsMode == TlsMode::startTls && !startTls(client, tls)) {
        return quit(client, failureStatus);
    }

    Greeting greeting = !authName.empty()              ? ehloAndAuthenticate(client)
                        : tlsMode == TlsMode::startTls ? ehloOverTls(client)
                                                       : Greeting::useHelo;
    if (greeting == Greeting::useHelo) {
        greeting = helo(client);
    }
    if (greeting == Greeting::failed) {
        return quit(client, failureStatus);
    }
    if (!mailFrom(client)) {
        fail("! Error, sender address refused.");
        return quit(client, failureStatus);
    }
    if (!rcptToAll(client)) {
        fail("! Something odd occurred, bailing out...");
        return quit(client, failureStatus);
    }
    const int status = transfer(client, message);
    return status == successStatus ? quitAfterDelivery(client) : quit(client, status);
}

Email::Greeting Email::ehloAndAuthenticate(SmtpClient& client) {
    const std::size_t colon = authName.find(':');
    std::string aName = authName.substr(0, colon);
    std::string aPass = colon == std::string::npos ? std::string() : authName.substr(colon + 1);

    displayString("> EHLO " + heloName + "\n");
    const std::string response = client.ehlo(heloName);
    displayString("< " + response);
    if (replyIs(response, "250")) {
        if (response.rfind("250-AUTH LOGIN PLAIN", 0) == 0) {
            authName.clear();
            return Greeting::useHelo;
        }
        return authenticate(client, base64Encode(aName), base64Encode(aPass));
    }
    if (replyIs(response, "501")) {
        fail("! Error in argument " + heloName + "\n");
        return Greeting::failed;
    }
    if (replyIs(response, "502")) {
        fail("! Error, ESMTP not supported, attempting HELO...");
        authName.clear();
        return Greeting::useHelo;
    }
    fail("! Error, giving up.");
    return Greeting::failed;
}

// RFC 3207: once asked for, TLS has no fallback to plain text.
bool Email::startTls(SmtpClient& client, const TlsOptions& tls) {
    displayString("> EHLO " + heloName + "\n");
    std::string response = client.ehlo(heloName);
    displayString("< " + response);
    if (!replyIs(response, "250") || !offersKeyword(response, "STARTTLS")) {
        fail("! Error, server does not offer STARTTLS, quitting.");
        return false;
    }
    displayString("> STARTTLS\n");
    response = client.startTls();
    displayString("< " + response);
    if (!replyIs(response, "220")) {
        fail("! Error, STARTTLS refused, quitting.");
        return false;
    }
    client.beginTls(tls);
    displayString("* " + client.tlsDescription() + "\n");
    return true;
}

// The EHLO that RFC 3207 asks for after the handshake, when no AUTH follows.
Email::Greeting Email::ehloOverTls(SmtpClient& client) {
    displayString("> EHLO " + heloName + "\n");
    const std::string response = client.ehlo(heloName);
    displayString("< " + response);
    if (replyIs(response, "250")) {
        return Greeting::done;
    }
    fail("! Error, giving up.");
    return Greeting::failed;
}

// RFC 4954 AUTH LOGIN. A server that refuses the mechanism or the user name
// gets the mail unauthenticated; only a refused password stops the run.
Email::Greeting Email::authenticate(SmtpClient& client, const std::string& aName,
                                    const std::string& aPass) {
    displayString("> AUTH LOGIN\n");
    std::string response = client.authLogin();
    if (!replyIs(response, "334")) {
        return Greeting::done;
    }
    displayString("< " + response);
    displayString("> " + aName + "\n");
    response = client.sendAuthName(aName);
    if (!replyIs(response, "334")) {
        return Greeting::done;
    }
    displayString("< " + response);
    displayString("> " + aPass + "\n");
    response = client.sendAuthPass(aPass);
    displayString("< " + response);
    if (replyIs(response, "235")) {
        return Greeting::done;
    }
    fail("! Authentication failure, quitting.");
    return Greeting::failed;
}

Email::Greeting Email::helo(SmtpClient& client) {
    displayString("> HELO " + heloName + "\n");
    const std::string response = client.helo(heloName);
    displayString("< " + response);
    if (replyIs(response, "250")) {
        return Greeting::done;
    }
    fail(replyIs(response, "501") ? "! Error in argument" + heloName + "\n"
                                  : std::string("! Error, giving up.\n"));
    return Greeting::failed;
}

bool Email::mailFrom(SmtpClient& client) {
    displayString("> MAIL FROM: " + fromAddress + "\n");
    const std::string response = client.mailFrom(fromAddress);
    if (!replyIs(response, "250")) {
        return false;
    }
    displayString("< " + response);
    return true;
}

// Every recipient is tried; one acceptance is enough to go on.
bool Email::rcptToAll(SmtpClient& client) {
    bool atLeastOneRecipientOK = false;
    for (const std::string& recipient : toList) {
        displayString("> RCPT TO: " + recipient + "\n");
        const std::string response = client.rcptTo(recipient);
        displayString("< " + response);
        atLeastOneRecipientOK = atLeastOneRecipientOK || replyIs(response, "250");
    }
    return atLeastOneRecipientOK;
}

int Email::transfer(SmtpClient& client, const MessageFile& message) {
    displayString("> DATA\n");
    std::string response = client.data();
    displayString("< " + response);
    if (!replyIs(response, "354")) {
        return fail("! Error, remote server doesn't want your data.");
    }
    displayString("* Sending data...\n");
    response = client.sendFile(message.descriptor(), message.lineCount());
    displayString("< " + response);
    if (!replyIs(response, "250")) {
        return fail("! Data transmission error.");
    }
    return successStatus;
}

// The closing QUIT: its reply is shown, never judged.
int Email::quit(SmtpClient& client, int status) {
    displayString("> QUIT\n");
    displayString("< " + client.quit());
    return status;
}

// Once the server has taken the message, a failing QUIT must not make a script
// send it again: the error is shown, the run still counts as delivered.
int Email::quitAfterDelivery(SmtpClient& client) {
    try {
        return quit(client, successStatus);
    } catch (const SocketException& e) {
        transportFailure(e);
        return successStatus;
    }
}
