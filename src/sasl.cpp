#include "sasl.h"

#include "base64.h"

Credentials splitCredentials(const std::string& userColonPass) {
    const std::size_t colon = userColonPass.find(':');
    if (colon == std::string::npos) {
        return {userColonPass, {}};
    }
    return {userColonPass.substr(0, colon), userColonPass.substr(colon + 1)};
}

std::string plainInitialResponse(const Credentials& credentials) {
    return base64Encode(std::string(1, '\0') + credentials.user + '\0' + credentials.password);
}

std::string xoauth2InitialResponse(const Credentials& credentials) {
    return base64Encode("user=" + credentials.user + "\x01" + "auth=Bearer " +
                        credentials.password + "\x01\x01");
}

std::string loginResponse(const std::string& text) {
    return base64Encode(text);
}
