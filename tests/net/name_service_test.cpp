// The look-up entry points, called through the bound table as an endpoint calls them,
// so each failure is checked as the last error the caller reads afterwards.

#include "net/library_registry.h"
#include "net/socket_library.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace pelmora;

namespace {

constexpr int32_t Untouched = 4242;

class NameService : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterLibrary(SocketLibraryName, SocketLibraryExports());
        module_ = LoadLibrary(SocketLibraryName);
        ASSERT_TRUE(BindEntryPoints(module_));
        (EntryPoints().WSASetLastError)(Untouched);
    }
    void TearDown() override { FreeLibrary(module_); }

    static int32_t LastError() { return (EntryPoints().WSAGetLastError)(); }

    static std::vector<std::string> Addresses(const THostEnt& host) {
        std::vector<std::string> list;
        for (char** a = host.h_addr_list; *a != nullptr; ++a) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, *a, text, sizeof text);
            list.emplace_back(text);
        }
        return list;
    }

    HMODULE module_ = 0;
};

} // namespace

TEST_F(NameService, LocalhostResolvesToTheLoopbackAddressOnceAndLeavesTheLastError) {
    const THostEnt* host = (EntryPoints().gethostbyname)("localhost");
    ASSERT_NE(host, nullptr) << LastError();
    EXPECT_EQ(host->h_addrtype, WS_AF_INET);
    EXPECT_EQ(host->h_length, 4);
    EXPECT_EQ(host->h_aliases[0], nullptr);
    EXPECT_EQ(Addresses(*host), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(LastError(), Untouched);
}

TEST_F(NameService, NamesThatCannotResolveFailWithoutAskingTheNetwork) {
    const std::pair<const char*, int32_t> cases[] = {
        {nullptr, WSAEFAULT},
        {"", WSAHOST_NOT_FOUND},
        {"invalid", WSAHOST_NOT_FOUND},
        {"INVALID.", WSAHOST_NOT_FOUND},
        {"ftp.example.Invalid", WSAHOST_NOT_FOUND},
        {"www.example.invalid..", WSAHOST_NOT_FOUND},
    };
    for (const auto& [name, error] : cases) {
        (EntryPoints().WSASetLastError)(0);
        EXPECT_EQ((EntryPoints().gethostbyname)(name), nullptr) << (name ? name : "(null)");
        EXPECT_EQ(LastError(), error) << (name ? name : "(null)");
    }
}

TEST_F(NameService, TheLoopbackAddressResolvesBackToAName) {
    const char loopback[4] = {127, 0, 0, 1};
    const THostEnt* host = (EntryPoints().gethostbyaddr)(loopback, 4, WS_AF_INET);
    ASSERT_NE(host, nullptr) << LastError();
    EXPECT_NE(std::string(host->h_name), "");
    EXPECT_EQ(Addresses(*host), std::vector<std::string>{"127.0.0.1"});

    struct TCase {
        const char* address;
        int32_t length;
        int32_t type;
        int32_t error;
    };
    for (const TCase& c : {TCase{nullptr, 4, WS_AF_INET, WSAEFAULT},
                           TCase{loopback, 16, WS_AF_INET, WSAEAFNOSUPPORT},
                           TCase{loopback, 4, 23, WSAEAFNOSUPPORT}}) {
        (EntryPoints().WSASetLastError)(0);
        EXPECT_EQ((EntryPoints().gethostbyaddr)(c.address, c.length, c.type), nullptr);
        EXPECT_EQ(LastError(), c.error) << c.length << " " << c.type;
    }
}

TEST_F(NameService, ProtocolsComeFromTheLibrarysOwnTable) {
    const std::pair<const char*, int16_t> known[] = {
        {"tcp", 6}, {"UDP", 17}, {"Icmp", 1}, {"ip", 0}};
    for (const auto& [name, number] : known) {
        const TProtoEnt* byName = (EntryPoints().getprotobyname)(name);
        ASSERT_NE(byName, nullptr) << name;
        EXPECT_EQ(byName->p_proto, number);
        EXPECT_EQ(byName->p_aliases[0], nullptr);
        const TProtoEnt* byNumber = (EntryPoints().getprotobynumber)(number);
        ASSERT_NE(byNumber, nullptr) << number;
        EXPECT_TRUE(strcasecmp(byNumber->p_name, name) == 0) << byNumber->p_name;
    }
    EXPECT_EQ(LastError(), Untouched);

    EXPECT_EQ((EntryPoints().getprotobyname)("sctp"), nullptr);
    EXPECT_EQ(LastError(), WSANO_DATA);
    (EntryPoints().WSASetLastError)(0);
    EXPECT_EQ((EntryPoints().getprotobyname)(nullptr), nullptr);
    EXPECT_EQ(LastError(), WSANO_DATA);
    (EntryPoints().WSASetLastError)(0);
    EXPECT_EQ((EntryPoints().getprotobynumber)(132), nullptr);
    EXPECT_EQ(LastError(), WSANO_DATA);
}

// Services come from the host's database, which a machine may lack: the answers must
// agree with the host's, whatever it holds.
TEST_F(NameService, ServicesAgreeWithTheHostsDatabase) {
    const std::pair<const char*, const char*> byName[] = {
        {"ftp", "tcp"}, {"ftp", nullptr}, {"no-such-service", "tcp"}};
    for (const auto& [name, protocol] : byName) {
        const servent* host = ::getservbyname(name, protocol);
        const std::string hostName = host ? host->s_name : "";
        const int hostPort = host ? host->s_port : 0;
        (EntryPoints().WSASetLastError)(0);
        const TServEnt* ours = (EntryPoints().getservbyname)(name, protocol);
        ASSERT_EQ(ours != nullptr, host != nullptr) << name;
        if (ours == nullptr) {
            EXPECT_EQ(LastError(), WSANO_DATA) << name;
            continue;
        }
        EXPECT_EQ(ours->s_name, hostName);
        EXPECT_EQ(ours->s_port, static_cast<int16_t>(hostPort));
        EXPECT_EQ(LastError(), 0);
    }

    const servent* host = ::getservbyport(htons(21), "tcp");
    const std::string hostName = host ? host->s_name : "";
    const TServEnt* ours = (EntryPoints().getservbyport)(htons(21), "tcp");
    ASSERT_EQ(ours != nullptr, host != nullptr);
    if (ours != nullptr) {
        EXPECT_EQ(ours->s_name, hostName);
        EXPECT_STREQ(ours->s_proto, "tcp");
    }

    (EntryPoints().WSASetLastError)(0);
    EXPECT_EQ((EntryPoints().getservbyname)(nullptr, "tcp"), nullptr);
    EXPECT_EQ(LastError(), WSAEFAULT);
}

TEST_F(NameService, TheHostsOwnNameFitsExactlyOrFails) {
    char expected[256] = {};
    ASSERT_EQ(::gethostname(expected, sizeof expected - 1), 0);
    const int32_t size = static_cast<int32_t>(std::strlen(expected));

    std::vector<char> name(static_cast<size_t>(size) + 1, 'x');
    EXPECT_EQ((EntryPoints().gethostname)(name.data(), size + 1), 0);
    EXPECT_STREQ(name.data(), expected);
    EXPECT_EQ(LastError(), Untouched);

    for (const int32_t length : {size, 0}) {
        (EntryPoints().WSASetLastError)(0);
        EXPECT_EQ((EntryPoints().gethostname)(name.data(), length), SOCKET_ERROR) << length;
        EXPECT_EQ(LastError(), WSAEFAULT) << length;
    }
    (EntryPoints().WSASetLastError)(0);
    EXPECT_EQ((EntryPoints().gethostname)(nullptr, 64), SOCKET_ERROR);
    EXPECT_EQ(LastError(), WSAEFAULT);
}
