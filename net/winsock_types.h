#pragma once

// The data types, constants and error codes of the socket library as its callers see
// them: 32-bit handles, IPv4 addresses in network byte order, the library's own option
// numbers and error codes. The values are those of the 1.1 interface, not the host's.

#include <cstdint>

namespace pelmora {

using TSocket = uint32_t;
constexpr TSocket INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int32_t SOCKET_ERROR = -1;

// The host's headers define AF_INET and friends as macros, so the library's own
// numbers carry a WS_ prefix.
constexpr int32_t WS_AF_INET = 2;
constexpr int32_t WS_SOCK_STREAM = 1;
constexpr int32_t WS_SOCK_DGRAM = 2;
constexpr int32_t WS_SOL_SOCKET = 0xFFFF;
constexpr int32_t WS_SO_REUSEADDR = 0x0004;
constexpr int32_t WS_SO_KEEPALIVE = 0x0008;
constexpr int32_t WS_SO_LINGER = 0x0080;
constexpr int32_t WS_SO_SNDBUF = 0x1001;
constexpr int32_t WS_SO_RCVBUF = 0x1002;
constexpr int32_t WS_SO_ERROR = 0x1007;
constexpr int32_t WS_IPPROTO_TCP = 6;
constexpr int32_t WS_TCP_NODELAY = 0x0001;
constexpr int32_t WS_FIONREAD = 0x4004667F;
constexpr int32_t WS_FIONBIO = static_cast<int32_t>(0x8004667Eu);
constexpr int32_t WS_MSG_PEEK = 0x2;
constexpr int32_t WS_SD_RECEIVE = 0;
constexpr int32_t WS_SD_SEND = 1;
constexpr int32_t WS_SD_BOTH = 2;
constexpr uint32_t WS_INADDR_NONE = 0xFFFFFFFFu;

// Events of the asynchronous selection; the notification's long parameter carries the
// event in its low word and an error code in its high word.
constexpr int32_t FD_READ = 0x01;
constexpr int32_t FD_WRITE = 0x02;
constexpr int32_t FD_OOB = 0x04;
constexpr int32_t FD_ACCEPT = 0x08;
constexpr int32_t FD_CONNECT = 0x10;
constexpr int32_t FD_CLOSE = 0x20;

inline int32_t WSAMakeSelectReply(int32_t event, int32_t error) {
    return static_cast<int32_t>((static_cast<uint32_t>(error) << 16) |
                                (static_cast<uint32_t>(event) & 0xFFFFu));
}
inline int32_t WSAGetSelectEvent(intptr_t lParam) {
    return static_cast<int32_t>(lParam & 0xFFFF);
}
inline int32_t WSAGetSelectError(intptr_t lParam) {
    return static_cast<int32_t>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFFu);
}

// Error codes.
constexpr int32_t WSAEINTR = 10004;
constexpr int32_t WSAEBADF = 10009;
constexpr int32_t WSAEACCES = 10013;
constexpr int32_t WSAEFAULT = 10014;
constexpr int32_t WSAEINVAL = 10022;
constexpr int32_t WSAEMFILE = 10024;
constexpr int32_t WSAEWOULDBLOCK = 10035;
constexpr int32_t WSAEINPROGRESS = 10036;
constexpr int32_t WSAEALREADY = 10037;
constexpr int32_t WSAENOTSOCK = 10038;
constexpr int32_t WSAEDESTADDRREQ = 10039;
constexpr int32_t WSAEMSGSIZE = 10040;
constexpr int32_t WSAEPROTOTYPE = 10041;
constexpr int32_t WSAENOPROTOOPT = 10042;
constexpr int32_t WSAEPROTONOSUPPORT = 10043;
constexpr int32_t WSAESOCKTNOSUPPORT = 10044;
constexpr int32_t WSAEOPNOTSUPP = 10045;
constexpr int32_t WSAEPFNOSUPPORT = 10046;
constexpr int32_t WSAEAFNOSUPPORT = 10047;
constexpr int32_t WSAEADDRINUSE = 10048;
constexpr int32_t WSAEADDRNOTAVAIL = 10049;
constexpr int32_t WSAENETDOWN = 10050;
constexpr int32_t WSAENETUNREACH = 10051;
constexpr int32_t WSAENETRESET = 10052;
constexpr int32_t WSAECONNABORTED = 10053;
constexpr int32_t WSAECONNRESET = 10054;
constexpr int32_t WSAENOBUFS = 10055;
constexpr int32_t WSAEISCONN = 10056;
constexpr int32_t WSAENOTCONN = 10057;
constexpr int32_t WSAESHUTDOWN = 10058;
constexpr int32_t WSAETOOMANYREFS = 10059;
constexpr int32_t WSAETIMEDOUT = 10060;
constexpr int32_t WSAECONNREFUSED = 10061;
constexpr int32_t WSAELOOP = 10062;
constexpr int32_t WSAENAMETOOLONG = 10063;
constexpr int32_t WSAEHOSTDOWN = 10064;
constexpr int32_t WSAEHOSTUNREACH = 10065;
constexpr int32_t WSAENOTEMPTY = 10066;
constexpr int32_t WSAEPROCLIM = 10067;
constexpr int32_t WSAEUSERS = 10068;
constexpr int32_t WSAEDQUOT = 10069;
constexpr int32_t WSAESTALE = 10070;
constexpr int32_t WSAEREMOTE = 10071;
constexpr int32_t WSASYSNOTREADY = 10091;
constexpr int32_t WSAVERNOTSUPPORTED = 10092;
constexpr int32_t WSANOTINITIALISED = 10093;
constexpr int32_t WSAHOST_NOT_FOUND = 11001;
constexpr int32_t WSATRY_AGAIN = 11002;
constexpr int32_t WSANO_RECOVERY = 11003;
constexpr int32_t WSANO_DATA = 11004;

// An IPv4 socket address, 16 bytes: port and address in network byte order.
struct TSockAddrIn {
    uint16_t sin_family = WS_AF_INET;
    uint16_t sin_port = 0;
    uint32_t sin_addr = 0;
    uint8_t sin_zero[8] = {};
};
static_assert(sizeof(TSockAddrIn) == 16);

struct TInAddr {
    uint32_t s_addr = 0;
};

// Look-up results point into storage the library keeps per thread until the next
// look-up of the same kind, as the interface has always done.
struct THostEnt {
    char* h_name;
    char** h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char** h_addr_list;
};

struct TServEnt {
    char* s_name;
    char** s_aliases;
    int16_t s_port;
    char* s_proto;
};

struct TProtoEnt {
    char* p_name;
    char** p_aliases;
    int16_t p_proto;
};

// The interface's own select set: a count and up to 64 handles.
constexpr int32_t WS_FD_SETSIZE = 64;
struct TFdSet {
    uint32_t fd_count = 0;
    TSocket fd_array[WS_FD_SETSIZE] = {};
};

struct TTimeVal {
    int32_t tv_sec = 0;
    int32_t tv_usec = 0;
};

struct TWsaData {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
    char* lpVendorInfo = nullptr;
};

using TAsyncHandle = uintptr_t;
using TBlockingHook = bool (*)();

} // namespace pelmora
