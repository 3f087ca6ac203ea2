#include "net_fixture.h"

#include "net/sock_errors.h"

#include <memory>

using namespace pelmora;
using namespace pelmora::test;

namespace {

std::string ListenFailure(TServSock& server) {
    try {
        server.Listen();
    } catch (const ESockError& e) {
        return e.what();
    }
    return "(nothing raised)";
}

} // namespace

TEST(ServSockListen, OnPortZeroReportsTheAddressAndTheChosenPort) {
    TServSock server;
    server.SetWinsockStarted(true);
    server.HostAddress = "127.0.0.1";
    server.Listen();
    std::string address;
    server.GetLocalAddress(address);
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_GT(server.GetLocalPort(), 0);
    server.Close();
    EXPECT_EQ(server.Listener->Handle, INVALID_SOCKET);
    EXPECT_EQ(server.GetLocalPort(), 0);
    server.GetLocalAddress(address);
    EXPECT_EQ(address, "");
}

TEST(ServSockListen, FailuresRaiseTheirMessages) {
    TServSock server;
    server.HostAddress = "127.0.0.1";
    EXPECT_EQ(ListenFailure(server), "WINSOCK not started");
    EXPECT_EQ(server.Listener->Handle, INVALID_SOCKET);

    server.SetWinsockStarted(true);
    // Not this machine's address: binding fails locally, nothing is sent.
    server.HostAddress = "192.0.2.1";
    EXPECT_EQ(ListenFailure(server), "Bind failed, WSAEADDRNOTAVAIL");
    EXPECT_EQ(server.Listener->Handle, INVALID_SOCKET) << "the new socket is closed first";

    TRawSocket taken;
    server.HostAddress = "127.0.0.1";
    server.Port = taken.Listen();
    EXPECT_EQ(ListenFailure(server), "Bind failed, WSAEADDRINUSE");

    const int before = OpenSocketCount();
    server.HostAddress = "";
    EXPECT_EQ(ListenFailure(server), "No address specified");
    EXPECT_NE(server.Listener->Handle, INVALID_SOCKET) << "the socket stays until Close";
    server.Close();
    EXPECT_EQ(OpenSocketCount(), before);
}

using ServSockSlots = TLoopbackTest;

TEST_F(ServSockSlots, AFreedSlotIsUsedAgainFirst) {
    EXPECT_EQ(Connect(), 1);
    TStarSock second;
    second.SetWinsockStarted(true);
    second.SetFtpServer("127.0.0.1");
    second.FtpPort = port;
    second.Open();
    ASSERT_TRUE(WaitFor([&] { return accepted.size() == 2; }));
    EXPECT_EQ(accepted.back(), 2);
    EXPECT_TRUE(server.Slot(2).Started) << "an accepted slot is marked started";

    server.CloseClient(1);
    EXPECT_EQ(server.FindFreeSlot(), 1);
    client.Close();
    client.Open();
    ASSERT_TRUE(WaitFor([&] { return accepted.size() == 3; }));
    EXPECT_EQ(accepted.back(), 1);
    EXPECT_EQ(server.FindSlot(server.Slot(2).Handle), 2);
}

TEST_F(ServSockSlots, ReadsAndClosesCarryTheSlotNumber) {
    const int32_t slot = Connect();
    client.SendText("150 data\r\n");
    ASSERT_TRUE(WaitFor([&] { return !slotReads.empty(); }));
    EXPECT_EQ(slotReads.front(), slot);
    std::string text;
    server.ReceiveText(slot, text);
    EXPECT_EQ(text, "150 data\r\n");

    // Data first, then the close: the close comes once everything was read.
    std::string received;
    server.OnSockRead = [&](TObject*, int32_t reading) {
        std::string chunk;
        server.ReceiveText(reading, chunk);
        received += chunk;
    };
    std::string inClose = "unchanged";
    server.OnSockClose = [&](TObject* sender, int32_t closing) {
        EXPECT_EQ(sender, &server);
        EXPECT_EQ(closing, slot);
        EXPECT_TRUE(server.Slot(closing).Connected) << "the slot is freed only afterwards";
        server.ReceiveText(closing, inClose);
        slotCloses.push_back(closing);
    };
    const std::string last(6000, 'w');
    client.SendText(last);
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return !slotCloses.empty(); }));
    EXPECT_EQ(received, last);
    EXPECT_EQ(inClose, "");
    EXPECT_EQ(server.Slot(slot).Handle, INVALID_SOCKET);
    EXPECT_FALSE(server.Slot(slot).Connected);
}

TEST_F(ServSockSlots, AHandlerThatClosesTheSlotItselfLeavesNothingToClose) {
    const int32_t slot = Connect();
    const int before = OpenSocketCount();
    server.OnSockClose = [&](TObject*, int32_t closing) {
        server.CloseClient(closing);
        slotCloses.push_back(closing);
    };
    client.Close();
    ASSERT_TRUE(WaitFor([&] { return !slotCloses.empty(); }));
    EXPECT_EQ(server.Slot(slot).Handle, INVALID_SOCKET);
    EXPECT_EQ(OpenSocketCount(), before - 2);
}

TEST_F(ServSockSlots, SlotNumbersOutsideTheTableDoNothing) {
    const int32_t slot = Connect();
    std::string text = "kept";
    for (int32_t outside : {0, 65, 1000}) {
        EXPECT_EQ(server.Send(outside, "x", 1), 0);
        char buffer[4];
        EXPECT_EQ(server.Receive(outside, buffer, 4), 0);
        server.ReceiveText(outside, text);
        EXPECT_EQ(text, "kept");
        server.CloseClient(outside);
    }
    EXPECT_THROW(server.Send(-1, "x", 1), std::out_of_range);
    EXPECT_THROW(server.CloseClient(-1), std::out_of_range);
    EXPECT_TRUE(server.Slot(slot).Connected);
    EXPECT_FALSE(WaitFor([&] { return client.Socket->Handle == INVALID_SOCKET; }, 50));
}

TEST_F(ServSockSlots, NotificationsForHandlesInNoSlotFireNothing) {
    Connect();
    int writes = 0;
    server.OnSockWrite = [&](TObject*, int32_t) { ++writes; };
    WaitFor([&] { return writes > 0; }, 200);
    writes = 0;
    const size_t acceptedBefore = accepted.size();
    const TSocket stranger = 987654;
    for (int32_t event : {FD_READ, FD_WRITE, FD_CLOSE, FD_ACCEPT, FD_CONNECT})
        SendMessage(server.WindowHandle(), WM_SOCKET_NOTIFY, stranger, event);
    // The listening socket's own read, write and close notices fire nothing either.
    for (int32_t event : {FD_READ, FD_WRITE, FD_CLOSE})
        SendMessage(server.WindowHandle(), WM_SOCKET_NOTIFY, server.Listener->Handle, event);
    EXPECT_TRUE(slotReads.empty());
    EXPECT_TRUE(slotCloses.empty());
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(accepted.size(), acceptedBefore);
    EXPECT_TRUE(server.Slot(1).Connected);
}

TEST_F(ServSockSlots, WithEverySlotInUseAnotherConnectionIsClosedAtOnce) {
    std::vector<std::unique_ptr<TRawSocket>> peers;
    for (int i = 0; i < SlotCount; ++i) {
        peers.push_back(std::make_unique<TRawSocket>());
        ASSERT_TRUE(peers.back()->Connect(port));
        ASSERT_TRUE(WaitFor([&] { return accepted.size() == peers.size(); })) << i;
    }
    EXPECT_EQ(accepted.back(), 64);
    EXPECT_EQ(server.FindFreeSlot(), 0);

    TRawSocket extra;
    ASSERT_TRUE(extra.Connect(port));
    ProcessMessages();
    // The refused peer sees the connection end; nothing else changes.
    char byte;
    timeval limit{5, 0};
    ::setsockopt(extra.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i) {
        WaitFor([] { return false; }, 20);
        ended = ::recv(extra.Fd(), &byte, 1, MSG_DONTWAIT) == 0;
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(accepted.size(), 64u);
    for (int32_t slot = 1; slot <= SlotCount; ++slot)
        EXPECT_TRUE(server.Slot(slot).Connected) << slot;

    // Once a slot is free again the next connection lands in it.
    server.CloseClient(17);
    TRawSocket late;
    ASSERT_TRUE(late.Connect(port));
    ASSERT_TRUE(WaitFor([&] { return accepted.size() == 65; }));
    EXPECT_EQ(accepted.back(), 17);
}

TEST_F(ServSockSlots, AnAcceptNoticeLeftFromAClosedListenerIsDropped) {
    TRawSocket peer;
    ASSERT_TRUE(peer.Connect(port));
    const TSocket old = server.Listener->Handle;
    server.Close();
    SendMessage(server.WindowHandle(), WM_SOCKET_NOTIFY, old, FD_ACCEPT);
    for (int i = 0; i < 3; ++i)
        ProcessMessages();
    EXPECT_TRUE(accepted.empty());
    EXPECT_EQ(server.FindFreeSlot(), 1);
}

TEST_F(ServSockSlots, PrivateMessagesReachOnSockMessage) {
    std::vector<uint32_t> seen;
    server.OnSockMessage = [&](TMessage& m, TObject* sender) {
        EXPECT_EQ(sender, &server);
        seen.push_back(m.Msg);
    };
    for (uint32_t msg : {17u, 1026u, 1044u, 1045u})
        PostMessage(server.WindowHandle(), msg, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen, (std::vector<uint32_t>{1026, 1044}));
    EXPECT_EQ(SendMessage(server.WindowHandle(), WM_QUERYENDSESSION, 0, 0), 0);
}
