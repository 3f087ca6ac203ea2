#pragma once

// The listening socket component: listens on a local IPv4 address and port, accepts
// connections into 64 slots (numbered 1 to 64) and reports each slot's notifications
// with its number. The FTP data connection derives from it.

#include "net/st_socket.h"
#include "toolkit/messages.h"
#include "toolkit/object.h"

#include <array>
#include <functional>
#include <memory>
#include <string>

namespace pelmora {

using TSlotEvent = std::function<void(TObject* sender, int32_t slot)>;
using TServMessageEvent = std::function<void(TMessage& message, TObject* sender)>;

constexpr int32_t SlotCount = 64;

class TServSock : public TObject, public TSocketOwner {
public:
    explicit TServSock(TObject* owner = nullptr);
    ~TServSock() override;

    // Listener.Listen(HostName, HostAddress, Port). Raises ESockError or EARPError.
    void Listen();
    // Closes the listening socket; accepted connections stay open.
    void Close();
    void GetLocalAddress(std::string& text);
    uint16_t GetLocalPort();
    // Starts (true) or cleans up (false) the listening endpoint's library.
    void SetWinsockStarted(bool value);

    // Slot operations. A slot of 0 or above 64 does nothing (Send and Receive give 0,
    // ReceiveText leaves the text as it was); a negative one throws std::out_of_range.
    void CloseClient(int32_t slot);
    int32_t Send(int32_t slot, const void* buffer, int32_t count);
    int32_t Receive(int32_t slot, void* buffer, int32_t capacity);
    void ReceiveText(int32_t slot, std::string& text);

    // Accepts a pending connection into the lowest free slot and returns its number,
    // or 0. With every slot in use the connection is accepted and closed at once.
    int32_t Accept();
    // Lowest slot holding the handle, or 0.
    int32_t FindSlot(TSocket handle) const;
    // Lowest free slot, or 0.
    int32_t FindFreeSlot() const;
    // The endpoint of slot 1 to 64; throws std::out_of_range for any other number.
    TStSocket& Slot(int32_t slot);
    const TStSocket& Slot(int32_t slot) const;

    const std::string& Version() const { return version_; }
    void SetVersion(const std::string&) {}

    HWND WindowHandle() const override;

    // 1025 goes to SocketNotify, 1026 to 1044 to OnSockMessage, anything else gets the
    // default handling.
    void WndProc(TMessage& message);
    void SocketNotify(TMessage& message);

    std::string HostName;
    std::string HostAddress;
    uint16_t Port = 0;
    std::unique_ptr<TStSocket> Listener;
    // The error code the latest close of a client came with: 0 for the peer's orderly
    // close, else a reset or another failure, after which data it sent may be lost.
    int32_t CloseError = 0;

    TSlotEvent OnSockAccept;
    TSlotEvent OnSockClose;
    TSlotEvent OnSockRead;
    TSlotEvent OnSockWrite;
    TServMessageEvent OnSockMessage;

protected:
    std::string version_;

private:
    [[maybe_unused]] TObject* owner_; // the component that owns this one, as given
    std::unique_ptr<TNotifyWindow> window_;
    std::array<std::unique_ptr<TStSocket>, SlotCount> slots_;
};

} // namespace pelmora
