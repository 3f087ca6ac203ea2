#include "tests/support/ftp_script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace pelmora::testing {

namespace {

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// What a plain server that grants everything answers.
TFtpRule BuiltinRule(const std::string& verb) {
    TFtpRule rule;
    rule.verb = verb;
    if (verb.empty())
        rule.Reply("220 Script server ready");
    else if (verb == "USER")
        rule.Reply("331 Password required");
    else if (verb == "PASS" || verb == "ACCT")
        rule.Reply("230 Logged in");
    else if (verb == "SYST")
        rule.Reply("215 UNIX Type: L8");
    else if (verb == "PWD")
        rule.Reply("257 \"/\" is the current directory");
    else if (verb == "CWD" || verb == "RMD" || verb == "DELE")
        rule.Reply("250 Okay");
    else if (verb == "RNFR")
        rule.Reply("350 Ready for RNTO");
    else if (verb == "RNTO")
        rule.Reply("250 Renamed");
    else if (verb == "MKD")
        rule.Reply("257 Created");
    else if (verb == "TYPE")
        rule.Reply("200 Type set");
    else if (verb == "PORT")
        rule.Reply("200 PORT command successful");
    else if (verb == "LIST" || verb == "MLSD" || verb == "NLST" || verb == "STOR")
        rule.Preliminary({"150 Opening data connection"}).Reply("226 Transfer complete");
    else if (verb == "QUIT")
        rule.Reply("221 Goodbye").CloseControl(TFtpRule::CloseAfterReply);
    else
        rule.Reply("502 Command not implemented");
    return rule;
}

// "h1,h2,h3,h4,p1,p2" into a dotted address and a port.
bool ParsePort(const std::string& argument, std::string& host, uint16_t& port) {
    int v[6];
    char tail = 0;
    if (std::sscanf(argument.c_str(), "%d,%d,%d,%d,%d,%d%c", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5], &tail) != 6)
        return false;
    for (const int n : v)
        if (n < 0 || n > 255)
            return false;
    host = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
    port = static_cast<uint16_t>(v[4] * 256 + v[5]);
    return true;
}

} // namespace

TFtpScriptServer::TFtpScriptServer() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("script server cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TFtpScriptServer::~TFtpScriptServer() {
    stop_ = true;
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
    thread_.join();
    CloseFd(listener_);
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
}

TFtpRule& TFtpScriptServer::On(const std::string& verb) {
    std::lock_guard lock(mutex_);
    rules_.push_back(std::make_unique<TFtpRule>(BuiltinRule(Upper(verb))));
    return *rules_.back();
}

void TFtpScriptServer::SetListing(std::string text) {
    std::lock_guard lock(mutex_);
    listing_ = std::move(text);
}

void TFtpScriptServer::SetListingOf(const std::string& dir, std::string text) {
    std::lock_guard lock(mutex_);
    listingsOf_[dir] = std::move(text);
}

void TFtpScriptServer::AcceptPassive() {
    On("EPSV").Passive();
    On("PASV").Passive();
}

void TFtpScriptServer::SetStoreDirectory(std::string dir) {
    std::lock_guard lock(mutex_);
    storeDir_ = std::move(dir);
}

std::vector<std::string> TFtpScriptServer::Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::map<std::string, std::string> TFtpScriptServer::Stored() const {
    std::lock_guard lock(mutex_);
    return stored_;
}

bool TFtpScriptServer::HasStored(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return stored_.count(path) != 0;
}

bool TFtpScriptServer::WaitFor(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {wakeRead_, POLLIN, 0}};
    while (!stop_) {
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || (fds[1].revents & POLLIN))
            return false;
        return true;
    }
    return false;
}

void TFtpScriptServer::Sleep(int ms) {
    if (ms <= 0)
        return;
    pollfd fd{wakeRead_, POLLIN, 0};
    ::poll(&fd, 1, ms);
}

bool TFtpScriptServer::SendBytes(int fd, const char* data, size_t size) {
    while (size > 0) {
        if (!WaitFor(fd, POLLOUT, -1))
            return false;
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool TFtpScriptServer::SendReply(int fd, const std::vector<std::string>& lines,
                                 const std::string& raw, bool drip) {
    std::string bytes;
    for (const auto& line : lines)
        bytes += line + "\r\n";
    bytes += raw;
    if (!drip)
        return SendBytes(fd, bytes.data(), bytes.size());
    for (const char c : bytes) {
        if (!SendBytes(fd, &c, 1))
            return false;
        Sleep(1);
    }
    return true;
}

void TFtpScriptServer::Run() {
    while (!stop_) {
        if (!WaitFor(listener_, POLLIN, -1))
            break;
        int control = ::accept(listener_, nullptr, nullptr);
        if (control < 0)
            continue;
        const int one = 1;
        ::setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++sessions_;
        sessionOver_ = false;
        Serve(control);
        CloseFd(control);
        CloseFd(earlyData_);
        CloseFd(passiveListener_);
        for (int& fd : queueFillers_)
            CloseFd(fd);
        queueFillers_.clear();
        sessionOver_ = true;
    }
}

void TFtpScriptServer::Serve(int control) {
    {
        std::lock_guard lock(mutex_);
        cwd_ = "/";
        made_.clear();
        madeFiles_.clear();
    }
    bool closeSession = false;
    Answer(control, "", "", PickRule("", ""), closeSession);
    std::string pending;
    std::string line;
    while (!closeSession && ReadCommand(control, pending, line)) {
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(line);
        }
        const size_t blank = line.find(' ');
        const std::string verb = Upper(line.substr(0, blank));
        const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
        Answer(control, verb, argument, PickRule(verb, argument), closeSession);
    }
}

bool TFtpScriptServer::ReadCommand(int control, std::string& pending, std::string& line) {
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            pending.erase(0, end + 1);
            return true;
        }
        if (!WaitFor(control, POLLIN, -1))
            return false;
        char buffer[4096];
        const ssize_t n = ::recv(control, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

TFtpRule TFtpScriptServer::PickRule(const std::string& verb, const std::string& argument) {
    std::lock_guard lock(mutex_);
    for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
        const TFtpRule& rule = **it;
        if (rule.verb != verb || (rule.argument && *rule.argument != argument))
            continue;
        int& used = used_[&rule];
        if (rule.uses > 0 && used >= rule.uses)
            continue;
        ++used;
        return rule;
    }
    return BuiltinRule(verb);
}

void TFtpScriptServer::Answer(int control, const std::string& verb, const std::string& argument,
                              const TFtpRule& rule, bool& closeSession) {
    if (verb == "PORT" && rule.connectOnPort)
        ConnectEarly(argument);
    Sleep(rule.delayMs);
    if (rule.closeControl == TFtpRule::CloseBeforeReply) {
        closeSession = true;
        return;
    }
    if ((verb == "EPSV" || verb == "PASV") && rule.passive) {
        OfferPassive(control, verb, rule);
        if (rule.closeControl == TFtpRule::CloseAfterReply)
            closeSession = true;
        return;
    }
    if (verb == "PORT") {
        CloseFd(passiveListener_);
        std::string host;
        uint16_t port = 0;
        if (ParsePort(argument, host, port)) {
            std::lock_guard lock(mutex_);
            dataHost_ = host;
            dataPort_ = port;
        }
    }
    if (verb == "RNFR" || verb == "RNTO" || verb == "DELE" || verb == "CWD" || verb == "MKD" ||
        verb == "RMD")
        Follow(verb, argument, rule);
    if ((verb == "LIST" || verb == "MLSD" || verb == "NLST" || verb == "STOR") && !rule.noData)
        Transfer(control, verb, argument, rule);
    else if (rule.rawDelayMs > 0) {
        if (!SendReply(control, rule.lines, "", rule.drip))
            closeSession = true;
        Sleep(rule.rawDelayMs);
        if (!closeSession && !SendReply(control, {}, rule.raw, rule.drip))
            closeSession = true;
    } else if (!SendReply(control, rule.lines, rule.raw, rule.drip))
        closeSession = true;
    if (rule.closeControl == TFtpRule::CloseAfterReply)
        closeSession = true;
}

void TFtpScriptServer::Follow(const std::string& verb, const std::string& argument,
                              const TFtpRule& rule) {
    const char kind = rule.lines.empty() || rule.lines.back().empty() ? '5' : rule.lines.back()[0];
    std::string dir;
    std::string from;
    {
        std::lock_guard lock(mutex_);
        if (verb == "RNFR") {
            renameFrom_ = kind == '3' ? argument : std::string();
            return;
        }
        if (verb == "DELE") {
            if (kind == '2') {
                stored_.erase(argument);
                madeFiles_.erase(argument);
            }
            return;
        }
        if (kind != '2')
            return;
        const std::string path = argument.starts_with('/') ? argument
                                 : cwd_ == "/"             ? "/" + argument
                                                           : cwd_ + "/" + argument;
        if (verb == "CWD")
            cwd_ = path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
        else if (verb == "MKD")
            made_.insert(path);
        else if (verb == "RMD")
            made_.erase(path);
        if (verb != "RNTO")
            return;
        from = std::exchange(renameFrom_, std::string());
        if (kind != '2' || from.empty() || stored_.count(from) == 0)
            return;
        stored_[argument] = stored_[from];
        stored_.erase(from);
        if (madeFiles_.erase(from) != 0)
            madeFiles_.insert(argument);
        dir = storeDir_;
    }
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::rename(std::filesystem::path(dir) / from,
                                std::filesystem::path(dir) / argument, ignored);
    }
}

int TFtpScriptServer::ConnectBack() {
    std::string host;
    uint16_t port = 0;
    {
        std::lock_guard lock(mutex_);
        host = dataHost_;
        port = dataPort_;
    }
    if (host.empty())
        return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    ++dataConnections_;
    return fd;
}

// A stranger on this machine (another loopback address) races the server to the
// client's data port. The client must drop it at once without a byte either way.
void TFtpScriptServer::TryIntruder() {
    intruderRefused_ = false;
    std::string host;
    uint16_t port = 0;
    {
        std::lock_guard lock(mutex_);
        host = dataHost_;
        port = dataPort_;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &self.sin_addr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        CloseFd(fd);
        return;
    }
    SendBytes(fd, "stolen\r\n", 8);
    // The client closes it when it handles the accept; give it a generous while.
    if (WaitFor(fd, POLLIN, 5000)) {
        char byte;
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        intruderRefused_ = n <= 0;
    }
    CloseFd(fd);
}

void TFtpScriptServer::ConnectEarly(const std::string& argument) {
    std::string host;
    uint16_t port = 0;
    if (!ParsePort(argument, host, port))
        return;
    {
        std::lock_guard lock(mutex_);
        dataHost_ = host;
        dataPort_ = port;
    }
    CloseFd(earlyData_);
    earlyData_ = ConnectBack();
}

void TFtpScriptServer::OfferPassive(int control, const std::string& verb, const TFtpRule& rule) {
    CloseFd(passiveListener_);
    passiveListener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(passiveListener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(passiveListener_, rule.silentPort ? 0 : 2) != 0 ||
        ::getsockname(passiveListener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseFd(passiveListener_);
        SendReply(control, {"425 Cannot listen"}, "", false);
        return;
    }
    const uint16_t port = ntohs(address.sin_port);
    if (rule.deadPort)
        CloseFd(passiveListener_);
    // A listener whose queue is full drops further connection requests without a word,
    // as a firewall does: fill it and never accept.
    for (int i = 0; rule.silentPort && i < 2; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        queueFillers_.push_back(filler);
    }
    if (rule.silentPort)
        Sleep(50);
    std::string reply;
    if (verb == "EPSV") {
        reply = "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
    } else {
        std::string host = rule.passiveHost;
        for (char& c : host)
            if (c == '.')
                c = ',';
        reply = "227 Entering Passive Mode (" + host + "," + std::to_string(port / 256) + "," +
                std::to_string(port % 256) + ")";
    }
    SendReply(control, {reply}, "", rule.drip);
}

int TFtpScriptServer::AcceptPassiveConnection() {
    int data = -1;
    if (WaitFor(passiveListener_, POLLIN, 5000))
        data = ::accept(passiveListener_, nullptr, nullptr);
    CloseFd(passiveListener_);
    if (data >= 0)
        ++dataConnections_;
    return data;
}

int TFtpScriptServer::TakeDataConnection() {
    int data = std::exchange(earlyData_, -1);
    if (data < 0 && passiveListener_ >= 0)
        data = AcceptPassiveConnection();
    else if (data < 0)
        data = ConnectBack();
    return data;
}

void TFtpScriptServer::Transfer(int control, const std::string& verb, const std::string& argument,
                                const TFtpRule& rule) {
    int data = -1;
    if (rule.preliminaryAfterDataMs >= 0) {
        data = TakeDataConnection();
        Sleep(rule.preliminaryAfterDataMs);
        // Looked at, not taken: what came is still read as the transfer's data below.
        char early[65536];
        const ssize_t n = data < 0 ? 0 : ::recv(data, early, sizeof early, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            earlyDataBytes_ += n;
    }
    SendReply(control, rule.preliminary, "", rule.drip);
    if (rule.intruder)
        TryIntruder();
    if (data < 0)
        data = TakeDataConnection();
    if (data < 0) {
        SendReply(control, {"425 Can't open data connection"}, "", false);
        return;
    }
    if (rule.finalBeforeDataEnds) {
        SendReply(control, rule.lines, rule.raw, rule.drip);
        Sleep(rule.dataPauseMs);
    }
    if (verb == "LIST" || verb == "MLSD" || verb == "NLST") {
        std::vector<std::string> pieces;
        if (rule.listing) {
            pieces = *rule.listing;
        } else {
            std::lock_guard lock(mutex_);
            pieces = {ListingHere()};
        }
        long long left = rule.cutDataAfter;
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0)
                Sleep(rule.pieceDelayMs);
            std::string piece = pieces[i];
            if (left >= 0 && static_cast<long long>(piece.size()) > left)
                piece.resize(static_cast<size_t>(left));
            if (!SendBytes(data, piece.data(), piece.size()))
                break;
            if (left >= 0 && (left -= static_cast<long long>(piece.size())) == 0)
                break;
        }
    } else {
        std::string received;
        char buffer[65536];
        while (rule.cutDataAfter < 0 ||
               static_cast<long long>(received.size()) < rule.cutDataAfter) {
            if (!WaitFor(data, POLLIN, -1))
                break;
            size_t want = sizeof buffer;
            if (rule.cutDataAfter >= 0)
                want = std::min(want, static_cast<size_t>(rule.cutDataAfter) - received.size());
            const ssize_t n = ::recv(data, buffer, want, 0);
            if (n <= 0)
                break;
            received.append(buffer, static_cast<size_t>(n));
        }
        std::string dir;
        {
            std::lock_guard lock(mutex_);
            stored_[argument] = received;
            madeFiles_.insert(argument);
            dir = storeDir_;
        }
        if (!dir.empty()) {
            std::ofstream out(std::filesystem::path(dir) / argument, std::ios::binary);
            out << received;
        }
    }
    if (rule.resetData) {
        linger hard{1, 0};
        ::setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    CloseFd(data);
    if (!rule.finalBeforeDataEnds) {
        Sleep(rule.dataPauseMs);
        SendReply(control, rule.lines, rule.raw, rule.drip);
    }
}

std::string TFtpScriptServer::ListingHere() const {
    const auto of = listingsOf_.find(cwd_);
    const std::string& set = of != listingsOf_.end() ? of->second : listing_;
    std::vector<std::pair<std::string, std::string>> made; // name, its line
    auto add = [&](const std::string& path, const std::string& mode, size_t size) {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
        const std::string name = path.substr(slash + 1);
        if (dir == cwd_ && !name.empty())
            made.emplace_back(name, mode + " 1 o g " + std::to_string(size) + " Jan  1  2020 " +
                                        name + "\r\n");
    };
    for (const std::string& dir : made_)
        if (dir.starts_with('/'))
            add(dir, "drwxr-xr-x", 0);
    for (const std::string& path : madeFiles_)
        if (const auto it = stored_.find(path); it != stored_.end() && path.starts_with('/'))
            add(path, "-rw-r--r--", it->second.size());
    if (made.empty())
        return set;
    // A line of the set text for a name made since gives way to the new one.
    std::string text;
    for (size_t start = 0; start < set.size();) {
        size_t end = set.find('\n', start);
        end = end == std::string::npos ? set.size() : end + 1;
        const std::string line = set.substr(start, end - start);
        std::string bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r'))
            bare.pop_back();
        const bool replaced = std::any_of(made.begin(), made.end(), [&](const auto& m) {
            return bare.ends_with(" " + m.first) && !bare.ends_with("-> " + m.first);
        });
        if (!replaced)
            text += line;
        start = end;
    }
    // A set text without a last line end must not run into the lines added after it.
    if (!text.empty() && text.back() != '\n')
        text += "\r\n";
    for (const auto& [name, line] : made)
        text += line;
    return text;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines)
        text += l + "\r\n";
    return text;
}

void ListingsInOrder(TFtpScriptServer& server, const std::vector<std::vector<std::string>>& in) {
    // The latest rule is asked first.
    for (auto it = in.rbegin(); it != in.rend(); ++it)
        server.On("LIST").Uses(1).Listing({Lines(*it)});
}

} // namespace pelmora::testing
