#include "tests/support/fault_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>

namespace pelmora::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t noCut = std::numeric_limits<size_t>::max();
// Reading from one side stops while this much waits for the other: the slower side
// sets the pace, as without the relay.
constexpr size_t backlogLimit = 256 * 1024;

void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A connection to 127.0.0.1:port, made while the relay waits: on the loopback it is
// quick, and a refusal is immediate.
int ConnectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    SetNonBlocking(fd);
    return fd;
}

int ListenLoopback(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    SetNonBlocking(fd);
    port = ntohs(address.sin_port);
    return fd;
}

// An orderly close, or with `reset` a close that sends RST and drops what is unsent.
void CloseFd(int& fd, bool reset) {
    if (fd < 0)
        return;
    if (reset) {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd);
    fd = -1;
}

// The numbers in `text` from `from` on, at most `count` of them.
std::vector<long> Numbers(const std::string& text, size_t from, size_t count) {
    std::vector<long> found;
    size_t i = from;
    while (i < text.size() && found.size() < count) {
        if (std::isdigit(static_cast<unsigned char>(text[i]))) {
            long value = 0;
            while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
                value = value * 10 + (text[i++] - '0');
            found.push_back(value);
        } else {
            ++i;
        }
    }
    return found;
}

std::string HostPort(uint16_t port) {
    return "127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
}

std::string Trimmed(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

} // namespace

const char* FaultName(TFaultKind kind) {
    switch (kind) {
    case TFaultKind::CutControl:
        return "cut-control";
    case TFaultKind::CutControlBytes:
        return "cut-control-bytes";
    case TFaultKind::CutData:
        return "cut-data";
    case TFaultKind::DelayUnder:
        return "delay-under";
    case TFaultKind::DelayPast:
        return "delay-past";
    case TFaultKind::Stall:
        return "stall";
    case TFaultKind::RefuseLogin:
        return "refuse-login";
    case TFaultKind::TruncateListing:
        return "truncate-listing";
    case TFaultKind::RestartServer:
        return "restart-server";
    }
    return "?";
}

std::string TFault::Describe() const {
    std::string text = std::string(FaultName(kind)) + " at " + std::to_string(at);
    if (kind == TFaultKind::CutControlBytes || kind == TFaultKind::CutData)
        text += " after " + std::to_string(bytes) + " bytes";
    if (reset)
        text += " (reset)";
    return text;
}

std::vector<TFault> DrawFaults(uint32_t seed) {
    std::mt19937 pick(seed);
    auto below = [&](uint32_t n) { return static_cast<int>(pick() % n); };
    const int roll = below(8);
    const int count = roll == 0 ? 3 : roll <= 2 ? 2 : 1;
    std::vector<TFault> faults;
    for (int n = 0; n < count; ++n) {
        TFault fault;
        fault.kind = static_cast<TFaultKind>(below(faultKindCount));
        fault.reset = below(2) == 1;
        switch (fault.kind) {
        case TFaultKind::CutControlBytes:
            fault.at = 1 + below(2);
            fault.bytes = static_cast<size_t>(below(1500));
            break;
        case TFaultKind::CutData:
            fault.at = 1 + below(12);
            // Nothing at all, a little, or well into a file.
            fault.bytes = static_cast<size_t>(below(3) == 0 ? 0
                                              : below(2)    ? below(200)
                                                            : below(80000));
            break;
        case TFaultKind::RefuseLogin:
            fault.at = 1 + below(2);
            break;
        case TFaultKind::TruncateListing:
            fault.at = 1 + below(6);
            break;
        default:
            fault.at = 1 + below(60);
            break;
        }
        faults.push_back(fault);
    }
    return faults;
}

// Everything the thread owns.
struct TFaultRelay::TState {
    struct TEnd {
        int fd = -1;
        std::string out; // waiting to be written to fd
        bool eof = false;
    };
    struct TControl {
        int number = 0;
        TEnd client, server;
        std::string clientPart, serverPart; // a line not yet ended
        std::string heldReplies;            // replies kept back by a delay or a stall
        // Lines on their way while the control delay lasts, each with its time to go on.
        std::deque<std::pair<Clock::time_point, std::string>> lateCommands, lateReplies;
        Clock::time_point holdUntil{};
        bool stalled = false;
        bool closing = false; // closed once what waits for the client is written
        bool reset = false;
        size_t replyBytes = 0;
        std::string lastTransfer;
        std::string lastRenameTarget;
        bool dead = false;
    };
    struct TData {
        int control = 0; // number of the control connection that made it
        int number = 0;
        TEnd client, server;
        size_t passed = 0;
        size_t cutAfter = noCut;
        bool reset = false;
        bool decided = false;
        bool truncate = false;
        std::string transfer; // the verb it carries, once its first bytes came
        std::string hoard;    // a listing kept whole until the server ends it
        bool closing = false;
        bool dead = false;
    };
    struct TListener {
        int fd = -1;
        bool passive = true; // the client connects here; else the server does
        uint16_t target = 0; // where the other side listens
        int control = 0;
    };

    std::vector<std::unique_ptr<TControl>> controls;
    std::vector<std::unique_ptr<TData>> datas;
    std::vector<TListener> listeners;
    int commands = 0;
    int logins = 0;
    int controlCount = 0;
    int dataCount = 0;
    int listings = 0;

    TControl* Control(int number) {
        for (auto& c : controls)
            if (c->number == number && !c->dead)
                return c.get();
        return nullptr;
    }
};

TFaultRelay::TFaultRelay(uint16_t serverPort, std::vector<TFault> faults,
                         std::chrono::milliseconds timeout)
    : serverPort_(serverPort), faults_(std::move(faults)), timeout_(timeout) {}

TFaultRelay::~TFaultRelay() {
    Stop();
}

bool TFaultRelay::Start(std::string& why) {
    listener_ = ListenLoopback(port_);
    if (listener_ < 0) {
        why = std::string("the relay cannot listen: ") + std::strerror(errno);
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void TFaultRelay::Stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    CloseFd(listener_, false);
}

std::vector<std::string> TFaultRelay::Injected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_;
}

std::vector<TFaultKind> TFaultRelay::InjectedKinds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return injectedKinds_;
}

std::vector<TRemoval> TFaultRelay::Removals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return removals_;
}

void TFaultRelay::Note(TFaultKind kind, const std::string& where) {
    std::lock_guard<std::mutex> lock(mutex_);
    injected_.push_back(std::string(FaultName(kind)) + ": " + where);
    injectedKinds_.push_back(kind);
}

void TFaultRelay::Run() {
    TState s;
    using TControl = TState::TControl;
    using TData = TState::TData;

    auto killControl = [](TControl& c, bool reset) {
        CloseFd(c.client.fd, reset);
        CloseFd(c.server.fd, reset);
        c.dead = true;
    };
    auto killData = [](TData& d, bool reset) {
        CloseFd(d.client.fd, reset);
        CloseFd(d.server.fd, reset);
        d.dead = true;
    };
    auto faultAt = [this](TFaultKind kind, int at) -> const TFault* {
        for (const TFault& f : faults_)
            if (f.kind == kind && f.at == at)
                return &f;
        return nullptr;
    };
    auto addListener = [&](bool passive, uint16_t target, int control) -> uint16_t {
        uint16_t port = 0;
        const int fd = ListenLoopback(port);
        if (fd < 0)
            return 0;
        s.listeners.push_back({fd, passive, target, control});
        return port;
    };

    // A command line from the client: faults by its number, data addresses rewritten,
    // removals written down; then on to the server.
    auto fromClient = [&](TControl& c, std::string line) {
        const std::string bare = Trimmed(line);
        std::string verb = bare.substr(0, bare.find(' '));
        for (char& ch : verb)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        const std::string argument =
            bare.find(' ') == std::string::npos ? "" : bare.substr(bare.find(' ') + 1);
        const int number = ++s.commands;
        const std::string where = "command " + std::to_string(number) + " (" +
                                  (verb == "PASS" ? std::string("PASS") : bare) + ")";
        if (const TFault* f = faultAt(TFaultKind::CutControl, number)) {
            Note(f->kind, where + (f->reset ? ", reset" : ""));
            killControl(c, f->reset);
            return;
        }
        if (const TFault* f = faultAt(TFaultKind::RestartServer, number)) {
            Note(f->kind, where);
            restart_ = true;
        }
        if (verb == "USER") {
            const int login = ++s.logins;
            if (const TFault* f = faultAt(TFaultKind::RefuseLogin, login)) {
                Note(f->kind, "login " + std::to_string(login));
                c.client.out += "421 Too many connections, closing control connection.\r\n";
                c.closing = true;
                CloseFd(c.server.fd, false);
                return;
            }
        }
        if (const TFault* f = faultAt(TFaultKind::DelayUnder, number)) {
            const auto delay = std::max(std::chrono::milliseconds(500),
                                        timeout_ - std::chrono::milliseconds(1500));
            Note(f->kind, where + ", " + std::to_string(delay.count()) + " ms");
            c.holdUntil = Clock::now() + delay;
        }
        if (const TFault* f = faultAt(TFaultKind::DelayPast, number)) {
            const auto delay = timeout_ + std::chrono::milliseconds(2000);
            Note(f->kind, where + ", " + std::to_string(delay.count()) + " ms");
            c.holdUntil = Clock::now() + delay;
        }
        if (const TFault* f = faultAt(TFaultKind::Stall, number)) {
            Note(f->kind, where);
            c.stalled = true;
        }
        if (verb == "PORT") {
            const auto n = Numbers(argument, 0, 6);
            if (n.size() == 6)
                if (const uint16_t mine =
                        addListener(false, static_cast<uint16_t>(n[4] * 256 + n[5]), c.number))
                    line = "PORT " + HostPort(mine) + "\r\n";
        } else if (verb == "EPRT" && argument.size() > 1) {
            const char delimiter = argument[0];
            const size_t last = argument.rfind(delimiter, argument.size() - 2);
            if (last != std::string::npos && last > 0) {
                const auto n = Numbers(argument, last, 1);
                if (n.size() == 1)
                    if (const uint16_t mine =
                            addListener(false, static_cast<uint16_t>(n[0]), c.number))
                        line = "EPRT |1|127.0.0.1|" + std::to_string(mine) + "|\r\n";
            }
        } else if (verb == "DELE" || verb == "RMD") {
            std::lock_guard<std::mutex> lock(mutex_);
            removals_.push_back({verb, argument, argument == c.lastRenameTarget});
        } else if (verb == "LIST" || verb == "NLST" || verb == "MLSD" || verb == "RETR" ||
                   verb == "STOR" || verb == "APPE") {
            c.lastTransfer = verb;
        }
        c.lastRenameTarget = verb == "RNTO" ? argument : "";
        if (controlDelay_.count() > 0)
            c.lateCommands.emplace_back(Clock::now() + controlDelay_, line);
        else
            c.server.out += line;
    };

    // A reply line from the server: passive addresses rewritten, then held or passed on.
    auto fromServer = [&](TControl& c, std::string line) {
        if (line.rfind("227", 0) == 0) {
            const auto n = Numbers(line, 4, 6);
            if (n.size() == 6)
                if (const uint16_t mine =
                        addListener(true, static_cast<uint16_t>(n[4] * 256 + n[5]), c.number))
                    line = "227 Entering Passive Mode (" + HostPort(mine) + ").\r\n";
        } else if (line.rfind("229", 0) == 0) {
            const size_t bars = line.find("|||");
            if (bars != std::string::npos) {
                const auto n = Numbers(line, bars, 1);
                if (n.size() == 1)
                    if (const uint16_t mine =
                            addListener(true, static_cast<uint16_t>(n[0]), c.number))
                        line = "229 Entering Extended Passive Mode (|||" + std::to_string(mine) +
                               "|)\r\n";
            }
        }
        if (const TFault* f = faultAt(TFaultKind::CutControlBytes, c.number)) {
            if (c.replyBytes + line.size() > f->bytes && !c.closing) {
                const size_t room = f->bytes > c.replyBytes ? f->bytes - c.replyBytes : 0;
                Note(f->kind, "control " + std::to_string(c.number) + " after " +
                                  std::to_string(f->bytes) + " bytes, in \"" + Trimmed(line) +
                                  "\"" + (f->reset ? ", reset" : ""));
                c.heldReplies += line.substr(0, room);
                c.replyBytes = f->bytes;
                c.closing = true;
                c.reset = f->reset;
                CloseFd(c.server.fd, f->reset);
                return;
            }
        }
        c.replyBytes += line.size();
        if (controlDelay_.count() > 0)
            c.lateReplies.emplace_back(Clock::now() + controlDelay_, line);
        else
            c.heldReplies += line;
    };

    // Bytes on a data connection, by direction, with the cuts and the truncated listing.
    auto dataBytes = [&](TData& d, bool toClient, const char* bytes, size_t count) {
        if (!d.decided) {
            d.decided = true;
            const TControl* c = s.Control(d.control);
            const std::string transfer = c ? c->lastTransfer : "";
            d.transfer = transfer;
            if (transfer == "LIST" || transfer == "NLST" || transfer == "MLSD") {
                const int listing = ++s.listings;
                d.truncate = faultAt(TFaultKind::TruncateListing, listing) != nullptr;
                if (d.truncate)
                    d.reset = faultAt(TFaultKind::TruncateListing, listing)->reset;
            }
        }
        if (d.truncate && toClient) {
            d.hoard.append(bytes, count);
            return;
        }
        size_t take = count;
        if (d.cutAfter != noCut && d.passed + count >= d.cutAfter) {
            take = d.cutAfter - d.passed;
            Note(TFaultKind::CutData, "data connection " + std::to_string(d.number) + " (" +
                                          d.transfer + ") after " + std::to_string(d.cutAfter) +
                                          " bytes" + (d.reset ? ", reset" : ""));
            d.cutAfter = noCut;
            d.closing = true;
            d.client.eof = d.server.eof = true;
        }
        d.passed += take;
        (toClient ? d.client.out : d.server.out).append(bytes, take);
    };

    auto endOfData = [&](TData& d, bool fromServerSide) {
        if (fromServerSide && d.truncate && !d.closing) {
            const size_t keep = d.hoard.size() / 2;
            if (!d.hoard.empty())
                Note(TFaultKind::TruncateListing, "data connection " + std::to_string(d.number) +
                                                      ", " + std::to_string(keep) + " of " +
                                                      std::to_string(d.hoard.size()) + " bytes" +
                                                      (d.reset ? ", reset" : ""));
            d.client.out += d.hoard.substr(0, keep);
            d.hoard.clear();
        }
        d.closing = true;
    };

    // Writes what waits for an end; false when the end is gone.
    auto flush = [](TState::TEnd& end) {
        while (!end.out.empty() && end.fd >= 0) {
            const ssize_t n = ::send(end.fd, end.out.data(), end.out.size(), MSG_NOSIGNAL);
            if (n > 0) {
                end.out.erase(0, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return true;
            return false;
        }
        return true;
    };

    char buffer[64 * 1024];
    // Reads what there is: false at the end of the stream or on an error.
    auto readInto = [&](int fd, std::string& into) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            into.assign(buffer, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            into.clear();
            return true;
        }
        return false;
    };

    while (!stop_) {
        const auto now = Clock::now();
        // Lines go on once the control delay has passed; a reply then waits for any hold.
        for (auto& c : s.controls) {
            for (; !c->lateCommands.empty() && now >= c->lateCommands.front().first;
                 c->lateCommands.pop_front())
                c->server.out += c->lateCommands.front().second;
            for (; !c->lateReplies.empty() && now >= c->lateReplies.front().first;
                 c->lateReplies.pop_front())
                c->heldReplies += c->lateReplies.front().second;
        }
        // Held replies go once their time has come.
        for (auto& c : s.controls)
            if (!c->dead && !c->stalled && now >= c->holdUntil && !c->heldReplies.empty()) {
                c->client.out += c->heldReplies;
                c->heldReplies.clear();
            }

        std::vector<pollfd> fds;
        std::vector<std::function<void(short)>> handlers;
        auto watch = [&](int fd, short events, std::function<void(short)> handler) {
            if (fd < 0 || events == 0)
                return;
            fds.push_back({fd, events, 0});
            handlers.push_back(std::move(handler));
        };

        watch(listener_, POLLIN, [&](short) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            SetNonBlocking(client);
            auto c = std::make_unique<TControl>();
            c->number = ++s.controlCount;
            c->client.fd = client;
            c->server.fd = ConnectLoopback(serverPort_);
            if (c->server.fd < 0) {
                // The server is away (being restarted): the client sees a closed door.
                CloseFd(c->client.fd, false);
                return;
            }
            s.controls.push_back(std::move(c));
        });

        for (size_t k = 0; k < s.listeners.size(); ++k) {
            watch(s.listeners[k].fd, POLLIN, [&, k](short) {
                TState::TListener l = s.listeners[k];
                const int accepted = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
                CloseFd(s.listeners[k].fd, false);
                if (accepted < 0)
                    return;
                SetNonBlocking(accepted);
                const int other = ConnectLoopback(l.target);
                auto d = std::make_unique<TData>();
                d->control = l.control;
                d->number = ++s.dataCount;
                d->client.fd = l.passive ? accepted : other;
                d->server.fd = l.passive ? other : accepted;
                if (other < 0) {
                    killData(*d, false);
                    return;
                }
                if (const TFault* f = faultAt(TFaultKind::CutData, d->number)) {
                    d->cutAfter = f->bytes;
                    d->reset = f->reset;
                }
                s.datas.push_back(std::move(d));
            });
        }

        for (auto& owned : s.controls) {
            TControl* c = owned.get();
            if (c->dead)
                continue;
            const bool clientRoom = c->server.out.size() < backlogLimit;
            watch(c->client.fd,
                  static_cast<short>((c->closing || !clientRoom ? 0 : POLLIN) |
                                     (c->client.out.empty() ? 0 : POLLOUT)),
                  [&, c](short events) {
                      if (events & POLLOUT && !flush(c->client)) {
                          killControl(*c, false);
                          return;
                      }
                      if (!(events & (POLLIN | POLLHUP | POLLERR)) || c->closing)
                          return;
                      std::string got;
                      if (!readInto(c->client.fd, got)) {
                          // The client went: the server sees it go the same way.
                          flush(c->server);
                          killControl(*c, false);
                          return;
                      }
                      c->clientPart += got;
                      size_t end;
                      while (!c->dead && (end = c->clientPart.find('\n')) != std::string::npos) {
                          std::string line = c->clientPart.substr(0, end + 1);
                          c->clientPart.erase(0, end + 1);
                          fromClient(*c, line);
                      }
                  });
            if (c->dead)
                continue;
            watch(c->server.fd,
                  static_cast<short>((c->heldReplies.size() < backlogLimit ? POLLIN : 0) |
                                     (c->server.out.empty() ? 0 : POLLOUT)),
                  [&, c](short events) {
                      if (events & POLLOUT && !flush(c->server)) {
                          c->closing = true;
                          CloseFd(c->server.fd, false);
                          return;
                      }
                      if (!(events & (POLLIN | POLLHUP | POLLERR)))
                          return;
                      std::string got;
                      if (!readInto(c->server.fd, got)) {
                          // The server went: what it said still reaches the client first.
                          if (!c->serverPart.empty())
                              c->heldReplies += c->serverPart;
                          c->serverPart.clear();
                          c->closing = true;
                          CloseFd(c->server.fd, false);
                          return;
                      }
                      c->serverPart += got;
                      size_t end;
                      while (!c->closing && (end = c->serverPart.find('\n')) != std::string::npos) {
                          std::string line = c->serverPart.substr(0, end + 1);
                          c->serverPart.erase(0, end + 1);
                          fromServer(*c, line);
                      }
                  });
        }

        for (auto& owned : s.datas) {
            TData* d = owned.get();
            if (d->dead)
                continue;
            for (bool clientSide : {true, false}) {
                TState::TEnd& end = clientSide ? d->client : d->server;
                TState::TEnd& other = clientSide ? d->server : d->client;
                const bool readable = !end.eof && !d->closing && other.out.size() < backlogLimit;
                watch(end.fd,
                      static_cast<short>((readable ? POLLIN : 0) | (end.out.empty() ? 0 : POLLOUT)),
                      [&, d, clientSide](short events) {
                          if (d->dead)
                              return;
                          TState::TEnd& mine = clientSide ? d->client : d->server;
                          if (events & POLLOUT && !flush(mine)) {
                              killData(*d, false);
                              return;
                          }
                          if (!(events & (POLLIN | POLLHUP | POLLERR)) || mine.eof || d->closing)
                              return;
                          std::string got;
                          if (!readInto(mine.fd, got)) {
                              mine.eof = true;
                              endOfData(*d, !clientSide);
                              return;
                          }
                          if (!got.empty())
                              dataBytes(*d, !clientSide, got.data(), got.size());
                      });
            }
        }

        // Poll at most 50 ms at a time, so that Stop and the held replies are seen soon.
        int wait = 50;
        const auto until = [&](Clock::time_point when) {
            return static_cast<int>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count()) +
                   1;
        };
        for (auto& c : s.controls)
            for (const auto* late : {&c->lateCommands, &c->lateReplies})
                if (!c->dead && !late->empty())
                    wait = std::clamp(until(late->front().first), 0, wait);
        for (auto& c : s.controls)
            if (!c->dead && !c->stalled && !c->heldReplies.empty() && c->holdUntil > now)
                wait = std::min<int>(
                    wait, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               c->holdUntil - now)
                                               .count()) +
                              1);
        const int ready = ::poll(fds.data(), fds.size(), wait);
        if (ready > 0)
            for (size_t k = 0; k < fds.size(); ++k)
                if (fds[k].revents != 0)
                    handlers[k](fds[k].revents);

        // Ends: a closing control once the client has all it is owed; a data connection
        // once both sides have theirs.
        for (auto& c : s.controls)
            if (!c->dead && c->closing && c->client.out.empty() &&
                (c->stalled || Clock::now() >= c->holdUntil) && c->heldReplies.empty() &&
                c->lateReplies.empty())
                killControl(*c, c->reset);
            else if (!c->dead && c->closing && c->stalled)
                killControl(*c, c->reset);
        for (auto& d : s.datas)
            if (!d->dead && d->closing && d->client.out.empty() && d->server.out.empty())
                killData(*d, d->reset);
        std::erase_if(s.controls, [](const auto& c) { return c->dead; });
        std::erase_if(s.datas, [](const auto& d) { return d->dead; });
        std::erase_if(s.listeners, [](const auto& l) { return l.fd < 0; });
    }

    for (auto& c : s.controls)
        killControl(*c, false);
    for (auto& d : s.datas)
        killData(*d, false);
    for (auto& l : s.listeners)
        CloseFd(l.fd, false);
}

} // namespace pelmora::testing
