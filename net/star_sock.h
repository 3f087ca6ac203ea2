#pragma once

// The client stream-socket component: one endpoint and a hidden notification window.
// It names a server, opens a connection asynchronously, sends and receives text, and
// turns the socket library's notifications into events. The FTP control connection
// derives from it.

#include "net/st_socket.h"
#include "toolkit/messages.h"
#include "toolkit/object.h"

#include <functional>
#include <memory>
#include <string>

namespace pelmora {

using TSockEvent = std::function<void(TObject* sender)>;
using TSockMessageEvent = std::function<void(TMessage& message, TObject* sender)>;

// Private messages a descendant posts to WindowHandle(); they reach OnSockMessage.
constexpr uint32_t WM_SOCK_MESSAGE_FIRST = WM_USER + 2; // 1026
constexpr uint32_t WM_SOCK_MESSAGE_LAST = WM_USER + 20; // 1044

class TStarSock : public TObject, public TSocketOwner {
public:
    explicit TStarSock(TObject* owner = nullptr);
    ~TStarSock() override;

    // Socket.Open(HostName, HostAddress, FtpPort); after an open by name HostAddress
    // holds the resolved address. Raises ESockError or EARPError.
    void Open();
    void Close();
    int32_t SendText(const std::string& text);
    void ReceiveText(std::string& text);
    void GetLocalAddress(std::string& text);
    int32_t LastSent() const;

    // Empty leaves HostName and HostAddress alone; a first character that is a digit
    // makes the value a dotted address, anything else a host name.
    const std::string& FtpServer() const { return ftpServer_; }
    void SetFtpServer(const std::string& value);

    // Writing true starts the endpoint's library, false cleans it up; reading tells
    // whether the endpoint is started.
    bool WinsockStarted() const;
    void SetWinsockStarted(bool value);

    // Filled in by a descendant's constructor; writing it has no effect.
    const std::string& Version() const { return version_; }
    void SetVersion(const std::string&) {}

    HWND WindowHandle() const override;

    // The window procedure: 17 answers 1, 1025 goes to SocketNotify, 1026 to 1044 to
    // OnSockMessage, anything else gets the default handling.
    void WndProc(TMessage& message);
    // Message 1025. Notifications about any socket but the endpoint's current one are
    // stale (that socket has been closed since) and are dropped.
    void SocketNotify(TMessage& message);

    std::unique_ptr<TStSocket> Socket;
    std::string HostName;
    std::string HostAddress = "0.0.0.0";
    uint16_t FtpPort = 0;
    // The error code the last connect completed with, 0 for none.
    int32_t ConnectError = 0;
    // The error code the latest close came with: 0 for the peer's orderly close, else a
    // reset or another failure, after which data it sent may be lost.
    int32_t CloseError = 0;

    TSockMessageEvent OnSockMessage;
    TSockEvent OnSockConnect;
    TSockEvent OnSockClose;
    TSockEvent OnSockRead;
    TSockEvent OnSockWrite;

protected:
    std::string version_;

private:
    [[maybe_unused]] TObject* owner_; // the component that owns this one, as given
    std::unique_ptr<TNotifyWindow> window_;
    std::string ftpServer_;
};

} // namespace pelmora
