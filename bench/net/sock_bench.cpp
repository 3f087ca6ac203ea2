// Throughput of the socket layer on its own: a client component (TStarSock) sends to a
// slot of a listening one (TServSock) in the same process over 127.0.0.1, in pieces of
// 2,048 bytes, everything driven by the event loop: the sender sends until the library
// would block and goes on at the next write notification; the slot takes what is
// waiting, 2,048 bytes per receive, at each read notification. Then, in the same run,
// the raw loopback limit: a plain blocking socket pair with 4 MiB buffers, 1 MiB writes
// from a second thread.
//
//     sock_bench [MIB [PIECE]]        defaults: 256 MiB in pieces of 2048 bytes
//
// Prints one line:
//     bytes=... piece=... star_s=... star_cpu_s=... star_mibs=... raw_s=... raw_cpu_s=...
//     raw_mibs=... ratio=... write_events=... read_events=... partial_sends=...
// (ratio = raw MiB/s over the components' MiB/s). Exit status 1 when the data did not
// arrive whole within two minutes.
#include "net/serv_sock.h"
#include "net/star_sock.h"
#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace pelmora;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The stream carries byte (offset % 251) at every offset, so that any piece can be sent
// from, and checked against, pattern + offset % 251.
constexpr size_t Period = 251;

struct TStarResult {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
    long writeEvents = 0;
    long readEvents = 0;
    long partialSends = 0;
};

TStarResult RunComponents(size_t total, int32_t piece) {
    TStarResult result;
    std::vector<char> pattern(Period + static_cast<size_t>(piece));
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>(i % Period);
    std::vector<char> buffer(static_cast<size_t>(piece));

    TServSock server;
    server.SetWinsockStarted(true);
    server.HostAddress = "127.0.0.1";
    server.Listen();
    TStarSock client;
    client.SetWinsockStarted(true);
    client.SetFtpServer("127.0.0.1");
    client.FtpPort = server.GetLocalPort();

    int32_t slot = 0;
    bool connected = false;
    bool failed = false;
    size_t sent = 0;
    size_t received = 0;
    server.OnSockAccept = [&](TObject*, int32_t s) { slot = s; };
    client.OnSockConnect = [&](TObject*) { connected = true; };

    // Sends until everything is out or the library would block (then a write
    // notification follows). Each send makes progress, so the loop ends.
    const size_t maxSends = total / static_cast<size_t>(piece) * 2 + 16;
    const auto pump = [&] {
        for (size_t n = 0; n < maxSends && sent < total && !failed; ++n) {
            const auto count =
                static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(piece), total - sent));
            int32_t done = 0;
            try {
                done = client.Socket->Send(pattern.data() + sent % Period, count);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "send: %s\n", e.what());
                failed = true;
                return;
            }
            if (done == 0)
                return;
            if (done < count)
                ++result.partialSends;
            sent += static_cast<size_t>(done);
        }
    };
    client.OnSockWrite = [&](TObject*) {
        ++result.writeEvents;
        if (slot != 0)
            pump();
    };
    // Takes what is waiting, piece by piece; a bounded share per notification, the rest
    // is reported again after the receive.
    server.OnSockRead = [&](TObject*, int32_t s) {
        ++result.readEvents;
        for (int n = 0; n < 4096 && !failed; ++n) {
            int32_t got = 0;
            try {
                got = server.Receive(s, buffer.data(), piece);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "receive: %s\n", e.what());
                failed = true;
                return;
            }
            if (got == 0)
                return;
            if (std::memcmp(buffer.data(), pattern.data() + received % Period,
                            static_cast<size_t>(got)) != 0) {
                std::fprintf(stderr, "wrong data at offset %zu\n", received);
                failed = true;
                return;
            }
            received += static_cast<size_t>(got);
        }
    };

    client.Open();
    if (!WaitUntil([&] { return connected && slot != 0; }, GetTickCount() + 10000)) {
        std::fprintf(stderr, "no connection\n");
        return result;
    }
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    pump();
    WaitUntil([&] { return received >= total || failed; }, GetTickCount() + 120000);
    result.seconds = Seconds(start);
    result.cpu = CpuSeconds() - cpuStart;
    result.ok = !failed && received == total && sent == total;
    if (!result.ok)
        std::fprintf(stderr, "components: sent %zu, received %zu of %zu\n", sent, received, total);
    client.Close();
    server.CloseClient(slot);
    server.Close();
    return result;
}

struct TRawResult {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

TRawResult RunRaw(size_t total) {
    TRawResult result;
    const int big = 4 << 20;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("raw listen");
        ::close(listener);
        return result;
    }
    const int sender = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::setsockopt(sender, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("raw connect");
        ::close(sender);
        ::close(listener);
        return result;
    }
    const int receiver = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    ::setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);

    const size_t chunk = 1 << 20;
    std::vector<char> out(chunk, 'r');
    std::vector<char> in(chunk);
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    std::thread writer([&] {
        size_t done = 0;
        for (size_t n = 0; n < total && done < total; ++n) {
            const ssize_t k =
                ::send(sender, out.data(), std::min(chunk, total - done), MSG_NOSIGNAL);
            if (k <= 0)
                break;
            done += static_cast<size_t>(k);
        }
        ::shutdown(sender, SHUT_WR);
    });
    size_t got = 0;
    for (size_t n = 0; n < total && got < total; ++n) {
        const ssize_t k = ::recv(receiver, in.data(), in.size(), 0);
        if (k <= 0)
            break;
        got += static_cast<size_t>(k);
    }
    result.seconds = Seconds(start);
    writer.join();
    result.cpu = CpuSeconds() - cpuStart;
    result.ok = got == total;
    ::close(sender);
    ::close(receiver);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 256;
    const long piece = argc > 2 ? std::atol(argv[2]) : 2048;
    if (mib < 1 || mib > 4096 || piece < 1 || piece > (1 << 20)) {
        std::fprintf(stderr, "usage: sock_bench [MIB [PIECE]]\n");
        return 2;
    }
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    const size_t total = static_cast<size_t>(mib) << 20;
    const TStarResult star = RunComponents(total, static_cast<int32_t>(piece));
    const TRawResult raw = RunRaw(total);
    const double starMibs = static_cast<double>(mib) / star.seconds;
    const double rawMibs = static_cast<double>(mib) / raw.seconds;
    std::printf("bytes=%zu piece=%ld star_s=%.4f star_cpu_s=%.4f star_mibs=%.1f raw_s=%.4f "
                "raw_cpu_s=%.4f raw_mibs=%.1f ratio=%.2f write_events=%ld read_events=%ld "
                "partial_sends=%ld\n",
                total, piece, star.seconds, star.cpu, starMibs, raw.seconds, raw.cpu, rawMibs,
                rawMibs / starMibs, star.writeEvents, star.readEvents, star.partialSends);
    return star.ok && raw.ok ? 0 : 1;
}
