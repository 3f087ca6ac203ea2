#pragma once

// The socket library: 46 entry points of the 1.1 interface, built on the host's
// sockets and registered as the library "WSOCK32.DLL". Endpoints reach it only through
// the program-wide entry-point table, filled by ordinal from a loaded module.
//
// Handles are the library's own numbers, never reused while the program runs (until
// the 32-bit count wraps), so a notification still queued for a closed socket cannot
// be mistaken for one of a later socket.
//
// Calls work on non-blocking sockets as the interface does: a socket given to
// WSAAsyncSelect is switched to non-blocking mode, and its notifications are posted to
// the window as the message chosen there (wParam = handle, lParam = event | error << 16).

#include "net/library_registry.h"
#include "net/winsock_types.h"
#include "toolkit/messages.h"

namespace pelmora {

constexpr const char* SocketLibraryName = "WSOCK32.DLL";

// Where each endpoint binds its entry points. The members carry the interface's names;
// glibc defines htons and the like as macros under optimisation, so code that includes
// the host's network headers must call these as (EntryPoints().htons)(x).
struct TSocketEntryPoints {
    // Ordinals 1 to 23.
    TSocket (*accept)(TSocket s, TSockAddrIn* addr, int32_t* addrLen);
    int32_t (*bind)(TSocket s, const TSockAddrIn* addr, int32_t addrLen);
    int32_t (*closesocket)(TSocket s);
    int32_t (*connect)(TSocket s, const TSockAddrIn* addr, int32_t addrLen);
    int32_t (*getpeername)(TSocket s, TSockAddrIn* addr, int32_t* addrLen);
    int32_t (*getsockname)(TSocket s, TSockAddrIn* addr, int32_t* addrLen);
    int32_t (*getsockopt)(TSocket s, int32_t level, int32_t name, char* value, int32_t* length);
    uint32_t (*htonl)(uint32_t value);
    uint16_t (*htons)(uint16_t value);
    uint32_t (*inet_addr)(const char* text);
    char* (*inet_ntoa)(TInAddr address);
    int32_t (*ioctlsocket)(TSocket s, int32_t command, uint32_t* argument);
    int32_t (*listen)(TSocket s, int32_t backlog);
    uint32_t (*ntohl)(uint32_t value);
    uint16_t (*ntohs)(uint16_t value);
    int32_t (*recv)(TSocket s, char* buffer, int32_t length, int32_t flags);
    int32_t (*recvfrom)(TSocket s, char* buffer, int32_t length, int32_t flags, TSockAddrIn* from,
                        int32_t* fromLen);
    int32_t (*select)(int32_t ignored, TFdSet* readSet, TFdSet* writeSet, TFdSet* exceptSet,
                      const TTimeVal* timeout);
    int32_t (*send)(TSocket s, const char* buffer, int32_t length, int32_t flags);
    int32_t (*sendto)(TSocket s, const char* buffer, int32_t length, int32_t flags,
                      const TSockAddrIn* to, int32_t toLen);
    int32_t (*setsockopt)(TSocket s, int32_t level, int32_t name, const char* value,
                          int32_t length);
    int32_t (*shutdown)(TSocket s, int32_t how);
    TSocket (*socket)(int32_t family, int32_t type, int32_t protocol);
    // Ordinals 51 to 57.
    THostEnt* (*gethostbyaddr)(const char* address, int32_t length, int32_t type);
    THostEnt* (*gethostbyname)(const char* name);
    TProtoEnt* (*getprotobyname)(const char* name);
    TProtoEnt* (*getprotobynumber)(int32_t number);
    TServEnt* (*getservbyname)(const char* name, const char* protocol);
    TServEnt* (*getservbyport)(int32_t port, const char* protocol);
    int32_t (*gethostname)(char* name, int32_t length);
    // Ordinals 101 to 116.
    int32_t (*WSAAsyncSelect)(TSocket s, HWND window, uint32_t msg, int32_t events);
    TAsyncHandle (*WSAAsyncGetHostByAddr)(HWND window, uint32_t msg, const char* address,
                                          int32_t length, int32_t type, char* buffer,
                                          int32_t bufferLength);
    TAsyncHandle (*WSAAsyncGetHostByName)(HWND window, uint32_t msg, const char* name, char* buffer,
                                          int32_t bufferLength);
    TAsyncHandle (*WSAAsyncGetProtoByNumber)(HWND window, uint32_t msg, int32_t number,
                                             char* buffer, int32_t bufferLength);
    TAsyncHandle (*WSAAsyncGetProtoByName)(HWND window, uint32_t msg, const char* name,
                                           char* buffer, int32_t bufferLength);
    TAsyncHandle (*WSAAsyncGetServByPort)(HWND window, uint32_t msg, int32_t port,
                                          const char* protocol, char* buffer, int32_t bufferLength);
    TAsyncHandle (*WSAAsyncGetServByName)(HWND window, uint32_t msg, const char* name,
                                          const char* protocol, char* buffer, int32_t bufferLength);
    int32_t (*WSACancelAsyncRequest)(TAsyncHandle request);
    TBlockingHook (*WSASetBlockingHook)(TBlockingHook hook);
    int32_t (*WSAUnhookBlockingHook)();
    int32_t (*WSAGetLastError)();
    void (*WSASetLastError)(int32_t error);
    int32_t (*WSACancelBlockingCall)();
    bool (*WSAIsBlocking)();
    int32_t (*WSAStartup)(uint16_t version, TWsaData* data);
    int32_t (*WSACleanup)();
};

// The one table of the program. Binding rewrites it; nothing clears it.
TSocketEntryPoints& EntryPoints();

// Looks the 46 entry points up in `module` in ordinal order and stores each in the
// table. Stops at the first one missing (those stored so far stay) and then returns
// false.
bool BindEntryPoints(HMODULE module);

// The exports of the built-in library, by ordinal. It is registered under
// SocketLibraryName before the first endpoint loads it; tests may register a copy with
// entries removed or replaced.
TExports SocketLibraryExports();
void RegisterSocketLibrary();

// Sockets the library holds open now (for leak checks).
int OpenSocketCount();

} // namespace pelmora
