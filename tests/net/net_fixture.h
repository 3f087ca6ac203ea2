#pragma once

// Loopback helpers shared by the socket tests.

#include "net/serv_sock.h"
#include "net/socket_library.h"
#include "net/star_sock.h"
#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace pelmora::test {

// Sleeps in the event loop until `done` or `ms` milliseconds have passed.
inline bool WaitFor(const std::function<bool()>& done, uint32_t ms = 5000) {
    return WaitUntil(done, GetTickCount() + ms);
}

// Entries of /proc/self/fd: every descriptor the process holds.
inline int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(dir);
    }
    return count;
}

// A plain blocking socket of the host, closed with the object.
class TRawSocket {
public:
    TRawSocket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    explicit TRawSocket(int fd) : fd_(fd) {}
    ~TRawSocket() { Close(); }
    TRawSocket(const TRawSocket&) = delete;
    TRawSocket& operator=(const TRawSocket&) = delete;

    int Fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void SetReceiveBuffer(int bytes) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    // Listens on 127.0.0.1 at a port the system picks; returns it.
    uint16_t Listen() {
        sockaddr_in address = Loopback(0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 8);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    bool Connect(uint16_t port) {
        sockaddr_in address = Loopback(port);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    int Accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }
    bool SendAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until `count` bytes or the peer closes.
    std::string ReceiveUpTo(size_t count) {
        std::string data;
        std::string buffer(65536, '\0');
        while (data.size() < count) {
            const ssize_t n =
                ::recv(fd_, buffer.data(), std::min(buffer.size(), count - data.size()), 0);
            if (n <= 0)
                break;
            data.append(buffer.data(), static_cast<size_t>(n));
        }
        return data;
    }

    static sockaddr_in Loopback(uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

private:
    int fd_;
};

// A port on 127.0.0.1 that nothing listens on (it was free a moment ago).
inline uint16_t ClosedPort() {
    TRawSocket probe;
    return probe.Listen();
}

// A started listening component on 127.0.0.1 and a started client component, with the
// events of both recorded.
class TLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.SetWinsockStarted(true);
        server.HostAddress = "127.0.0.1";
        server.Listen();
        port = server.GetLocalPort();
        server.OnSockAccept = [this](TObject*, int32_t slot) { accepted.push_back(slot); };
        server.OnSockRead = [this](TObject*, int32_t slot) { slotReads.push_back(slot); };
        server.OnSockClose = [this](TObject*, int32_t slot) { slotCloses.push_back(slot); };
        client.SetWinsockStarted(true);
        client.OnSockConnect = [this](TObject*) { ++connects; };
        client.OnSockClose = [this](TObject*) { ++closes; };
    }

    // Opens the client to the server and waits until both ends saw it; returns the slot.
    int32_t Connect() {
        const size_t acceptedBefore = accepted.size();
        const int connectsBefore = connects;
        client.SetFtpServer("127.0.0.1");
        client.FtpPort = port;
        client.Open();
        EXPECT_TRUE(
            WaitFor([&] { return connects > connectsBefore && accepted.size() > acceptedBefore; }));
        return accepted.size() > acceptedBefore ? accepted.back() : 0;
    }

    TServSock server;
    TStarSock client;
    uint16_t port = 0;
    std::vector<int32_t> accepted;
    std::vector<int32_t> slotReads;
    std::vector<int32_t> slotCloses;
    int connects = 0;
    int closes = 0;
};

} // namespace pelmora::test
