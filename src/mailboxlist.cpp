#include "mailboxlist.h"

#include <cctype>

namespace {

class AddressScanner {
  public:
    explicit AddressScanner(const std::string& text) : value(text) {}

    StringList scan() {
        while (at < value.size()) {
            step(value[at++]);
        }
        endItem();
        return addresses;
    }

  private:
    void step(char c) {
        if (c == '"') {
            bare += quoted();
        } else if (c == '(') {
            skipComment();
        } else if (c == '<') {
            angle = angleAddress();
            hasAngle = true;
        } else if (c == ':') {
            bare.clear(); // a group's name
        } else if (c == ',' || c == ';') {
            endItem();
        } else if (std::isspace(static_cast<unsigned char>(c)) == 0) {
            bare += c; // space outside quotes is folding white space
        }
    }

    // From after the opening '"' to after the closing one, escapes kept.
    std::string quoted() {
        std::string text = "\"";
        while (at < value.size() && value[at] != '"') {
            if (value[at] == '\\' && at + 1 < value.size()) {
                text += value[at++];
            }
            text += value[at++];
        }
        ++at;
        return text + '"';
    }

    void skipComment() {
        for (int depth = 1; at < value.size() && depth > 0; ++at) {
            const char c = value[at];
            if (c == '\\') {
                ++at;
            } else {
                depth += c == '(' ? 1 : c == ')' ? -1 : 0;
            }
        }
    }

    // After the '<' up to the '>', an obsolete route ("@a,@b:") dropped.
    std::string angleAddress() {
        std::string text;
        while (at < value.size() && value[at] != '>') {
            const char c = value[at++];
            if (c == '"') {
                text += quoted();
            } else if (c == ':') {
                text.clear();
            } else if (std::isspace(static_cast<unsigned char>(c)) == 0) {
                text += c;
            }
        }
        ++at;
        return text;
    }

    void endItem() {
        std::string address = hasAngle ? angle : bare;
        if (!address.empty()) {
            addresses.push_back(std::move(address));
        }
        bare.clear();
        angle.clear();
        hasAngle = false;
    }

    const std::string& value;
    std::size_t at = 0;
    std::string bare;
    std::string angle;
    bool hasAngle = false;
    StringList addresses;
};

} // namespace

StringList mailboxAddresses(const std::string& value) {
    return AddressScanner(value).scan();
}
