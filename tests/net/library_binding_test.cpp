#include "net_fixture.h"

#include "net/library_registry.h"
#include "net/sock_errors.h"

using namespace pelmora;
using namespace pelmora::test;

namespace {

int startupCalls = 0;
int cleanupCalls = 0;
TProc realStartup = nullptr;
TProc realCleanup = nullptr;

int32_t CountingStartup(uint16_t version, TWsaData* data) {
    ++startupCalls;
    return reinterpret_cast<int32_t (*)(uint16_t, TWsaData*)>(realStartup)(version, data);
}

int32_t CountingCleanup() {
    ++cleanupCalls;
    return reinterpret_cast<int32_t (*)()>(realCleanup)();
}

int32_t FailingStartup(uint16_t, TWsaData*) {
    return WSASYSNOTREADY;
}

// Puts a library of the test's own in place of the socket library for one test.
class LibraryBinding : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterSocketLibrary();
        startupCalls = 0;
        cleanupCalls = 0;
    }
    void TearDown() override { RegisterLibrary(SocketLibraryName, SocketLibraryExports()); }

    static void Install(TExports exports) {
        RegisterLibrary(SocketLibraryName, std::move(exports));
    }
};

} // namespace

TEST_F(LibraryBinding, ALibraryLackingOneEntryLeavesTheEndpointUnbound) {
    for (uint16_t missing : {1, 23, 57, 101, 116}) {
        TExports exports = SocketLibraryExports();
        exports.erase(missing);
        Install(exports);
        TStarSock client;
        EXPECT_FALSE(client.Socket->Bound) << missing;
        client.SetWinsockStarted(true);
        EXPECT_FALSE(client.WinsockStarted()) << missing;
        client.SetFtpServer("127.0.0.1");
        client.FtpPort = 21;
        try {
            client.Open();
            ADD_FAILURE() << "open succeeded without entry " << missing;
        } catch (const ESockError& e) {
            EXPECT_STREQ(e.what(), "WINSOCK not started");
        }
        EXPECT_EQ(client.Socket->Handle, INVALID_SOCKET);
    }
}

TEST_F(LibraryBinding, AMissingLibraryOrAFailedStartupAlsoLeavesItNotStarted) {
    UnregisterLibrary(SocketLibraryName);
    {
        TServSock server;
        server.SetWinsockStarted(true);
        server.HostAddress = "127.0.0.1";
        EXPECT_FALSE(server.Listener->Bound);
        EXPECT_THROW(server.Listen(), ESockError);
    }
    TExports exports = SocketLibraryExports();
    exports[115] = reinterpret_cast<TProc>(&FailingStartup);
    Install(exports);
    TStarSock client;
    EXPECT_TRUE(client.Socket->Bound);
    client.SetWinsockStarted(true);
    EXPECT_FALSE(client.WinsockStarted());
}

TEST_F(LibraryBinding, StartupAndCleanupRunOncePerEndpoint) {
    TExports exports = SocketLibraryExports();
    realStartup = exports.at(115);
    realCleanup = exports.at(116);
    exports[115] = reinterpret_cast<TProc>(&CountingStartup);
    exports[116] = reinterpret_cast<TProc>(&CountingCleanup);
    Install(exports);
    {
        TStarSock client;
        client.SetWinsockStarted(false);
        EXPECT_EQ(cleanupCalls, 0) << "cleaned up an endpoint that never started";
        client.SetWinsockStarted(true);
        client.SetWinsockStarted(true);
        EXPECT_TRUE(client.WinsockStarted());
        EXPECT_EQ(startupCalls, 1);
        client.SetWinsockStarted(false);
        EXPECT_FALSE(client.WinsockStarted());
        EXPECT_EQ(cleanupCalls, 1);
        client.SetWinsockStarted(true);
        EXPECT_EQ(startupCalls, 2);
    }
    EXPECT_EQ(cleanupCalls, 2) << "destruction cleans up a started endpoint";
}

TEST_F(LibraryBinding, EveryEndpointHoldsItsOwnLoadAndReleasesIt) {
    const int before = LoadedModuleCount();
    {
        TStarSock client;
        EXPECT_EQ(LoadedModuleCount(), before + 1);
        TServSock server;
        EXPECT_EQ(LoadedModuleCount(), before + 1 + 65);
    }
    EXPECT_EQ(LoadedModuleCount(), before);
}

TEST_F(LibraryBinding, AnEndpointMadeAfterAnotherWasDestroyedBindsAgainAndWorks) {
    { TStarSock first; }
    TServSock server;
    server.SetWinsockStarted(true);
    server.HostAddress = "127.0.0.1";
    server.Listen();
    EXPECT_GT(server.GetLocalPort(), 0);
}

TEST(LibraryRegistry, LooksEntriesUpByOrdinalInTheLoadedModule) {
    RegisterLibrary("test.dll", TExports{{7, reinterpret_cast<TProc>(&FailingStartup)}});
    const HMODULE module = LoadLibrary("TEST.DLL");
    ASSERT_GE(module, 32u);
    EXPECT_EQ(GetProcAddress(module, 7), reinterpret_cast<TProc>(&FailingStartup));
    EXPECT_EQ(GetProcAddress(module, 8), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetProcAddress(module, 7), nullptr);
    UnregisterLibrary("test.dll");
    EXPECT_LT(LoadLibrary("test.dll"), 32u);
}
