#include "net_fixture.h"

#include "net/sock_errors.h"

using namespace pelmora;
using namespace pelmora::test;

// Every way an open can end, ten thousand times: connected and closed, still opening
// and opened again, left after a failed resolution, refused. Not one descriptor may stay.
TEST(DescriptorLeak, TenThousandOpenCloseCyclesLeaveNoDescriptorOpen) {
    int before = 0;
    {
        TServSock server;
        server.SetWinsockStarted(true);
        server.HostAddress = "127.0.0.1";
        server.Listen();
        int accepts = 0;
        server.OnSockAccept = [&](TObject*, int32_t slot) {
            ++accepts;
            server.CloseClient(slot);
        };
        const uint16_t refused = ClosedPort();
        TStarSock client;
        client.SetWinsockStarted(true);
        // Whatever the library keeps for the whole run exists by now.
        client.SetFtpServer("127.0.0.1");
        client.FtpPort = server.GetLocalPort();
        client.Open();
        WaitFor([&] { return accepts == 1; });
        client.Close();
        before = OpenDescriptorCount();
        for (int i = 0; i < 10000; ++i) {
            switch (i % 4) {
            case 0:
                client.HostName.clear();
                client.HostAddress = "127.0.0.1";
                client.FtpPort = server.GetLocalPort();
                if (i % 400 == 0)
                    WaitFor([] { return false; }, 10); // serve the queue, then connect
                client.Open();
                if (i % 400 == 0)
                    WaitFor([&] { return client.Socket->Connected; }, 2000);
                client.Close();
                break;
            case 1:
                client.HostAddress = "";
                EXPECT_THROW(client.Open(), ESockError);
                break;
            case 2:
                client.FtpPort = refused;
                client.HostAddress = "127.0.0.1";
                try {
                    client.Open();
                } catch (const ESockError&) {
                }
                break;
            case 3:
                client.SetFtpServer("nowhere.invalid");
                EXPECT_THROW(client.Open(), EARPError);
                break;
            }
            if (i % 100 == 0)
                ProcessMessages();
        }
        client.Close();
        WaitFor([] { return false; }, 50);
        EXPECT_GT(accepts, 20);
        EXPECT_EQ(OpenDescriptorCount(), before);
    }
}
