#include "net_fixture.h"

#include "net/sock_errors.h"

using namespace pelmora;
using namespace pelmora::test;

namespace {

template <class E>
std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    }
    return "(nothing raised)";
}

} // namespace

TEST(StarSockServer, SettingFtpServerPicksNameOrAddressByTheFirstCharacter) {
    struct TCase {
        std::vector<std::string> writes;
        std::string hostName;
        std::string hostAddress;
    };
    const TCase cases[] = {
        {{}, "", "0.0.0.0"},
        {{"ftp.example.invalid"}, "ftp.example.invalid", "0.0.0.0"},
        {{"ftp.example.invalid", "10.1.2.3"}, "", "10.1.2.3"},
        {{"10.1.2.3", ""}, "", "10.1.2.3"},
        {{"ftp.example.invalid", ""}, "ftp.example.invalid", "0.0.0.0"},
        {{"3com.invalid"}, "", "3com.invalid"},
    };
    for (const TCase& c : cases) {
        TStarSock sock;
        for (const std::string& value : c.writes)
            sock.SetFtpServer(value);
        EXPECT_EQ(sock.HostName, c.hostName);
        EXPECT_EQ(sock.HostAddress, c.hostAddress);
        EXPECT_EQ(sock.FtpServer(), c.writes.empty() ? "" : c.writes.back());
    }
}

TEST(StarSockOpen, FailuresBeforeConnectingRaiseTheirMessages) {
    const std::string longName = std::string(200, 'x') + ".invalid";
    TStarSock notStarted;
    notStarted.SetFtpServer("127.0.0.1");
    EXPECT_EQ(MessageOf<ESockError>([&] { notStarted.Open(); }), "WINSOCK not started");
    EXPECT_EQ(notStarted.Socket->Handle, INVALID_SOCKET);

    TStarSock client;
    client.SetWinsockStarted(true);
    client.HostAddress = "";
    EXPECT_EQ(MessageOf<ESockError>([&] { client.Open(); }), "No address specified");
    client.SetFtpServer("no-such-host.invalid");
    EXPECT_EQ(MessageOf<EARPError>([&] { client.Open(); }), "Can't find host no-such-host.invalid");
    // Longer than any fixed name buffer: looked up and reported whole.
    client.SetFtpServer(longName);
    EXPECT_EQ(MessageOf<EARPError>([&] { client.Open(); }), "Can't find host " + longName);
}

TEST(StarSockOpen, OpenByNameStoresTheResolvedAddress) {
    TRawSocket listener;
    const uint16_t port = listener.Listen();
    TStarSock client;
    client.SetWinsockStarted(true);
    client.SetFtpServer("localhost");
    client.FtpPort = port;
    bool connected = false;
    client.OnSockConnect = [&](TObject* sender) {
        EXPECT_EQ(sender, &client);
        connected = true;
    };
    client.Open();
    EXPECT_EQ(client.HostAddress, "127.0.0.1");
    EXPECT_TRUE(WaitFor([&] { return connected; }));
    std::string local;
    client.GetLocalAddress(local);
    EXPECT_EQ(local, "127.0.0.1");
}

TEST(StarSockOpen, ALongAddressTextIsTakenWholeAndGivesTheAllOnesAddress) {
    TStarSock client;
    std::string address = "127.0.0.1" + std::string(100, '9');
    client.Socket->ResolveAddress("", address, 21);
    EXPECT_EQ(client.Socket->Address.sin_addr, WS_INADDR_NONE);
    EXPECT_EQ(client.Socket->Address.sin_port, htons(21));
}

TEST(StarSockOpen, ARefusedConnectionFailsAtOnceOrThroughTheConnectNotification) {
    TStarSock client;
    client.SetWinsockStarted(true);
    client.SetFtpServer("127.0.0.1");
    client.FtpPort = ClosedPort();
    bool connected = false;
    client.OnSockConnect = [&](TObject*) { connected = true; };
    try {
        client.Open();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Open failed: 10061");
        EXPECT_EQ(client.Socket->Handle, INVALID_SOCKET);
        return;
    }
    ASSERT_TRUE(WaitFor([&] { return connected; }));
    EXPECT_TRUE(client.Socket->Connected) << "a failed connect is still marked connected";
    EXPECT_EQ(MessageOf<ESockError>([&] { client.SendText("USER x\r\n"); }), "Send error");
    EXPECT_EQ(client.Socket->Handle, INVALID_SOCKET) << "a real send failure closes the socket";
}

TEST(StarSockOpen, OpenAgainClosesTheSocketItStillHolds) {
    TStarSock client;
    client.SetWinsockStarted(true);
    const int before = OpenSocketCount();
    for (int i = 0; i < 20; ++i) {
        client.HostAddress = "";
        EXPECT_THROW(client.Open(), ESockError);
        EXPECT_NE(client.Socket->Handle, INVALID_SOCKET) << "the socket stays after the failure";
    }
    EXPECT_EQ(OpenSocketCount(), before + 1);
    // Still opening: the listener's queue is never served, yet a new Open is allowed.
    TRawSocket listener;
    client.SetFtpServer("127.0.0.1");
    client.FtpPort = listener.Listen();
    client.Open();
    const TSocket first = client.Socket->Handle;
    client.Open();
    EXPECT_NE(client.Socket->Handle, first);
    EXPECT_EQ(OpenSocketCount(), before + 1);
    client.Close();
    EXPECT_EQ(OpenSocketCount(), before);
}

TEST(StarSockWndProc, RoutesMessagesByNumber) {
    TStarSock sock;
    std::vector<uint32_t> seen;
    sock.OnSockMessage = [&](TMessage& m, TObject* sender) {
        EXPECT_EQ(sender, &sock);
        seen.push_back(m.Msg);
        EXPECT_EQ(m.WParam, 7u);
        EXPECT_EQ(m.LParam, 9);
    };
    EXPECT_EQ(SendMessage(sock.WindowHandle(), WM_QUERYENDSESSION, 0, 0), 1);
    for (uint32_t msg : {1025u, 1026u, 1035u, 1044u, 1045u, 1024u})
        SendMessage(sock.WindowHandle(), msg, 7, 9);
    EXPECT_EQ(seen, (std::vector<uint32_t>{1026, 1035, 1044}));
    sock.OnSockMessage = nullptr;
    EXPECT_EQ(SendMessage(sock.WindowHandle(), 1030, 0, 0), 0) << "unassigned event is skipped";
}

TEST(StarSockWndProc, AConnectNotificationWithAnErrorStillMarksConnected) {
    TStarSock sock;
    sock.SetWinsockStarted(true);
    TRawSocket listener;
    sock.SetFtpServer("127.0.0.1");
    sock.FtpPort = listener.Listen();
    sock.Open();
    int connects = 0;
    sock.OnSockConnect = [&](TObject*) { ++connects; };
    SendMessage(sock.WindowHandle(), WM_SOCKET_NOTIFY, sock.Socket->Handle,
                WSAMakeSelectReply(FD_CONNECT, WSAECONNREFUSED));
    EXPECT_TRUE(sock.Socket->Connected);
    EXPECT_EQ(connects, 1);
    // A notification about any other socket is stale and dropped.
    SendMessage(sock.WindowHandle(), WM_SOCKET_NOTIFY, sock.Socket->Handle + 1000,
                WSAMakeSelectReply(FD_CONNECT, 0));
    EXPECT_EQ(connects, 1);
}

using StarSockTransfer = TLoopbackTest;

TEST_F(StarSockTransfer, SendsAndReceivesInChunksOfAtMost2048) {
    const int32_t slot = Connect();
    ASSERT_EQ(slot, 1);
    EXPECT_EQ(client.SendText("USER anonymous\r\n"), 16);
    EXPECT_EQ(client.LastSent(), 16);
    ASSERT_TRUE(WaitFor([&] { return !slotReads.empty(); }));
    std::string text;
    server.ReceiveText(slot, text);
    EXPECT_EQ(text, "USER anonymous\r\n");

    std::string big(3000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    int reads = 0;
    client.OnSockRead = [&](TObject*) { ++reads; };
    ASSERT_EQ(server.Send(slot, big.data(), 3000), 3000);
    ASSERT_TRUE(WaitFor([&] { return reads > 0; }));
    std::string first, second, third = "unchanged";
    client.ReceiveText(first);
    client.ReceiveText(second);
    client.ReceiveText(third);
    EXPECT_EQ(first.size(), 2048u);
    EXPECT_EQ(second.size(), 952u);
    EXPECT_EQ(first + second, big);
    EXPECT_EQ(third, "") << "nothing waiting yields the empty text";
}

TEST_F(StarSockTransfer, AZeroByteEndsTheChunkText) {
    const int32_t slot = Connect();
    int reads = 0;
    client.OnSockRead = [&](TObject*) { ++reads; };
    const char data[] = {'2', '2', '6', '\0', 'x', 'y'};
    ASSERT_EQ(server.Send(slot, data, 6), 6);
    ASSERT_TRUE(WaitFor([&] { return reads > 0; }));
    std::string text;
    client.ReceiveText(text);
    EXPECT_EQ(text, "226");
}

TEST_F(StarSockTransfer, ReadIsReportedOnceUntilTheNextReceive) {
    const int32_t slot = Connect();
    int reads = 0;
    client.OnSockRead = [&](TObject*) { ++reads; };
    server.Send(slot, "a", 1);
    ASSERT_TRUE(WaitFor([&] { return reads == 1; }));
    server.Send(slot, "b", 1);
    EXPECT_FALSE(WaitFor([&] { return reads > 1; }, 200));
    std::string text;
    client.ReceiveText(text);
    EXPECT_EQ(text, "ab");
    server.Send(slot, "c", 1);
    EXPECT_TRUE(WaitFor([&] { return reads == 2; }));
}

TEST_F(StarSockTransfer, CloseIsReportedOnceAfterTheLastData) {
    const int32_t slot = Connect();
    std::string received;
    std::vector<std::string> events;
    client.OnSockRead = [&](TObject*) {
        std::string text;
        client.ReceiveText(text);
        received += text;
        events.push_back("read");
    };
    client.OnSockClose = [&](TObject*) {
        events.push_back("close");
        EXPECT_EQ(received.size(), 5000u) << "close came before the data";
    };
    const std::string data(5000, 'z');
    ASSERT_EQ(server.Send(slot, data.data(), 5000), 5000);
    server.CloseClient(slot);
    ASSERT_TRUE(WaitFor([&] { return !events.empty() && events.back() == "close"; }));
    EXPECT_FALSE(WaitFor([&] { return events.size() > 4; }, 100));
    EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 1);
    EXPECT_EQ(received, data);
    EXPECT_FALSE(client.Socket->Connected);
    EXPECT_EQ(client.Socket->Handle, INVALID_SOCKET);
    EXPECT_EQ(MessageOf<ESockError>([&] { client.SendText("QUIT\r\n"); }), "Send error");
    std::string text;
    EXPECT_EQ(MessageOf<ESockError>([&] { client.ReceiveText(text); }), "Recv error");
}

TEST_F(StarSockTransfer, OpenOnAConnectedEndpointIsRefused) {
    Connect();
    EXPECT_EQ(MessageOf<ESockError>([&] { client.Open(); }), "Can't open an open socket");
    EXPECT_TRUE(client.Socket->Connected);
}

TEST_F(StarSockTransfer, NotificationsForAClosedSocketOrADestroyedComponentAreDropped) {
    const int32_t slot = Connect();
    int reads = 0;
    client.OnSockRead = [&](TObject*) { ++reads; };
    server.Send(slot, "x", 1);
    // Let the library post the read notification, then close before it is delivered.
    ASSERT_TRUE(WaitFor([&] { return reads == 1; }));
    std::string text;
    client.ReceiveText(text);
    server.Send(slot, "y", 1);
    ProcessMessages();
    client.Close();
    client.Open();
    ProcessMessages();
    ProcessMessages();
    EXPECT_EQ(reads, 1 + 0) << "a notice about the closed socket reached the new one";

    auto other = std::make_unique<TStarSock>();
    other->SetWinsockStarted(true);
    other->SetFtpServer("127.0.0.1");
    other->FtpPort = port;
    bool called = false;
    other->OnSockConnect = [&](TObject*) { called = true; };
    other->Open();
    const HWND window = other->WindowHandle();
    PostMessage(window, WM_SOCKET_NOTIFY, other->Socket->Handle, FD_CONNECT);
    other.reset();
    for (int i = 0; i < 5; ++i)
        ProcessMessages();
    EXPECT_FALSE(called);
}

TEST_F(StarSockTransfer, APeerSlowToTakeDataGetsPartialSendsAndAWriteNotification) {
    TRawSocket listener;
    listener.SetReceiveBuffer(4096);
    client.FtpPort = listener.Listen();
    int writes = 0;
    client.OnSockWrite = [&](TObject*) { ++writes; };
    client.SetFtpServer("127.0.0.1");
    client.Open();
    TRawSocket peer(listener.Accept());
    ASSERT_TRUE(WaitFor([&] { return connects == 1 && writes == 1; }))
        << "a completed connect reports connect, then write";

    const int32_t small = 8192;
    EntryPoints().setsockopt(client.Socket->Handle, WS_SOL_SOCKET, WS_SO_SNDBUF,
                             reinterpret_cast<const char*>(&small), 4);
    std::string data(8 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 % 251);
    size_t offered = 0;
    bool partial = false;
    int32_t sent = 1;
    for (int i = 0; i < 10000 && sent > 0 && offered < data.size(); ++i) {
        const auto count = static_cast<int32_t>(std::min<size_t>(65536, data.size() - offered));
        sent = client.Socket->Send(data.data() + offered, count);
        partial = partial || sent < count;
        offered += static_cast<size_t>(sent);
    }
    ASSERT_EQ(sent, 0) << "the send buffer never filled";
    EXPECT_TRUE(partial);
    EXPECT_LT(offered, data.size());
    EXPECT_FALSE(WaitFor([&] { return writes > 1; }, 100)) << "write reported while still full";
    // The peer takes what was accepted; room appears and the write notification comes.
    EXPECT_EQ(peer.ReceiveUpTo(offered), data.substr(0, offered));
    EXPECT_TRUE(WaitFor([&] { return writes == 2; }));
}
