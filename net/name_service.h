#pragma once

// The socket library's name service: hosts by name and by address, the protocol and
// service databases, and this host's own name.
//
// A look-up answers with an entry that stays valid on this thread until the next
// look-up of the same kind (host by name, host by address, protocol, service), or with
// nullptr and the interface's error code in `error`, which is left alone on success.
// Addresses and ports are in network byte order, as the interface hands them out.

#include "net/winsock_types.h"

namespace pelmora {

// IPv4 addresses only, each once, in the resolver's order; the entry's name is the
// canonical one when the resolver gives it. Names in the reserved top-level domain
// "invalid" fail as unknown without asking the resolver.
THostEnt* HostByName(const char* name, int32_t& error);
// `address` is 4 bytes of an IPv4 address; `type` must be WS_AF_INET.
THostEnt* HostByAddress(const char* address, int32_t length, int32_t type, int32_t& error);

// Names match without regard to case.
TProtoEnt* ProtocolByName(const char* name, int32_t& error);
TProtoEnt* ProtocolByNumber(int32_t number, int32_t& error);

// `protocol` may be nullptr for any protocol.
TServEnt* ServiceByName(const char* name, const char* protocol, int32_t& error);
TServEnt* ServiceByPort(int32_t port, const char* protocol, int32_t& error);

// Copies this host's name and its terminating zero into `name`; false, with the error
// code, when it cannot (WSAEFAULT when it does not fit).
bool OwnHostName(char* name, int32_t length, int32_t& error);

} // namespace pelmora
