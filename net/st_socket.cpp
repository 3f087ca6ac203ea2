#include "net/st_socket.h"

#include "net/sock_errors.h"
#include "net/socket_library.h"

#include <array>
#include <cstring>
#include <limits>

namespace pelmora {

TStSocket::TStSocket(TSocketOwner* owner) : Owner(owner) {
    BindSocketLibrary();
}

TStSocket::~TStSocket() {
    // Any socket still held goes, connected or not: one left opening would otherwise
    // stay open for the life of the program.
    if (Bound && Handle != INVALID_SOCKET) {
        EntryPoints().closesocket(Handle);
        Handle = INVALID_SOCKET;
        Connected = false;
    }
    Cleanup();
    // A load whose lookups stopped part way is released too; keeping it bought nothing.
    if (LibHandle >= 32)
        FreeLibrary(LibHandle);
}

void TStSocket::BindSocketLibrary() {
    Bound = false;
    RegisterSocketLibrary();
    LibHandle = LoadLibrary(SocketLibraryName);
    if (LibHandle < 32)
        return;
    Bound = BindEntryPoints(LibHandle);
}

void TStSocket::Startup() {
    if (!Bound || Started)
        return;
    Started = EntryPoints().WSAStartup(0x0101, &WsaData) == 0;
}

void TStSocket::Cleanup() {
    if (!Bound || !Started)
        return;
    EntryPoints().WSACleanup();
    Started = false;
}

uint32_t TStSocket::ResolveHost(const std::string& hostName) {
    // The whole name is looked up and reported, however long.
    const THostEnt* host = EntryPoints().gethostbyname(hostName.c_str());
    if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
        throw EARPError("Can't find host " + hostName);
    uint32_t address = 0;
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    return address;
}

void TStSocket::ResolveAddress(const std::string& hostName, std::string& hostAddress,
                               uint16_t port) {
    TSocketEntryPoints& lib = EntryPoints();
    if (!hostName.empty()) {
        Address.sin_addr = ResolveHost(hostName);
        const char* dotted = lib.inet_ntoa(TInAddr{Address.sin_addr});
        hostAddress = dotted != nullptr ? dotted : "";
    } else if (hostAddress.empty()) {
        throw ESockError("No address specified");
    } else {
        // Not checked here: a text that is no dotted address gives the all-ones
        // address, and the failure shows when connecting.
        Address.sin_addr = lib.inet_addr(hostAddress.c_str());
    }
    Address.sin_port = (lib.htons)(port);
}

void TStSocket::Open(const std::string& hostName, std::string& hostAddress, uint16_t port) {
    if (!Started)
        throw ESockError("WINSOCK not started");
    if (Connected)
        throw ESockError("Can't open an open socket");
    // A socket still opening, or kept after a failed resolution, is closed rather than
    // forgotten.
    Close();
    TSocketEntryPoints& lib = EntryPoints();
    Handle = lib.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
    if (Handle == INVALID_SOCKET)
        throw ESockError("Can't create new socket");
    ResolveAddress(hostName, hostAddress, port);
    lib.WSAAsyncSelect(Handle, Owner->WindowHandle(), WM_SOCKET_NOTIFY, ClientEvents);
    if (lib.connect(Handle, &Address, sizeof Address) == 0)
        return;
    const int32_t error = lib.WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        return;
    Close();
    throw ESockError("Open failed: " + std::to_string(error));
}

void TStSocket::Listen(const std::string& hostName, std::string& hostAddress, uint16_t port) {
    if (!Started)
        throw ESockError("WINSOCK not started");
    // As for Open: a socket left from an earlier attempt is closed, not leaked.
    Close();
    TSocketEntryPoints& lib = EntryPoints();
    Handle = lib.socket(WS_AF_INET, WS_SOCK_STREAM, 0);
    if (Handle == INVALID_SOCKET)
        throw ESockError("Can't create new socket");
    ResolveAddress(hostName, hostAddress, port);
    if (lib.bind(Handle, &Address, sizeof Address) != 0) {
        const int32_t error = lib.WSAGetLastError();
        Close();
        throw ESockError("Bind failed, " + ErrorName(error));
    }
    lib.WSAAsyncSelect(Handle, Owner->WindowHandle(), WM_SOCKET_NOTIFY, ListenEvents);
    if (lib.listen(Handle, 2) != 0) {
        const int32_t error = lib.WSAGetLastError();
        Close();
        throw ESockError("Listen failed, " + ErrorName(error));
    }
}

void TStSocket::Close() {
    if (!Started || Handle == INVALID_SOCKET)
        return;
    EntryPoints().closesocket(Handle);
    Connected = false;
    Handle = INVALID_SOCKET;
    LastSent = 0;
}

void TStSocket::ShutdownSend() {
    if (Started && Handle != INVALID_SOCKET)
        EntryPoints().shutdown(Handle, WS_SD_SEND);
}

int32_t TStSocket::Send(const void* buffer, int32_t count) {
    if (Handle == INVALID_SOCKET || !Connected)
        throw ESockError("Send error");
    TSocketEntryPoints& lib = EntryPoints();
    const int32_t sent = lib.send(Handle, static_cast<const char*>(buffer), count, 0);
    if (sent > 0)
        return sent;
    const int32_t error = lib.WSAGetLastError();
    if (sent == SOCKET_ERROR && error != WSAEWOULDBLOCK) {
        Close();
        throw ESockError("Send error");
    }
    return 0;
}

int32_t TStSocket::SendText(const std::string& text) {
    const auto count = static_cast<int32_t>(
        std::min<size_t>(text.size(), static_cast<size_t>(std::numeric_limits<int32_t>::max())));
    LastSent = Send(text.data(), count);
    return LastSent;
}

int32_t TStSocket::Receive(void* buffer, int32_t capacity) {
    if (Handle == INVALID_SOCKET || !Connected)
        throw ESockError("Recv error");
    TSocketEntryPoints& lib = EntryPoints();
    const int32_t received = lib.recv(Handle, static_cast<char*>(buffer), capacity, 0);
    if (received >= 0)
        return received;
    const int32_t error = lib.WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
        return 0;
    Close();
    throw ESockError("Recv error: " + std::to_string(error));
}

void TStSocket::ReceiveText(std::string& text) {
    std::array<char, ReceiveChunk + 1> buffer;
    const int32_t received = Receive(buffer.data(), ReceiveChunk);
    buffer[static_cast<size_t>(received)] = '\0';
    text.assign(buffer.data(), std::strlen(buffer.data()));
}

void TStSocket::GetLocalAddress(std::string& text) {
    text.clear();
    if (Handle == INVALID_SOCKET)
        return;
    TSocketEntryPoints& lib = EntryPoints();
    TSockAddrIn local;
    int32_t length = sizeof local;
    if (lib.getsockname(Handle, &local, &length) != 0)
        return;
    const char* dotted = lib.inet_ntoa(TInAddr{local.sin_addr});
    text = dotted != nullptr ? dotted : "";
}

uint16_t TStSocket::GetLocalPort() {
    if (Handle == INVALID_SOCKET)
        return 0;
    TSocketEntryPoints& lib = EntryPoints();
    TSockAddrIn local;
    int32_t length = sizeof local;
    if (lib.getsockname(Handle, &local, &length) != 0)
        return 0;
    return (lib.ntohs)(local.sin_port);
}

} // namespace pelmora
