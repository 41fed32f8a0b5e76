#include "email.h"

#include <utility>

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

int Email::sendMail() {
    return 1;
}
