#pragma once

// One IPv4 stream-socket endpoint: its handle, the address it connects to or binds,
// its connection flag and its own binding to the socket library. Owned by a client
// component (TStarSock) or a listening one (TServSock), whose notification window
// receives the endpoint's notifications as message 1025.

#include "net/library_registry.h"
#include "net/winsock_types.h"
#include "toolkit/messages.h"

#include <string>

namespace pelmora {

// What an endpoint needs of the component that owns it.
class TSocketOwner {
public:
    virtual ~TSocketOwner() = default;
    virtual HWND WindowHandle() const = 0;
};

// Message number of the socket notifications.
constexpr uint32_t WM_SOCKET_NOTIFY = WM_USER + 1;
// Selection masks of a client endpoint and of a listening one.
constexpr int32_t ClientEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE; // 0x33
constexpr int32_t ListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;  // 0x2B
// Largest chunk ReceiveText yields.
constexpr int32_t ReceiveChunk = 2048;

class TStSocket {
public:
    explicit TStSocket(TSocketOwner* owner);
    // Closes the socket if there is one, cleans up and releases the library load.
    ~TStSocket();
    TStSocket(const TStSocket&) = delete;
    TStSocket& operator=(const TStSocket&) = delete;

    // Starts an asynchronous connect; completion arrives as FD_CONNECT. An endpoint
    // that still holds a socket (opening, or kept after a failed resolution) has it
    // closed first. Raises ESockError or EARPError.
    void Open(const std::string& hostName, std::string& hostAddress, uint16_t port);
    // Binds, selects notifications and listens with backlog 2. Raises ESockError or
    // EARPError; bind and listen failures close the new socket first.
    void Listen(const std::string& hostName, std::string& hostAddress, uint16_t port);
    // Closes the socket if there is one (and the endpoint is started).
    void Close();
    // Ends our direction of the stream (the peer reads its end) while the socket stays
    // open for what the peer still sends.
    void ShutdownSend();

    // Bytes the library accepted, 0 when the send would block. Raises "Send error".
    int32_t Send(const void* buffer, int32_t count);
    // Send of the text's bytes; the count is also kept in LastSent.
    int32_t SendText(const std::string& text);
    // Bytes received, 0 when nothing is waiting or the peer has closed.
    // Raises "Recv error" or "Recv error: <code>".
    int32_t Receive(void* buffer, int32_t capacity);
    // One chunk of at most 2048 bytes, cut at its first zero byte; empty when nothing
    // is waiting.
    void ReceiveText(std::string& text);

    // Local address as dotted text, empty when there is no socket.
    void GetLocalAddress(std::string& text);
    // Local port, 0 when there is no socket.
    uint16_t GetLocalPort();

    // The first IPv4 address of the name, network byte order. Raises EARPError
    // "Can't find host <name>".
    uint32_t ResolveHost(const std::string& hostName);
    // Fills Address from the name (then writes its dotted form into hostAddress) or
    // from the dotted text, and the port. Raises "No address specified" when both are
    // empty.
    void ResolveAddress(const std::string& hostName, std::string& hostAddress, uint16_t port);

    void BindSocketLibrary();
    void Startup();
    void Cleanup();

    TSocketOwner* Owner;
    TSocket Handle = INVALID_SOCKET;
    TSockAddrIn Address;
    bool Connected = false;
    int32_t LastSent = 0;
    bool Bound = false;
    HMODULE LibHandle = 0;
    bool Started = false;
    TWsaData WsaData;
};

} // namespace pelmora
