#include "net/name_service.h"

#include "net/sock_errors.h"

#include <QByteArray>

#include <array>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace pelmora {

namespace {

// Storage behind the pointers a host look-up returns, kept per thread until the next one.
struct THostStorage {
    std::string name;
    std::vector<std::string> aliases;
    std::vector<char*> aliasPointers;
    std::vector<std::array<char, 4>> addresses;
    std::vector<char*> addressPointers;
    THostEnt entry{};

    THostEnt* Fill(const std::string& hostName, const std::vector<uint32_t>& list) {
        name = hostName;
        aliases.clear();
        aliasPointers.assign(1, nullptr);
        addresses.clear();
        for (uint32_t a : list) {
            std::array<char, 4> bytes;
            std::memcpy(bytes.data(), &a, 4);
            addresses.push_back(bytes);
        }
        addressPointers.clear();
        for (auto& a : addresses)
            addressPointers.push_back(a.data());
        addressPointers.push_back(nullptr);
        entry = THostEnt{name.data(), aliasPointers.data(), static_cast<int16_t>(WS_AF_INET), 4,
                         addressPointers.data()};
        return &entry;
    }
};

int32_t ErrorFromLookup(int code) {
    switch (code) {
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_MEMORY:
        return WSAENOBUFS;
    default:
        return WSANO_RECOVERY;
    }
}

// The reserved top-level domain never resolves; answering here keeps such look-ups
// off the network.
bool IsReservedInvalid(const std::string& name) {
    const QByteArray lower = QByteArray::fromStdString(name).toLower();
    QByteArray trimmed = lower;
    while (trimmed.endsWith('.'))
        trimmed.chop(1);
    return trimmed == "invalid" || trimmed.endsWith(".invalid");
}

// The resolver's IPv4 answers, each address once; `canonical` becomes the canonical
// name when the first answer carries one.
std::vector<uint32_t> DistinctAddresses(const addrinfo* result, std::string& canonical) {
    std::vector<uint32_t> list;
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
        if (a == result && a->ai_canonname != nullptr)
            canonical = a->ai_canonname;
        const uint32_t address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (uint32_t b : list)
            seen = seen || b == address;
        if (!seen)
            list.push_back(address);
    }
    return list;
}

// The few protocols anyone asks a stream library about; the host's protocol file
// is not always there.
struct TProtocol {
    const char* name;
    int16_t number;
};
constexpr TProtocol protocols[] = {{"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17}};

TProtoEnt* ProtocolEntry(const TProtocol& p) {
    thread_local std::string name;
    thread_local char* noAliases[1] = {nullptr};
    thread_local TProtoEnt entry{};
    name = p.name;
    entry = TProtoEnt{name.data(), noAliases, p.number};
    return &entry;
}

TServEnt* ServiceEntry(const servent* found, int32_t& error) {
    thread_local std::string name;
    thread_local std::string proto;
    thread_local std::vector<std::string> aliases;
    thread_local std::vector<char*> aliasPointers;
    thread_local TServEnt entry{};
    if (found == nullptr) {
        error = WSANO_DATA;
        return nullptr;
    }
    name = found->s_name;
    proto = found->s_proto;
    aliases.clear();
    for (char** a = found->s_aliases; a != nullptr && *a != nullptr; ++a)
        aliases.emplace_back(*a);
    aliasPointers.clear();
    for (auto& a : aliases)
        aliasPointers.push_back(a.data());
    aliasPointers.push_back(nullptr);
    entry = TServEnt{name.data(), aliasPointers.data(), static_cast<int16_t>(found->s_port),
                     proto.data()};
    return &entry;
}

} // namespace

THostEnt* HostByName(const char* name, int32_t& error) {
    thread_local THostStorage storage;
    if (name == nullptr) {
        error = WSAEFAULT;
        return nullptr;
    }
    const std::string hostName = name;
    if (hostName.empty() || IsReservedInvalid(hostName)) {
        error = WSAHOST_NOT_FOUND;
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    const int code = ::getaddrinfo(hostName.c_str(), nullptr, &hints, &result);
    if (code != 0) {
        error = code == EAI_SYSTEM ? WinsockErrorFromErrno(errno) : ErrorFromLookup(code);
        return nullptr;
    }
    std::string canonical = hostName;
    const std::vector<uint32_t> list = DistinctAddresses(result, canonical);
    ::freeaddrinfo(result);
    if (list.empty()) {
        error = WSANO_DATA;
        return nullptr;
    }
    return storage.Fill(canonical, list);
}

THostEnt* HostByAddress(const char* address, int32_t length, int32_t type, int32_t& error) {
    thread_local THostStorage storage;
    if (address == nullptr || length != 4 || type != WS_AF_INET) {
        error = address == nullptr ? WSAEFAULT : WSAEAFNOSUPPORT;
        return nullptr;
    }
    sockaddr_in host{};
    host.sin_family = AF_INET;
    std::memcpy(&host.sin_addr.s_addr, address, 4);
    std::vector<char> name(NI_MAXHOST);
    const int code = ::getnameinfo(reinterpret_cast<sockaddr*>(&host), sizeof host, name.data(),
                                   static_cast<socklen_t>(name.size()), nullptr, 0, NI_NAMEREQD);
    if (code != 0) {
        error = ErrorFromLookup(code);
        return nullptr;
    }
    return storage.Fill(name.data(), {host.sin_addr.s_addr});
}

TProtoEnt* ProtocolByName(const char* name, int32_t& error) {
    if (name != nullptr)
        for (const TProtocol& p : protocols)
            if (QByteArray(name).toLower() == p.name)
                return ProtocolEntry(p);
    error = WSANO_DATA;
    return nullptr;
}

TProtoEnt* ProtocolByNumber(int32_t number, int32_t& error) {
    for (const TProtocol& p : protocols)
        if (p.number == number)
            return ProtocolEntry(p);
    error = WSANO_DATA;
    return nullptr;
}

TServEnt* ServiceByName(const char* name, const char* protocol, int32_t& error) {
    if (name == nullptr) {
        error = WSAEFAULT;
        return nullptr;
    }
    servent result{};
    servent* found = nullptr;
    std::vector<char> buffer(4096);
    ::getservbyname_r(name, protocol, &result, buffer.data(), buffer.size(), &found);
    return ServiceEntry(found, error);
}

TServEnt* ServiceByPort(int32_t port, const char* protocol, int32_t& error) {
    servent result{};
    servent* found = nullptr;
    std::vector<char> buffer(4096);
    ::getservbyport_r(port, protocol, &result, buffer.data(), buffer.size(), &found);
    return ServiceEntry(found, error);
}

bool OwnHostName(char* name, int32_t length, int32_t& error) {
    if (name == nullptr || length < 1) {
        error = WSAEFAULT;
        return false;
    }
    std::vector<char> host(256, '\0');
    if (::gethostname(host.data(), host.size() - 1) != 0) {
        error = WinsockErrorFromErrno(errno);
        return false;
    }
    const size_t size = std::strlen(host.data());
    if (size + 1 > static_cast<size_t>(length)) {
        error = WSAEFAULT;
        return false;
    }
    std::memcpy(name, host.data(), size + 1);
    return true;
}

} // namespace pelmora
