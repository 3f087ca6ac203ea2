// Uploads renamed over the old file, as a run without a window makes them: against real
// servers, with the setting that turns them off, and the left-over temporary files that
// only a real update removes.
#include "sync/temporary_names.h"
#include "tests/app/site_sync.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

// The commands sent that change the server, each temporary name written as TMP.
std::vector<std::string> Changes(const TFtpScriptServer& server) {
    std::vector<std::string> out;
    for (std::string c : server.Commands()) {
        if (!(c.starts_with("STOR ") || c.starts_with("DELE ") || c.starts_with("RNFR ") ||
              c.starts_with("RNTO ")))
            continue;
        const size_t slash = c.rfind('/');
        if (IsTemporaryName(c.substr(slash + 1)))
            c = c.substr(0, slash + 1) + "TMP";
        out.push_back(c);
    }
    return out;
}

} // namespace

class AtomicPublish : public ::testing::TestWithParam<TRealServerKind> {};

// Each server takes the rename its own way (some refuse one onto an existing name): the
// tree ends equal to the disk, with no temporary file left, and the next run sends
// nothing, since the times came through the rename.
TEST_P(AtomicPublish, EndsEqualToTheDiskWithNoTemporaryFileAndTheRightTimes) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/docs/page.html", "page");
    for (const auto& e : fs::recursive_directory_iterator(site))
        Age(e.path(), std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");
    ConfigureSiteSync(ini, site, server, {"Options.delete=0"});
    int status = -1;
    std::string output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << server.Name() << "\n" << output;

    // Pages replaced over old ones, and what a run cut off would have left, with delete
    // off: the leftovers go all the same, and nothing of the user's with them.
    tree.File("site/index.html", "<h1>Home, new and longer</h1>");
    tree.File("site/docs/page.html", "page, new and longer");
    Age(site / "index.html", std::chrono::minutes(10));
    Age(site / "docs/page.html", std::chrono::minutes(10));
    const std::string leftover = TemporaryNameFor("index.html", 0xdeadbeef);
    std::ofstream(fs::path(server.SiteOnDisk()) / leftover) << "half a page";
    std::ofstream(fs::path(server.SiteOnDisk()) / "docs" / TemporaryNameFor("page.html", 7))
        << "half";
    std::ofstream(fs::path(server.SiteOnDisk()) / "extra.html") << "the server's own";
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    std::map<std::string, std::string> expected = Snapshot(site);
    expected["extra.html"] = "the server's own";
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), expected) << server.Name() << "\n" << output;
    EXPECT_NE(output.find("Removed a left-over temporary file: /" + leftover), std::string::npos)
        << output;
    EXPECT_NE(output.find("  refresh /index.html\n"), std::string::npos) << output;

    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("  upload "), std::string::npos) << output;
    EXPECT_EQ(output.find("  refresh "), std::string::npos) << output;
    EXPECT_EQ(output.find("Removed a left-over"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Servers, AtomicPublish, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

// The setting chooses the way; a dry run removes no leftover, the real run does.
TEST(AtomicPublishSettings, TheSettingChoosesTheWayAndOnlyARealRunRemovesLeftovers) {
    struct TRow {
        std::vector<std::string> settings;
        bool dryRun;
        std::vector<std::string> changes;
    };
    const std::string leftover = TemporaryNameFor("old.html", 0x1234abcd);
    const TRow rows[] = {
        {{}, true, {}},
        {{}, false, {"DELE /www/TMP", "STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html"}},
        {{"Options.atomic=1"},
         false,
         {"DELE /www/TMP", "STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html"}},
        {{"Options.atomic=0"}, false, {"DELE /www/TMP", "STOR /www/a.html"}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.settings) + (row.dryRun ? " dry run" : ""));
        TTempTree tree;
        tree.File("site/a.html", "a");
        TFtpScriptServer server;
        server.SetListing("-rw-r--r-- 1 o g 4 Jan  5  2020 " + leftover + "\r\n");
        const std::string ini = tree.Path("PELMORA.INI");
        std::vector<std::string> settings = {"List.local=" + tree.Path("site"),
                                             "FTP.server=127.0.0.1",
                                             "FTP.port=" + std::to_string(server.Port()),
                                             "FTP.userName=web",
                                             "FTP.password=pw",
                                             "List.remote=/www",
                                             "Options.load=1",
                                             "Options.compare=1",
                                             "Options.update=1",
                                             "Options.delete=0",
                                             "Options.exit=1",
                                             "Options.timeout=5"};
        settings.insert(settings.end(), row.settings.begin(), row.settings.end());
        std::string why;
        ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;
        THeadlessOptions options;
        options.dryRun = row.dryRun;
        int status = -1;
        const std::string output = Sync(ini, status, options);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(Changes(server), row.changes) << output;
        // Never an entry of the site: neither planned for deletion nor counted.
        EXPECT_EQ(output.find("delete /" + leftover), std::string::npos) << output;
    }
}
