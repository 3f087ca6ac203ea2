#pragma once

// The two exceptions through which every socket failure reaches the caller, and the
// names of the socket error codes used in their messages.

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

} // namespace pelmora
