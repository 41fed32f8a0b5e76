#include "smtpauth.h"

#include "smtpclient.h"
#include "smtpreply.h"

std::string authenticateInOneStep(SmtpClient& client, AuthMechanism mechanism,
                                  const Credentials& credentials) {
    if (mechanism == AuthMechanism::plain) {
        return client.authWith("PLAIN", plainInitialResponse(credentials));
    }
    const bool bearer = mechanism == AuthMechanism::oauthbearer;
    const std::string response =
        bearer ? client.authWith("OAUTHBEARER", oauthbearerInitialResponse(credentials))
               : client.authWith("XOAUTH2", xoauth2InitialResponse(credentials));
    if (!replyIs(response, "334")) {
        return response;
    }
    return client.sendAuthPass(bearer ? oauthbearerErrorAnswer() : "");
}
