#include "tests/app/site_sync.h"
#include "tests/support/fault_relay.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

class FullSync : public ::testing::TestWithParam<TRealServerKind> {};

TEST_P(FullSync, TheServerEndsEqualToTheDiskAndAThirdRunSendsNothing) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/.htaccess", "Options -Indexes\n");
    tree.File("site/empty.txt", "");
    tree.File("site/My Docs/Read Me.TXT", "notes");
    tree.File("site/img/Logo.PNG", std::string(3 << 20, '\x89'));
    tree.File("site/old/stale.html", "stale");
    tree.File("site/old/deeper/x.css", "x");
    for (const auto& e : fs::recursive_directory_iterator(site))
        Age(e.path(), std::chrono::hours(72));

    const std::string ini = tree.Path("PELMORA.INI");
    ConfigureSiteSync(ini, site, server, {"FTP.dataMode=auto"});

    int status = -1;
    std::string output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << server.Name() << "\n" << output;
    // Every one of these servers takes EPSV; the mode is told once.
    const std::string told = "\nData connections: passive (EPSV)\n";
    EXPECT_NE(output.find(told), std::string::npos) << output;
    EXPECT_EQ(output.find(told), output.rfind(told)) << output;

    // The runs that follow are active, as before there was a choice.
    ASSERT_TRUE(ConfigureSettings(ini, {"FTP.dataMode=active"}, why)) << why;

    // Edits, an addition and deletions, then a second run with deletion on.
    tree.File("site/index.html", "<h1>Home, new and longer</h1>");
    tree.File("site/img/new one.gif", "GIF89a");
    // Listings give times to the minute: edits made in the minute of the sync that follows
    // would look newer again at the next one. These were made a while ago; the changed
    // size of index.html is what tells that it must go again.
    Age(site / "index.html", std::chrono::minutes(10));
    Age(site / "img/new one.gif", std::chrono::minutes(10));
    fs::remove_all(site / "old");
    fs::remove(site / "empty.txt");
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << server.Name() << "\n" << output;
    EXPECT_NE(output.find("\nData connections: active (PORT)\n"), std::string::npos) << output;
    EXPECT_NE(output.find("  remove /old\n"), std::string::npos) << output;
    EXPECT_NE(output.find("  refresh /index.html ("), std::string::npos) << output;

    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("  upload "), std::string::npos) << output;
    EXPECT_EQ(output.find("  refresh "), std::string::npos) << output;
    EXPECT_EQ(output.find("  delete "), std::string::npos) << output;
    EXPECT_NE(output.find("\nNothing to do\n"), std::string::npos) << output;
    // The remote directory is typed without a leading "/": the reload after the update
    // still finds it.
    EXPECT_EQ(output.find("Could not change to remote directory"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Servers, FullSync, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

TEST(Interruption, AServerKilledMidUploadIsMadeWholeByTheNextRun) {
    TRealFtpServer server(TRealServerKind::Pyftpdlib);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    tree.File("site/a.html", "a");
    tree.File("site/big/video.bin", std::string(48 << 20, 'v'));
    tree.File("site/z.html", "z");
    for (const auto& e : fs::recursive_directory_iterator(site))
        Age(e.path(), std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");
    const auto configure = [&] { ConfigureSiteSync(ini, site, server, {"Options.timeout=10"}); };
    configure();
    // The server goes away while the big file is on its way.
    bool killed = false;
    QTimer killer;
    killer.setInterval(5);
    // The file on its way has a temporary name of its own until it is whole.
    const auto arriving = [&] {
        std::error_code ec;
        for (fs::directory_iterator it(fs::path(server.SiteOnDisk()) / "big", ec), end;
             !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec) && it->file_size(ec) > (1 << 20))
                return true;
        return false;
    };
    QObject::connect(&killer, &QTimer::timeout, [&] {
        if (!killed && arriving()) {
            killed = true;
            server.Stop();
        }
    });
    killer.start();
    int status = -1;
    std::string output = Sync(ini, status);
    killer.stop();
    ASSERT_TRUE(killed) << "the upload ended before the server could be stopped\n" << output;
    EXPECT_EQ(status, 1) << output;

    ASSERT_TRUE(server.Start(why)) << why;
    configure();
    output = Sync(ini, status);
    EXPECT_EQ(status, 0) << output;
    // The part that had arrived is gone with the rest of what the cut-off run left.
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
    EXPECT_NE(output.find("Removed a left-over temporary file: /big/"), std::string::npos)
        << output;
}

// Over a long link, or through a firewall that reads the control connection, a command
// reaches the server well after the data connection is open. pyftpdlib loses the bytes
// of a file that come before it has taken STOR, and then waits for them until its
// time-out: every file must arrive all the same, in both modes.
class SlowControlLink : public ::testing::TestWithParam<const char*> {};

TEST_P(SlowControlLink, EveryFileArrivesAndTheRunSucceeds) {
    TRealFtpServer server(TRealServerKind::Pyftpdlib);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TFaultRelay relay(server.Port(), {}, std::chrono::seconds(20));
    relay.SetControlDelay(std::chrono::milliseconds(50));
    ASSERT_TRUE(relay.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/about.html", "<p>About</p>");
    tree.File("site/empty.txt", "");
    tree.File("site/css/site.css", "body { margin: 0 }");
    tree.File("site/img/photo.jpg", std::string(20000, 'j'));
    for (const auto& e : fs::recursive_directory_iterator(site))
        Age(e.path(), std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");
    std::vector<std::string> settings = SiteSyncSettings(site, server, relay.Port());
    settings.push_back(std::string("FTP.dataMode=") + GetParam());
    ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;
    int status = -1;
    const std::string output = Sync(ini, status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
}

INSTANTIATE_TEST_SUITE_P(Modes, SlowControlLink, ::testing::Values("passive", "active"),
                         [](const auto& info) { return std::string(info.param); });
