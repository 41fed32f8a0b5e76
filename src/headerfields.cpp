#include "headerfields.h"

#include "addresslist.h"
#include "headertext.h"

#include <algorithm>
#include <cctype>

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool isPrintable(char c) {
    return c >= 0x20 && c < 0x7F;
}

// RFC 5322 3.2.5 phrase: atoms go as they stand, anything else as one
// quoted-string; bytes no quoted-string can carry as encoded words.
std::string phraseOf(const std::string& name) {
    if (!std::all_of(name.begin(), name.end(), isPrintable)) {
        return encodedWords(name);
    }
    const bool atoms =
        name.find_first_not_of(' ') != std::string::npos &&
        std::all_of(name.begin(), name.end(), [](char c) { return c == ' ' || isAtext(c); });
    if (atoms) {
        return " " + name;
    }
    std::string quoted = " \"";
    for (const char c : name) {
        quoted += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
    }
    return quoted + "\"";
}

} // namespace

std::optional<HeaderField> splitHeaderField(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    return HeaderField{text.substr(0, colon), trimmed(text.substr(colon + 1))};
}

bool isFieldName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(),
                                        [](char c) { return c > 0x20 && c < 0x7F && c != ':'; });
}

bool isReservedFieldName(const std::string& name) {
    static const char* const reserved[] = {
        "from", "to", "cc", "bcc", "reply-to", "date", "message-id", "mime-version", "subject"};
    const std::string lower = lowerCase(name);
    return lower.compare(0, 8, "content-") == 0 ||
           std::find(std::begin(reserved), std::end(reserved), lower) != std::end(reserved);
}

std::string fromField(const std::string& displayName, const std::string& sender) {
    if (displayName.empty()) {
        return "From: " + sender + "\r\n";
    }
    return "From:" + phraseOf(displayName) + " " + sender + "\r\n";
}

std::string addressField(const std::string& name, const StringList& addresses) {
    if (addresses.empty()) {
        return "";
    }
    std::string field = name + ":";
    for (const std::string& address : addresses) {
        field += (&address == &addresses.front() ? " " : ", ") + address;
    }
    return field + "\r\n";
}

std::string userField(const std::string& text) {
    const std::optional<HeaderField> field = splitHeaderField(text);
    if (!field) {
        return "";
    }
    const std::string& value = field->value;
    return field->name + ":" + (isAscii(value) ? " " + value : encodedWords(value)) + "\r\n";
}
