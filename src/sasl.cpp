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

namespace {

// RFC 5801 3.1: "," and "=" in the user name are written =2C and =3D.
std::string saslName(const std::string& name) {
    std::string escaped;
    for (const char c : name) {
        escaped += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
    }
    return escaped;
}

} // namespace

std::string oauthbearerInitialResponse(const Credentials& credentials) {
    return base64Encode("n,a=" + saslName(credentials.user) + ",\x01auth=Bearer " +
                        credentials.password + "\x01\x01");
}

std::string oauthbearerErrorAnswer() {
    return base64Encode("\x01");
}

std::string loginResponse(const std::string& text) {
    return base64Encode(text);
}
