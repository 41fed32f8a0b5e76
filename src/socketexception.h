#ifndef BRENVOX_SOCKETEXCEPTION_H
#define BRENVOX_SOCKETEXCEPTION_H

#include <cstring>
#include <string>
#include <utility>

// The one exception type of the program: a transport failure with the platform's
// error number (errno after the failing call) and a fixed message. Thrown and
// caught by value.
class SocketException {
  public:
    SocketException(int number, std::string message, std::string why = {})
        : errorNumber(number), errorMessage(std::move(message)), reasonText(std::move(why)) {}

    int errNum() const { return errorNumber; }
    std::string errMsg() const { return errorMessage; }
    // The cause in words: the text given for failures that have no error
    // number (the resolver's), else the platform's text for errNum.
    std::string reason() const {
        return reasonText.empty() ? std::strerror(errorNumber) : reasonText;
    }

  private:
    int errorNumber;
    std::string errorMessage;
    std::string reasonText;
};

#endif
