#include "net/star_sock.h"

#include "net/socket_library.h"

namespace pelmora {

TStarSock::TStarSock(TObject* owner)
    : owner_(owner), window_(std::make_unique<TNotifyWindow>([this](TMessage& m) { WndProc(m); })),
      ftpServer_() {
    Socket = std::make_unique<TStSocket>(this);
}

TStarSock::~TStarSock() {
    // The window goes first, so nothing queued for it can reach a half-destroyed
    // component.
    window_.reset();
    Socket.reset();
}

HWND TStarSock::WindowHandle() const {
    return window_ ? window_->Handle() : NoWindow;
}

void TStarSock::Open() {
    Socket->Open(HostName, HostAddress, FtpPort);
}

void TStarSock::Close() {
    Socket->Close();
}

int32_t TStarSock::SendText(const std::string& text) {
    return Socket->SendText(text);
}

void TStarSock::ReceiveText(std::string& text) {
    Socket->ReceiveText(text);
}

void TStarSock::GetLocalAddress(std::string& text) {
    Socket->GetLocalAddress(text);
}

int32_t TStarSock::LastSent() const {
    return Socket->LastSent;
}

void TStarSock::SetFtpServer(const std::string& value) {
    ftpServer_ = value;
    if (value.empty())
        return;
    if (value[0] >= '0' && value[0] <= '9') {
        HostAddress = value;
        HostName.clear();
    } else {
        HostName = value;
    }
}

bool TStarSock::WinsockStarted() const {
    return Socket->Started;
}

void TStarSock::SetWinsockStarted(bool value) {
    if (value)
        Socket->Startup();
    else
        Socket->Cleanup();
}

void TStarSock::WndProc(TMessage& message) {
    if (message.Msg == WM_QUERYENDSESSION)
        message.Result = 1;
    else if (message.Msg == WM_SOCKET_NOTIFY)
        SocketNotify(message);
    else if (message.Msg >= WM_SOCK_MESSAGE_FIRST && message.Msg <= WM_SOCK_MESSAGE_LAST) {
        if (OnSockMessage)
            OnSockMessage(message, this);
    } else {
        message.Result = 0;
    }
}

void TStarSock::SocketNotify(TMessage& message) {
    const auto handle = static_cast<TSocket>(message.WParam);
    if (handle == INVALID_SOCKET || handle != Socket->Handle)
        return;
    switch (WSAGetSelectEvent(message.LParam)) {
    case FD_READ:
        if (OnSockRead)
            OnSockRead(this);
        break;
    case FD_WRITE:
        if (OnSockWrite)
            OnSockWrite(this);
        break;
    case FD_CONNECT:
        // Also after a failed connect: the failure shows at the first send or receive.
        ConnectError = WSAGetSelectError(message.LParam);
        Socket->Connected = true;
        if (OnSockConnect)
            OnSockConnect(this);
        break;
    case FD_CLOSE:
        CloseError = WSAGetSelectError(message.LParam);
        if (OnSockClose)
            OnSockClose(this);
        // The handler may have closed the socket itself, or even opened a new one.
        if (Socket->Connected && Socket->Handle == handle) {
            EntryPoints().closesocket(Socket->Handle);
            Socket->Connected = false;
            Socket->Handle = INVALID_SOCKET;
        }
        break;
    default:
        break;
    }
}

} // namespace pelmora
