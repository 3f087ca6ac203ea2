#include "tests/support/tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace pelmora::testing {

namespace {

int ConnectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TTcpRelay::TTcpRelay(uint16_t serverPort, size_t cutAfter)
    : serverPort_(serverPort), cutAfter_(cutAfter) {}

TTcpRelay::~TTcpRelay() {
    Stop();
}

bool TTcpRelay::Start(std::string& why) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        why = std::string("relay cannot listen: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void TTcpRelay::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
    listener_ = -1;
}

// One thread, one poll over the listener and every pair.
void TTcpRelay::Run() {
    struct TPair {
        int client;
        int server;
        size_t sent = 0; // client to server
    };
    std::vector<TPair> pairs;
    char buffer[65536];
    while (!stop_) {
        std::vector<pollfd> watched{{listener_, POLLIN, 0}};
        for (const TPair& p : pairs) {
            watched.push_back({p.client, POLLIN, 0});
            watched.push_back({p.server, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), 50) <= 0)
            continue;
        // A pair accepted now is watched from the next round on.
        const size_t watchedPairs = pairs.size();
        if (watched[0].revents & POLLIN) {
            const int client = ::accept(listener_, nullptr, nullptr);
            const int server = client >= 0 ? ConnectTo(serverPort_) : -1;
            if (server >= 0)
                pairs.push_back({client, server});
            else if (client >= 0)
                ::close(client);
        }
        std::vector<TPair> kept;
        for (size_t i = 0; i < pairs.size(); ++i) {
            TPair p = pairs[i];
            if (i >= watchedPairs) {
                kept.push_back(p);
                continue;
            }
            bool closed = false;
            for (const bool up : {true, false}) {
                if (closed || !(watched[1 + 2 * i + (up ? 0 : 1)].revents & (POLLIN | POLLHUP)))
                    continue;
                const int from = up ? p.client : p.server;
                const int to = up ? p.server : p.client;
                const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    closed = true;
                    break;
                }
                size_t pass = static_cast<size_t>(got);
                if (up && cutAfter_ > 0 && !cut_ && p.sent + pass >= cutAfter_) {
                    pass = cutAfter_ - p.sent;
                    cut_ = true;
                    closed = true;
                }
                if (up)
                    p.sent += pass;
                for (size_t done = 0; done < pass;) {
                    const ssize_t put = ::send(to, buffer + done, pass - done, MSG_NOSIGNAL);
                    if (put <= 0) {
                        closed = true;
                        break;
                    }
                    done += static_cast<size_t>(put);
                }
            }
            if (closed) {
                ::close(p.client);
                ::close(p.server);
            } else {
                kept.push_back(p);
            }
        }
        pairs = std::move(kept);
    }
    for (const TPair& p : pairs) {
        ::close(p.client);
        ::close(p.server);
    }
}

} // namespace pelmora::testing
