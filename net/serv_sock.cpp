#include "net/serv_sock.h"

#include "net/socket_library.h"

#include <stdexcept>

namespace pelmora {

TServSock::TServSock(TObject* owner)
    : owner_(owner), window_(std::make_unique<TNotifyWindow>([this](TMessage& m) { WndProc(m); })) {
    for (auto& slot : slots_)
        slot = std::make_unique<TStSocket>(this);
    Listener = std::make_unique<TStSocket>(this);
}

TServSock::~TServSock() {
    window_.reset();
    for (auto& slot : slots_)
        slot.reset();
    Listener.reset();
}

HWND TServSock::WindowHandle() const {
    return window_ ? window_->Handle() : NoWindow;
}

void TServSock::Listen() {
    Listener->Listen(HostName, HostAddress, Port);
}

void TServSock::Close() {
    Listener->Close();
}

void TServSock::GetLocalAddress(std::string& text) {
    Listener->GetLocalAddress(text);
}

uint16_t TServSock::GetLocalPort() {
    return Listener->GetLocalPort();
}

void TServSock::SetWinsockStarted(bool value) {
    if (!Listener->Bound)
        return;
    if (value)
        Listener->Startup();
    else
        Listener->Cleanup();
}

TStSocket& TServSock::Slot(int32_t slot) {
    if (slot < 1 || slot > SlotCount)
        throw std::out_of_range("Range check error");
    return *slots_[static_cast<size_t>(slot - 1)];
}

const TStSocket& TServSock::Slot(int32_t slot) const {
    if (slot < 1 || slot > SlotCount)
        throw std::out_of_range("Range check error");
    return *slots_[static_cast<size_t>(slot - 1)];
}

namespace {

// Slot numbers past either end do nothing, except that a negative one is a caller's
// mistake worth stopping at.
bool UsableSlot(int32_t slot) {
    if (slot < 0)
        throw std::out_of_range("Range check error");
    return slot >= 1 && slot <= SlotCount;
}

} // namespace

void TServSock::CloseClient(int32_t slot) {
    if (UsableSlot(slot))
        Slot(slot).Close();
}

int32_t TServSock::Send(int32_t slot, const void* buffer, int32_t count) {
    return UsableSlot(slot) ? Slot(slot).Send(buffer, count) : 0;
}

int32_t TServSock::Receive(int32_t slot, void* buffer, int32_t capacity) {
    return UsableSlot(slot) ? Slot(slot).Receive(buffer, capacity) : 0;
}

void TServSock::ReceiveText(int32_t slot, std::string& text) {
    if (UsableSlot(slot))
        Slot(slot).ReceiveText(text);
}

int32_t TServSock::FindSlot(TSocket handle) const {
    for (int32_t slot = 1; slot <= SlotCount; ++slot)
        if (Slot(slot).Handle == handle)
            return slot;
    return 0;
}

int32_t TServSock::FindFreeSlot() const {
    return FindSlot(INVALID_SOCKET);
}

int32_t TServSock::Accept() {
    TSocketEntryPoints& lib = EntryPoints();
    const int32_t slot = FindFreeSlot();
    if (slot == 0) {
        // No room: take the connection off the queue and close it, so the peer learns
        // at once and the queue does not stay stuck.
        TSockAddrIn peer;
        int32_t length = sizeof peer;
        const TSocket refused = lib.accept(Listener->Handle, &peer, &length);
        if (refused != INVALID_SOCKET)
            lib.closesocket(refused);
        return 0;
    }
    TStSocket& endpoint = Slot(slot);
    int32_t length = sizeof endpoint.Address;
    const TSocket handle = lib.accept(Listener->Handle, &endpoint.Address, &length);
    endpoint.Handle = handle;
    if (handle == INVALID_SOCKET)
        return 0;
    endpoint.Connected = true;
    endpoint.Started = true;
    return slot;
}

void TServSock::WndProc(TMessage& message) {
    if (message.Msg == WM_SOCKET_NOTIFY)
        SocketNotify(message);
    else if (message.Msg >= WM_USER + 2 && message.Msg <= WM_USER + 20) {
        if (OnSockMessage)
            OnSockMessage(message, this);
    } else {
        message.Result = 0;
    }
}

void TServSock::SocketNotify(TMessage& message) {
    const auto handle = static_cast<TSocket>(message.WParam);
    if (handle == INVALID_SOCKET)
        return;
    const int32_t event = WSAGetSelectEvent(message.LParam);
    if (event == FD_ACCEPT) {
        // Only the listening socket accepts; a notice left from one closed since is stale.
        if (handle != Listener->Handle)
            return;
        const int32_t slot = Accept();
        if (slot > 0 && OnSockAccept)
            OnSockAccept(this, slot);
        return;
    }
    const int32_t slot = FindSlot(handle);
    if (slot == 0)
        return;
    switch (event) {
    case FD_READ:
        if (OnSockRead)
            OnSockRead(this, slot);
        break;
    case FD_WRITE:
        if (OnSockWrite)
            OnSockWrite(this, slot);
        break;
    case FD_CLOSE: {
        CloseError = WSAGetSelectError(message.LParam);
        if (OnSockClose)
            OnSockClose(this, slot);
        TStSocket& endpoint = Slot(slot);
        if (endpoint.Connected && endpoint.Handle == handle) {
            EntryPoints().closesocket(endpoint.Handle);
            endpoint.Connected = false;
            endpoint.Handle = INVALID_SOCKET;
        }
        break;
    }
    default:
        break;
    }
}

} // namespace pelmora
