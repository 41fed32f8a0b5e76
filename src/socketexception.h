#ifndef BRENVOX_SOCKETEXCEPTION_H
#define BRENVOX_SOCKETEXCEPTION_H

#include <string>
#include <utility>

// The one exception type of the program: a transport failure with the platform's
// error number (errno after the failing call) and a fixed message. Thrown and
// caught by value.
class SocketException {
  public:
    SocketException(int number, std::string message)
        : errorNumber(number), errorMessage(std::move(message)) {}

    int errNum() const { return errorNumber; }
    std::string errMsg() const { return errorMessage; }

  private:
    int errorNumber;
    std::string errorMessage;
};

#endif
