#include "net/socket_library.h"

#include "net/async_select.h"
#include "net/name_service.h"
#include "net/sock_errors.h"
#include "net/socket_table.h"

#include <algorithm>
#include <arpa/inet.h>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// glibc makes these macros under optimisation; here they are the library's own names.
#undef htonl
#undef htons
#undef ntohl
#undef ntohs

namespace pelmora {

namespace {

thread_local int32_t lastError = 0;
int startupCount = 0;
TBlockingHook blockingHook = nullptr;

int32_t Fail(int32_t error) {
    lastError = error;
    return SOCKET_ERROR;
}

int32_t FailErrno() {
    return Fail(WinsockErrorFromErrno(errno));
}

TSocketRecord* Lookup(TSocket s) {
    TSocketRecord* record = FindSocket(s);
    if (record == nullptr)
        lastError = WSAENOTSOCK;
    return record;
}

sockaddr_in ToHost(const TSockAddrIn& address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = address.sin_port;
    result.sin_addr.s_addr = address.sin_addr;
    return result;
}

void FromHost(const sockaddr_in& address, TSockAddrIn* out, int32_t* outLength) {
    if (out == nullptr || outLength == nullptr || *outLength < 16)
        return;
    TSockAddrIn result;
    result.sin_family = WS_AF_INET;
    result.sin_port = address.sin_port;
    result.sin_addr = address.sin_addr.s_addr;
    *out = result;
    *outLength = 16;
}

bool CheckAddress(const TSockAddrIn* address, int32_t length) {
    if (address == nullptr || length < 16) {
        lastError = WSAEFAULT;
        return false;
    }
    if (address->sin_family != WS_AF_INET) {
        lastError = WSAEAFNOSUPPORT;
        return false;
    }
    return true;
}

// The host's option for one of the library's, false when there is none.
bool HostOption(int32_t level, int32_t name, int& hostLevel, int& hostName) {
    if (level == WS_SOL_SOCKET) {
        hostLevel = SOL_SOCKET;
        switch (name) {
        case WS_SO_REUSEADDR:
            hostName = SO_REUSEADDR;
            return true;
        case WS_SO_KEEPALIVE:
            hostName = SO_KEEPALIVE;
            return true;
        case WS_SO_SNDBUF:
            hostName = SO_SNDBUF;
            return true;
        case WS_SO_RCVBUF:
            hostName = SO_RCVBUF;
            return true;
        case WS_SO_ERROR:
            hostName = SO_ERROR;
            return true;
        default:
            return false;
        }
    }
    if (level == WS_IPPROTO_TCP && name == WS_TCP_NODELAY) {
        hostLevel = IPPROTO_TCP;
        hostName = TCP_NODELAY;
        return true;
    }
    return false;
}

int HostFlags(int32_t flags) {
    int result = MSG_NOSIGNAL;
    if (flags & WS_MSG_PEEK)
        result |= MSG_PEEK;
    return result;
}

// --- Ordinals 1 to 23 ---

TSocket WsAccept(TSocket s, TSockAddrIn* addr, int32_t* addrLen) {
    TSocketRecord* listener = Lookup(s);
    if (listener == nullptr)
        return INVALID_SOCKET;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(listener->fd, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                             SOCK_CLOEXEC | (listener->nonBlocking ? SOCK_NONBLOCK : 0));
    const int savedErrno = errno;
    AfterAccept(s, *listener);
    if (fd < 0) {
        lastError = WinsockErrorFromErrno(savedErrno);
        return INVALID_SOCKET;
    }
    const TSocket handle = AddSocket(fd);
    TSocketRecord& record = *FindSocket(handle);
    record.nonBlocking = listener->nonBlocking;
    InheritSelection(handle, record, *listener);
    FromHost(peer, addr, addrLen);
    return handle;
}

int32_t WsBind(TSocket s, const TSockAddrIn* addr, int32_t addrLen) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr || !CheckAddress(addr, addrLen))
        return SOCKET_ERROR;
    const sockaddr_in address = ToHost(*addr);
    if (::bind(record->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return FailErrno();
    return 0;
}

int32_t WsClosesocket(TSocket s) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    const int fd = record->fd;
    // The notifiers must go before the descriptor they watch.
    RemoveSocket(s);
    ::close(fd);
    return 0;
}

int32_t WsConnect(TSocket s, const TSockAddrIn* addr, int32_t addrLen) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr || !CheckAddress(addr, addrLen))
        return SOCKET_ERROR;
    if (record->connected)
        return Fail(WSAEISCONN);
    if (record->connecting)
        return Fail(WSAEALREADY);
    const sockaddr_in address = ToHost(*addr);
    const int r =
        ::connect(record->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (!record->nonBlocking) {
        if (r != 0)
            return FailErrno();
        record->connected = true;
        return 0;
    }
    if (r != 0 && errno != EINPROGRESS && errno != EAGAIN)
        return FailErrno();
    // Even a connect that completed at once is reported through FD_CONNECT, so the
    // caller sees one path whatever the system did.
    AfterConnectStarted(s, *record);
    return Fail(WSAEWOULDBLOCK);
}

int32_t NameOf(TSocket s, TSockAddrIn* addr, int32_t* addrLen, bool peer) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (addr == nullptr || addrLen == nullptr || *addrLen < 16)
        return Fail(WSAEFAULT);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int r = peer ? ::getpeername(record->fd, reinterpret_cast<sockaddr*>(&address), &length)
                       : ::getsockname(record->fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (r != 0)
        return FailErrno();
    FromHost(address, addr, addrLen);
    return 0;
}

int32_t WsGetpeername(TSocket s, TSockAddrIn* addr, int32_t* addrLen) {
    return NameOf(s, addr, addrLen, true);
}

int32_t WsGetsockname(TSocket s, TSockAddrIn* addr, int32_t* addrLen) {
    return NameOf(s, addr, addrLen, false);
}

int32_t WsGetsockopt(TSocket s, int32_t level, int32_t name, char* value, int32_t* length) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (value == nullptr || length == nullptr || *length < 4)
        return Fail(WSAEFAULT);
    int hostLevel = 0;
    int hostName = 0;
    if (!HostOption(level, name, hostLevel, hostName))
        return Fail(WSAENOPROTOOPT);
    int hostValue = 0;
    socklen_t hostLength = sizeof hostValue;
    if (::getsockopt(record->fd, hostLevel, hostName, &hostValue, &hostLength) != 0)
        return FailErrno();
    if (hostName == SO_ERROR && hostLevel == SOL_SOCKET && hostValue != 0)
        hostValue = WinsockErrorFromErrno(hostValue);
    const int32_t result = hostValue;
    std::memcpy(value, &result, 4);
    *length = 4;
    return 0;
}

uint32_t WsHtonl(uint32_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}
uint16_t WsHtons(uint16_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}

uint32_t WsInetAddr(const char* text) {
    in_addr address{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &address) != 1)
        return WS_INADDR_NONE;
    return address.s_addr;
}

char* WsInetNtoa(TInAddr address) {
    thread_local char text[INET_ADDRSTRLEN];
    in_addr host{};
    host.s_addr = address.s_addr;
    if (::inet_ntop(AF_INET, &host, text, sizeof text) == nullptr)
        return nullptr;
    return text;
}

int32_t WsIoctlsocket(TSocket s, int32_t command, uint32_t* argument) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (argument == nullptr)
        return Fail(WSAEFAULT);
    if (command == WS_FIONBIO) {
        // A socket under asynchronous selection stays non-blocking.
        if (*argument == 0 && record->window != NoWindow)
            return Fail(WSAEINVAL);
        const int flags = ::fcntl(record->fd, F_GETFL);
        if (::fcntl(record->fd, F_SETFL, *argument ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0)
            return FailErrno();
        record->nonBlocking = *argument != 0;
        return 0;
    }
    if (command == WS_FIONREAD) {
        int waiting = 0;
        if (::ioctl(record->fd, FIONREAD, &waiting) != 0)
            return FailErrno();
        *argument = static_cast<uint32_t>(waiting);
        return 0;
    }
    return Fail(WSAEINVAL);
}

int32_t WsListen(TSocket s, int32_t backlog) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (::listen(record->fd, backlog) != 0)
        return FailErrno();
    AfterListen(s, *record);
    return 0;
}

int32_t WsRecvfrom(TSocket s, char* buffer, int32_t length, int32_t flags, TSockAddrIn* from,
                   int32_t* fromLen) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (length < 0 || (buffer == nullptr && length > 0))
        return Fail(WSAEFAULT);
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const ssize_t r = ::recvfrom(record->fd, buffer, static_cast<size_t>(length), HostFlags(flags),
                                 from ? reinterpret_cast<sockaddr*>(&peer) : nullptr,
                                 from ? &peerLength : nullptr);
    const int savedErrno = errno;
    AfterRecv(s, *record);
    if (r < 0) {
        lastError = WinsockErrorFromErrno(savedErrno);
        return SOCKET_ERROR;
    }
    if (from != nullptr)
        FromHost(peer, from, fromLen);
    return static_cast<int32_t>(r);
}

int32_t WsRecv(TSocket s, char* buffer, int32_t length, int32_t flags) {
    return WsRecvfrom(s, buffer, length, flags, nullptr, nullptr);
}

int32_t WsSelect(int32_t, TFdSet* readSet, TFdSet* writeSet, TFdSet* exceptSet,
                 const TTimeVal* timeout) {
    struct TEntry {
        TFdSet* set;
        short events;
    };
    std::vector<pollfd> polls;
    std::vector<std::pair<TFdSet*, TSocket>> owners;
    for (const TEntry entry :
         {TEntry{readSet, POLLIN}, TEntry{writeSet, POLLOUT}, TEntry{exceptSet, POLLPRI}}) {
        if (entry.set == nullptr)
            continue;
        for (uint32_t i = 0; i < entry.set->fd_count && i < WS_FD_SETSIZE; ++i) {
            TSocketRecord* record = Lookup(entry.set->fd_array[i]);
            if (record == nullptr)
                return SOCKET_ERROR;
            polls.push_back(pollfd{record->fd, entry.events, 0});
            owners.emplace_back(entry.set, entry.set->fd_array[i]);
        }
    }
    if (polls.empty() && timeout == nullptr)
        return Fail(WSAEINVAL);
    const int wait = timeout == nullptr ? -1 : timeout->tv_sec * 1000 + timeout->tv_usec / 1000;
    const int r = ::poll(polls.data(), polls.size(), wait);
    if (r < 0)
        return FailErrno();
    for (TFdSet* set : {readSet, writeSet, exceptSet})
        if (set != nullptr)
            set->fd_count = 0;
    int32_t ready = 0;
    for (size_t i = 0; i < polls.size(); ++i) {
        if (polls[i].revents == 0)
            continue;
        TFdSet* set = owners[i].first;
        if (set != exceptSet || (polls[i].revents & POLLPRI)) {
            set->fd_array[set->fd_count++] = owners[i].second;
            ++ready;
        }
    }
    return ready;
}

int32_t WsSendto(TSocket s, const char* buffer, int32_t length, int32_t flags,
                 const TSockAddrIn* to, int32_t toLen) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (length < 0 || (buffer == nullptr && length > 0))
        return Fail(WSAEFAULT);
    sockaddr_in address{};
    if (to != nullptr) {
        if (!CheckAddress(to, toLen))
            return SOCKET_ERROR;
        address = ToHost(*to);
    }
    const ssize_t r = ::sendto(
        record->fd, buffer, static_cast<size_t>(length), HostFlags(flags) & ~MSG_PEEK,
        to ? reinterpret_cast<const sockaddr*>(&address) : nullptr, to ? sizeof address : 0);
    if (r < 0) {
        const int savedErrno = errno;
        if (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK)
            AfterSendBlocked(s, *record);
        lastError = WinsockErrorFromErrno(savedErrno);
        return SOCKET_ERROR;
    }
    return static_cast<int32_t>(r);
}

int32_t WsSend(TSocket s, const char* buffer, int32_t length, int32_t flags) {
    return WsSendto(s, buffer, length, flags, nullptr, 0);
}

int32_t WsSetsockopt(TSocket s, int32_t level, int32_t name, const char* value, int32_t length) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (value == nullptr || length < 1)
        return Fail(WSAEFAULT);
    int hostLevel = 0;
    int hostName = 0;
    if (!HostOption(level, name, hostLevel, hostName) || hostName == SO_ERROR)
        return Fail(WSAENOPROTOOPT);
    int32_t v = 0;
    std::memcpy(&v, value, static_cast<size_t>(std::min<int32_t>(length, 4)));
    const int hostValue = v;
    if (::setsockopt(record->fd, hostLevel, hostName, &hostValue, sizeof hostValue) != 0)
        return FailErrno();
    return 0;
}

int32_t WsShutdown(TSocket s, int32_t how) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    const int hostHow = how == WS_SD_RECEIVE ? SHUT_RD : how == WS_SD_SEND ? SHUT_WR : SHUT_RDWR;
    if (how < WS_SD_RECEIVE || how > WS_SD_BOTH)
        return Fail(WSAEINVAL);
    if (::shutdown(record->fd, hostHow) != 0)
        return FailErrno();
    return 0;
}

TSocket WsSocket(int32_t family, int32_t type, int32_t protocol) {
    if (family != WS_AF_INET) {
        lastError = WSAEAFNOSUPPORT;
        return INVALID_SOCKET;
    }
    int hostType = 0;
    if (type == WS_SOCK_STREAM)
        hostType = SOCK_STREAM;
    else if (type == WS_SOCK_DGRAM)
        hostType = SOCK_DGRAM;
    else {
        lastError = WSAESOCKTNOSUPPORT;
        return INVALID_SOCKET;
    }
    const int fd = ::socket(AF_INET, hostType | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        lastError = WinsockErrorFromErrno(errno);
        return INVALID_SOCKET;
    }
    return AddSocket(fd);
}

// --- Ordinals 51 to 57 ---

// The name service leaves its error to the caller; here it becomes the last error.
template <class T>
T* Answer(T* entry, int32_t error) {
    if (entry == nullptr)
        lastError = error;
    return entry;
}

THostEnt* WsGethostbyname(const char* name) {
    int32_t error = 0;
    THostEnt* entry = HostByName(name, error);
    return Answer(entry, error);
}

THostEnt* WsGethostbyaddr(const char* address, int32_t length, int32_t type) {
    int32_t error = 0;
    THostEnt* entry = HostByAddress(address, length, type, error);
    return Answer(entry, error);
}

TProtoEnt* WsGetprotobyname(const char* name) {
    int32_t error = 0;
    TProtoEnt* entry = ProtocolByName(name, error);
    return Answer(entry, error);
}

TProtoEnt* WsGetprotobynumber(int32_t number) {
    int32_t error = 0;
    TProtoEnt* entry = ProtocolByNumber(number, error);
    return Answer(entry, error);
}

TServEnt* WsGetservbyname(const char* name, const char* protocol) {
    int32_t error = 0;
    TServEnt* entry = ServiceByName(name, protocol, error);
    return Answer(entry, error);
}

TServEnt* WsGetservbyport(int32_t port, const char* protocol) {
    int32_t error = 0;
    TServEnt* entry = ServiceByPort(port, protocol, error);
    return Answer(entry, error);
}

int32_t WsGethostname(char* name, int32_t length) {
    int32_t error = 0;
    if (!OwnHostName(name, length, error))
        return Fail(error);
    return 0;
}

// --- Ordinals 101 to 116 ---

int32_t WsAsyncSelect(TSocket s, HWND window, uint32_t msg, int32_t events) {
    TSocketRecord* record = Lookup(s);
    if (record == nullptr)
        return SOCKET_ERROR;
    if (events != 0) {
        const int flags = ::fcntl(record->fd, F_GETFL);
        if (::fcntl(record->fd, F_SETFL, flags | O_NONBLOCK) != 0)
            return FailErrno();
        record->nonBlocking = true;
    }
    SelectEvents(s, *record, window, msg, events);
    return 0;
}

// The asynchronous database look-ups: the program never uses them, and answering
// them would mean a resolver thread. They refuse, as the interface allows.
TAsyncHandle WsAsyncGetHostByAddr(HWND, uint32_t, const char*, int32_t, int32_t, char*, int32_t) {
    lastError = WSAEOPNOTSUPP;
    return 0;
}
TAsyncHandle WsAsyncGetHostByName(HWND, uint32_t, const char*, char*, int32_t) {
    lastError = WSAEOPNOTSUPP;
    return 0;
}
TAsyncHandle WsAsyncGetProtoByNumber(HWND, uint32_t, int32_t, char*, int32_t) {
    lastError = WSAEOPNOTSUPP;
    return 0;
}
TAsyncHandle WsAsyncGetProtoByName(HWND, uint32_t, const char*, char*, int32_t) {
    lastError = WSAEOPNOTSUPP;
    return 0;
}
TAsyncHandle WsAsyncGetServByPort(HWND, uint32_t, int32_t, const char*, char*, int32_t) {
    lastError = WSAEOPNOTSUPP;
    return 0;
}
TAsyncHandle WsAsyncGetServByName(HWND, uint32_t, const char*, const char*, char*, int32_t) {
    lastError = WSAEOPNOTSUPP;
    return 0;
}
int32_t WsCancelAsyncRequest(TAsyncHandle) {
    return Fail(WSAEINVAL);
}

TBlockingHook WsSetBlockingHook(TBlockingHook hook) {
    const TBlockingHook previous = blockingHook;
    blockingHook = hook;
    return previous;
}
int32_t WsUnhookBlockingHook() {
    blockingHook = nullptr;
    return 0;
}
int32_t WsGetLastError() {
    return lastError;
}
void WsSetLastError(int32_t error) {
    lastError = error;
}
// No call of this library blocks inside itself waiting for a hook to run.
int32_t WsCancelBlockingCall() {
    return Fail(WSAEINVAL);
}
bool WsIsBlocking() {
    return false;
}

int32_t WsStartup(uint16_t version, TWsaData* data) {
    const int major = version & 0xFF;
    const int minor = version >> 8;
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    if (data == nullptr)
        return WSAEFAULT;
    *data = TWsaData{};
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strncpy(data->szDescription, "Pelmora sockets", sizeof data->szDescription - 1);
    std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
    data->iMaxSockets = 0xFFFF;
    data->iMaxUdpDg = 0xFFFF - 28;
    ++startupCount;
    return 0;
}

int32_t WsCleanup() {
    if (startupCount == 0)
        return Fail(WSANOTINITIALISED);
    --startupCount;
    return 0;
}

template <class F>
TProc Export(F function) {
    return reinterpret_cast<TProc>(function);
}

template <class F>
bool Bind(HMODULE module, uint16_t ordinal, F& slot) {
    const TProc proc = GetProcAddress(module, ordinal);
    if (proc == nullptr)
        return false;
    slot = reinterpret_cast<F>(proc);
    return true;
}

} // namespace

TSocketEntryPoints& EntryPoints() {
    static TSocketEntryPoints table{};
    return table;
}

bool BindEntryPoints(HMODULE module) {
    TSocketEntryPoints& t = EntryPoints();
    return Bind(module, 1, t.accept) && Bind(module, 2, t.bind) && Bind(module, 3, t.closesocket) &&
           Bind(module, 4, t.connect) && Bind(module, 5, t.getpeername) &&
           Bind(module, 6, t.getsockname) && Bind(module, 7, t.getsockopt) &&
           Bind(module, 8, t.htonl) && Bind(module, 9, t.htons) && Bind(module, 10, t.inet_addr) &&
           Bind(module, 11, t.inet_ntoa) && Bind(module, 12, t.ioctlsocket) &&
           Bind(module, 13, t.listen) && Bind(module, 14, t.ntohl) && Bind(module, 15, t.ntohs) &&
           Bind(module, 16, t.recv) && Bind(module, 17, t.recvfrom) && Bind(module, 18, t.select) &&
           Bind(module, 19, t.send) && Bind(module, 20, t.sendto) &&
           Bind(module, 21, t.setsockopt) && Bind(module, 22, t.shutdown) &&
           Bind(module, 23, t.socket) && Bind(module, 51, t.gethostbyaddr) &&
           Bind(module, 52, t.gethostbyname) && Bind(module, 53, t.getprotobyname) &&
           Bind(module, 54, t.getprotobynumber) && Bind(module, 55, t.getservbyname) &&
           Bind(module, 56, t.getservbyport) && Bind(module, 57, t.gethostname) &&
           Bind(module, 101, t.WSAAsyncSelect) && Bind(module, 102, t.WSAAsyncGetHostByAddr) &&
           Bind(module, 103, t.WSAAsyncGetHostByName) &&
           Bind(module, 104, t.WSAAsyncGetProtoByNumber) &&
           Bind(module, 105, t.WSAAsyncGetProtoByName) &&
           Bind(module, 106, t.WSAAsyncGetServByPort) &&
           Bind(module, 107, t.WSAAsyncGetServByName) &&
           Bind(module, 108, t.WSACancelAsyncRequest) && Bind(module, 109, t.WSASetBlockingHook) &&
           Bind(module, 110, t.WSAUnhookBlockingHook) && Bind(module, 111, t.WSAGetLastError) &&
           Bind(module, 112, t.WSASetLastError) && Bind(module, 113, t.WSACancelBlockingCall) &&
           Bind(module, 114, t.WSAIsBlocking) && Bind(module, 115, t.WSAStartup) &&
           Bind(module, 116, t.WSACleanup);
}

TExports SocketLibraryExports() {
    return TExports{
        {1, Export(&WsAccept)},
        {2, Export(&WsBind)},
        {3, Export(&WsClosesocket)},
        {4, Export(&WsConnect)},
        {5, Export(&WsGetpeername)},
        {6, Export(&WsGetsockname)},
        {7, Export(&WsGetsockopt)},
        {8, Export(&WsHtonl)},
        {9, Export(&WsHtons)},
        {10, Export(&WsInetAddr)},
        {11, Export(&WsInetNtoa)},
        {12, Export(&WsIoctlsocket)},
        {13, Export(&WsListen)},
        {14, Export(&WsHtonl)},
        {15, Export(&WsHtons)},
        {16, Export(&WsRecv)},
        {17, Export(&WsRecvfrom)},
        {18, Export(&WsSelect)},
        {19, Export(&WsSend)},
        {20, Export(&WsSendto)},
        {21, Export(&WsSetsockopt)},
        {22, Export(&WsShutdown)},
        {23, Export(&WsSocket)},
        {51, Export(&WsGethostbyaddr)},
        {52, Export(&WsGethostbyname)},
        {53, Export(&WsGetprotobyname)},
        {54, Export(&WsGetprotobynumber)},
        {55, Export(&WsGetservbyname)},
        {56, Export(&WsGetservbyport)},
        {57, Export(&WsGethostname)},
        {101, Export(&WsAsyncSelect)},
        {102, Export(&WsAsyncGetHostByAddr)},
        {103, Export(&WsAsyncGetHostByName)},
        {104, Export(&WsAsyncGetProtoByNumber)},
        {105, Export(&WsAsyncGetProtoByName)},
        {106, Export(&WsAsyncGetServByPort)},
        {107, Export(&WsAsyncGetServByName)},
        {108, Export(&WsCancelAsyncRequest)},
        {109, Export(&WsSetBlockingHook)},
        {110, Export(&WsUnhookBlockingHook)},
        {111, Export(&WsGetLastError)},
        {112, Export(&WsSetLastError)},
        {113, Export(&WsCancelBlockingCall)},
        {114, Export(&WsIsBlocking)},
        {115, Export(&WsStartup)},
        {116, Export(&WsCleanup)},
    };
}

void RegisterSocketLibrary() {
    static const bool registered = [] {
        if (!RegisteredLibrary(SocketLibraryName))
            RegisterLibrary(SocketLibraryName, SocketLibraryExports());
        return true;
    }();
    (void)registered;
}

int OpenSocketCount() {
    return SocketCount();
}

} // namespace pelmora
