#pragma once

// The two exceptions through which every socket failure reaches the caller, the names
// of the socket error codes used in their messages, and the code for a host errno.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace pelmora {

// Every socket failure; the message is the whole of what it carries.
class ESockError : public std::runtime_error {
public:
    explicit ESockError(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A host name that cannot be resolved.
class EARPError : public std::runtime_error {
public:
    explicit EARPError(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// The symbolic name of a socket error code ("WSAECONNREFUSED" for 10061), or the empty
// text for a code the table does not hold.
std::string ErrorName(int32_t code);

// The socket error code for a host errno value: 0 for 0, WSAEINVAL for a value the
// interface has no counterpart for.
int32_t WinsockErrorFromErrno(int error);

} // namespace pelmora
