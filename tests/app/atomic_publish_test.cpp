// Uploads renamed over the old file, as a run without a window makes them: against real
// servers, with the setting that turns them off, and the left-over temporary files that
// only a real update that may delete removes.
#include "sync/temporary_names.h"
#include "tests/app/site_sync.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
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
    ConfigureSiteSync(ini, site, server);
    int status = -1;
    std::string output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << server.Name() << "\n" << output;

    // Pages replaced over old ones, and what a run cut off would have left: the leftovers
    // are in the plan, and go once the pages are up.
    tree.File("site/index.html", "<h1>Home, new and longer</h1>");
    tree.File("site/docs/page.html", "page, new and longer");
    Age(site / "index.html", std::chrono::minutes(10));
    Age(site / "docs/page.html", std::chrono::minutes(10));
    const std::string leftover = TemporaryNameFor("index.html", 0xdeadbeef);
    std::ofstream(fs::path(server.SiteOnDisk()) / leftover) << "half a page";
    std::ofstream(fs::path(server.SiteOnDisk()) / "docs" / TemporaryNameFor("page.html", 7))
        << "half";
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << server.Name() << "\n" << output;
    EXPECT_NE(output.find("  delete /" + leftover + " (left over by a run that was cut off)\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Removed a left-over temporary file: /" + leftover), std::string::npos)
        << output;
    EXPECT_NE(output.find("  refresh /index.html ("), std::string::npos) << output;

    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("  upload "), std::string::npos) << output;
    EXPECT_EQ(output.find("  refresh "), std::string::npos) << output;
    EXPECT_EQ(output.find("Removed a left-over"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Servers, AtomicPublish, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

// A server that forbids writing names with a leading dot refuses every temporary name:
// each upload goes straight to its name, and every run ends with the server equal to the
// disk.
TEST(AtomicPublishDotNamesForbidden, EveryUploadIsStoredUnderItsName) {
    TRealFtpServer server(TRealServerKind::PureFtpd);
    server.ForbidDotNames();
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/docs/page.html", "page");
    for (const auto& e : fs::recursive_directory_iterator(site))
        Age(e.path(), std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");
    ConfigureSiteSync(ini, site, server);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        int status = -1;
        const std::string output = Sync(ini, status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
        EXPECT_NE(output.find("The server refused the temporary name of "), std::string::npos)
            << output;
        tree.File("site/index.html", "<h1>Home, edited once more</h1>");
        tree.File("site/docs/page.html", "page, edited");
        Age(site / "index.html", std::chrono::minutes(10));
        Age(site / "docs/page.html", std::chrono::minutes(10));
    }
}

// The setting chooses the way. A leftover is in the plan, and removed, only where the run
// may delete: not by a dry run, not with deleting off, not by a run the cap refuses.
TEST(AtomicPublishSettings, TheSettingChoosesTheWayAndOnlyARunThatMayDeleteRemovesLeftovers) {
    struct TRow {
        std::vector<std::string> settings;
        bool dryRun;
        std::vector<std::string> changes;
        bool planned = false; // the plan names the leftover
        int status = 0;
        std::optional<std::int64_t> maxDelete = {};
    };
    const std::string leftover = TemporaryNameFor("old.html", 0x1234abcd);
    const std::vector<std::string> atomic = {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html"};
    std::vector<std::string> atomicThenLeftover = atomic;
    atomicThenLeftover.push_back("DELE /www/TMP");
    const TRow rows[] = {
        {{}, true, {}},
        {{}, false, atomic},
        {{"Options.atomic=1"}, false, atomic},
        {{"Options.atomic=0"}, false, {"STOR /www/a.html"}},
        {{"Options.delete=1"}, true, {}, true},
        {{"Options.delete=1"}, false, atomicThenLeftover, true},
        {{"Options.delete=1", "Options.atomic=0"},
         false,
         {"STOR /www/a.html", "DELE /www/TMP"},
         true},
        {{"Options.delete=1"}, false, atomic, true, 5, 0},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.settings) + (row.dryRun ? " dry run" : "") +
                     (row.maxDelete ? " capped" : ""));
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
        options.maxDelete = row.maxDelete;
        int status = -1;
        const std::string output = Sync(ini, status, options);
        EXPECT_EQ(status, row.status) << output;
        EXPECT_EQ(Changes(server), row.changes) << output;
        EXPECT_EQ(output.find("  delete /" + leftover + " (left over by a run that was cut off)") !=
                      std::string::npos,
                  row.planned)
            << output;
    }
}

// After the update, what the server lists is what it holds: an upload it does not list
// under its name, or lists with another size, and a directory it does not list, fail
// their items by name; the run deletes nothing, a copy under another name neither.
TEST(AtomicPublishChecked, AnUploadTheServerDoesNotListAsSentFailsTheRun) {
    struct TRow {
        const char* what;
        std::vector<std::string> after; // the listing of /www once the update is done
        std::string failure;
    };
    const std::string missing = "The server does not list /men\xc3\xbc.html after storing it: "
                                "it may have stored it under another name";
    const TRow rows[] = {
        {"stored under another name",
         {"drwxr-xr-x 2 o g 0 Jan  1  2020 new",
          "-rw-r--r-- 1 o g 9 Jan  1  2020 men\xc3\x83\xc2\xbc.html"},
         missing},
        {"not stored at all", {"drwxr-xr-x 2 o g 0 Jan  1  2020 new"}, missing},
        {"stored short",
         {"drwxr-xr-x 2 o g 0 Jan  1  2020 new",
          "-rw-r--r-- 1 o g 3 Jan  1  2020 men\xc3\xbc.html"},
         "Could not upload: /men\xc3\xbc.html (the server holds 3 of its 9 bytes)"},
        {"a directory not made",
         {"-rw-r--r-- 1 o g 9 Jan  1  2020 men\xc3\xbc.html"},
         "The server does not list /new as a directory after creating it: it may have made it "
         "under another name"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.what);
        TTempTree tree;
        tree.File("site/men\xc3\xbc.html", "menu page");
        tree.Dir("site/new");
        TFtpScriptServer server;
        ListingsInOrder(server, {{}, row.after});
        const std::string ini = tree.Path("PELMORA.INI");
        std::string why;
        ASSERT_TRUE(ConfigureSettings(ini,
                                      {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                       "FTP.port=" + std::to_string(server.Port()),
                                       "FTP.userName=web", "FTP.password=pw", "List.remote=/www",
                                       "Options.load=1", "Options.compare=1", "Options.update=1",
                                       "Options.delete=1", "Options.exit=1", "Options.timeout=5"},
                                      why))
            << why;
        int status = -1;
        const std::string output = Sync(ini, status);
        EXPECT_EQ(status, 1) << output;
        EXPECT_NE(output.find(row.failure), std::string::npos) << output;
        for (const std::string& command : server.Commands()) {
            EXPECT_FALSE(command.starts_with("DELE ")) << command;
            EXPECT_FALSE(command.starts_with("RMD ")) << command;
        }
    }
}
