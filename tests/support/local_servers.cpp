#include "tests/support/local_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace pelmora::testing {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

uint16_t FreeServerPort() {
    static std::mt19937 pick{std::random_device{}()};
    std::uniform_int_distribution<int> range(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<uint16_t>(range(pick));
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 0;
}

bool Greets(uint16_t port, std::string_view greeting) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(port);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        pollfd p{fd, POLLIN, 0};
        std::vector<char> buffer(greeting.size());
        if (::poll(&p, 1, 2000) > 0 && ::recv(fd, buffer.data(), buffer.size(), MSG_WAITALL) ==
                                           static_cast<ssize_t>(buffer.size()))
            ok = std::memcmp(buffer.data(), greeting.data(), buffer.size()) == 0;
    }
    ::close(fd);
    return ok;
}

std::string ServerCache() {
    if (const char* cache = std::getenv("PELMORA_SERVER_CACHE"); cache && *cache)
        return cache;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.cache/pelmora-servers";
}

} // namespace pelmora::testing
