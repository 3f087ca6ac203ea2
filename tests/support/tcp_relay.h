#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace pelmora::testing {

// A plain TCP relay on 127.0.0.1 to a server on `serverPort`, for protocols whose bytes
// the test cannot read (SSH): every connection is carried as it is, until the bytes the
// clients sent reach `cutAfter` on one connection; that connection is then closed (both
// ways), once. A cutAfter of 0 cuts nothing.
class TTcpRelay {
public:
    TTcpRelay(uint16_t serverPort, size_t cutAfter);
    ~TTcpRelay();
    TTcpRelay(const TTcpRelay&) = delete;
    TTcpRelay& operator=(const TTcpRelay&) = delete;

    bool Start(std::string& why);
    void Stop();
    uint16_t Port() const { return port_; }
    bool Cut() const { return cut_; }

private:
    void Run();

    uint16_t serverPort_;
    size_t cutAfter_;
    uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::thread thread_;
};

} // namespace pelmora::testing
