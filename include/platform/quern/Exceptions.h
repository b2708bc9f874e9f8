// The class library's exception hierarchy: every failure of the system is an
// Exception carrying one message text; the one handler that reports escaped
// exceptions shows that text.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace quern {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// Stream and file failures, worded as the class library words them.
class EStreamError : public Exception { using Exception::Exception; };
class EFOpenError : public EStreamError {
public:
    explicit EFOpenError(const std::string& name) : EStreamError("Cannot open file " + name) {}
};
class EFCreateError : public EStreamError {
public:
    explicit EFCreateError(const std::string& name, std::string reason = {})
        : EStreamError("Cannot create file " + name), Reason(std::move(reason)) {}
    // Why, in the system's words, when known; the programs show it after the
    // message ("Cannot create file X: Permission denied").
    std::string Reason;
    std::string MessageWithReason() const { return Reason.empty() ? Message : Message + ": " + Reason; }
};
class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("Stream read error") {}
};
class EWriteError : public EStreamError {
public:
    EWriteError() : EStreamError("Stream write error") {}
};

// An operating-system failure with the system's own error code.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
    int ErrorCode;
};

// A property given a value outside its range ("%s property out of range").
class ERangeError : public Exception { using Exception::Exception; };

// A platform service the program cannot go on without (temporary path, names).
class EPlatformError : public Exception { using Exception::Exception; };

}  // namespace quern
