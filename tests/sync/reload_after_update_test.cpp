// The load that ends an update: only the directories the run changed are listed again,
// and what comes out is what a full load would give.

#include "sync/sync_core.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/local_settings.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

class TReloadForm : public TRecordedEngine {
public:
    TReloadForm() { options.timeoutMs = 10000; }

    bool Connect(uint16_t port, const std::string& user, const std::string& password) {
        return LogIn(LocalServer(port, user, password), 10000);
    }
    // Local scan, remote load and compare, as a press of Connect with every option does
    // before the update.
    void LoadBothAndCompare(const std::string& localRoot, const std::string& remoteRoot) {
        options.localRoot = localRoot;
        options.remoteRoot = remoteRoot;
        ASSERT_TRUE(LoadLocalDirectory());
        RefreshRemote();
        ASSERT_TRUE(remoteLoad.complete) << Status();
        AnalyseLists();
    }
    // Everything a load leaves in the master list and the tree, one line per node.
    std::vector<std::string> Loaded() const {
        std::vector<std::string> lines;
        EXPECT_EQ(remoteList.Count(), remoteTree.Count());
        for (int i = 0; i < remoteList.Count(); ++i) {
            const auto& e = *static_cast<const TDetail*>(remoteList.Objects(i));
            const auto& node = remoteTree.Node(i);
            lines.push_back(
                remoteList.Strings(i) + " kind=" + std::to_string(e.kind) +
                " action=" + std::to_string(e.action) + " size=" + std::to_string(e.size) +
                " utc=" + std::to_string(e.time.utc) + " date=" + std::to_string(e.date) + " | " +
                node.Text + " parent=" + std::to_string(node.Parent) +
                " row=" + std::to_string(node.Row) + " image=" + std::to_string(node.StateIndex));
        }
        return lines;
    }
};

// The listings of /www, /www/a and /www/a/b, in the order the first load asks for them.
void ServeSite(TFtpScriptServer& server) {
    ListingsInOrder(
        server, {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "-rw-r--r-- 1 o g 5 Jul 15 1996 top.html"},
                 {"drwxr-xr-x 2 o g 1 Jul 15 1996 b", "-rw-r--r-- 1 o g 5 Jul 15 1996 keep.txt"},
                 {"-rw-r--r-- 1 o g 5 Jul 15 1996 old.html"}});
}

// The CWD and LIST commands the server received from `first` on.
std::vector<std::string> Walk(const TFtpScriptServer& server, size_t first) {
    std::vector<std::string> walk;
    const auto commands = server.Commands();
    for (size_t i = first; i < commands.size(); ++i)
        if (commands[i].rfind("CWD ", 0) == 0 || commands[i].rfind("LIST", 0) == 0)
            walk.push_back(commands[i]);
    return walk;
}

size_t AfterLast(const TFtpScriptServer& server, const std::string& prefix) {
    const auto commands = server.Commands();
    for (size_t i = commands.size(); i-- > 0;)
        if (commands[i].rfind(prefix, 0) == 0)
            return i + 1;
    return commands.size();
}

} // namespace

TEST(ReloadAfterUpdate, ARunThatChangedNothingListsNothingAgain) {
    TFtpScriptServer server;
    ServeSite(server);
    TTempTree tree;
    tree.Dir("a/b");
    TReloadForm form;
    ASSERT_TRUE(form.Connect(server.Port(), "u", "p"));
    form.options.mayDelete = false;
    form.LoadBothAndCompare(tree.Path(), "/www");
    const auto before = form.Loaded();
    const size_t first = server.Commands().size();
    form.UpdateRemote();
    EXPECT_EQ(Walk(server, first), std::vector<std::string>{});
    EXPECT_EQ(form.Status(), "Remote Site Update Complete");
    EXPECT_FALSE(form.updateFailed);
    EXPECT_TRUE(form.view.Enabled(TSyncAction::Compare));
    EXPECT_EQ(form.remoteList.Count(), static_cast<int>(before.size()));
}

TEST(ReloadAfterUpdate, OneStoredFileListsItsDirectoryAlone) {
    TFtpScriptServer server;
    // What the server lists in /www/a/b once the file has gone there;
    // the first load's listings come before it.
    server.On("LIST").Listing({Lines(
        {"-rw-r--r-- 1 o g 5 Jul 15 1996 old.html", "-rw-r--r-- 1 o g 3 Jul 15 1996 new.html"})});
    ServeSite(server);
    TTempTree tree;
    tree.File("a/b/new.html", "new");
    TReloadForm form;
    ASSERT_TRUE(form.Connect(server.Port(), "u", "p"));
    form.options.mayDelete = false;
    form.LoadBothAndCompare(tree.Path(), "/www");
    form.UpdateRemote();
    EXPECT_EQ(Walk(server, AfterLast(server, "STOR ")),
              (std::vector<std::string>{"CWD /www/a/b", "LIST -a"}));
    EXPECT_FALSE(form.updateFailed) << form.Status();
    std::vector<std::string> keys;
    for (int i = 0; i < form.remoteList.Count(); ++i)
        keys.push_back(form.remoteList.Strings(i));
    EXPECT_EQ(keys, (std::vector<std::string>{"/a", "/a/b", "/a/b/new.html", "/a/b/old.html",
                                              "/a/keep.txt", "/top.html"}));
    ASSERT_EQ(form.remoteTree.Count(), 6);
    EXPECT_EQ(form.remoteTree.Node(2).Text, "new.html");
    EXPECT_EQ(form.remoteTree.Node(2).Parent, 1);
    EXPECT_EQ(form.remoteTree.Node(4).Parent, 0);
}

// A server that ignores case spells the directory its own way; it is still the one the
// file went to.
TEST(ReloadAfterUpdate, ACaseBlindServerListsTheDirectoryUnderItsOwnSpelling) {
    TFtpScriptServer server;
    server.On("SYST").Reply("215 Windows_NT");
    server.On("LIST").Listing({Lines({"07-15-96  10:30PM                    5 LOGO.GIF",
                                      "07-15-96  10:30PM                    3 new.gif"})});
    for (const std::string& listing :
         {std::string("07-15-96  10:30PM                    5 LOGO.GIF"),
          std::string("07-15-96  10:30PM       <DIR>          IMAGES")})
        server.On("LIST").Uses(1).Listing({Lines({listing})});
    TTempTree tree;
    tree.File("images/new.gif", "new");
    TReloadForm form;
    ASSERT_TRUE(form.Connect(server.Port(), "u", "p"));
    form.options.mayDelete = false;
    form.LoadBothAndCompare(tree.Path(), "/www");
    ASSERT_TRUE(form.caseFolding);
    form.UpdateRemote();
    EXPECT_EQ(Walk(server, AfterLast(server, "STOR ")),
              (std::vector<std::string>{"CWD /www/IMAGES", "LIST"}));
    EXPECT_GE(form.remoteList.IndexOf("/IMAGES/new.gif"), 0);
}

TEST(ReloadAfterUpdate, ADirectoryThatCannotBeListedAgainLeavesTheLoadIncomplete) {
    TFtpScriptServer server;
    ServeSite(server);
    // The first load enters /www/a/b; the reload can enter it neither by its absolute path
    // nor by its name.
    server.On("CWD").Arg("/www/a/b").Reply("550 Gone away");
    server.On("CWD").Arg("/www/a/b").Uses(1).Reply("250 ok");
    server.On("CWD").Arg("b").Reply("550 Gone away");
    TTempTree tree;
    tree.File("a/b/new.html", "new");
    TReloadForm form;
    ASSERT_TRUE(form.Connect(server.Port(), "u", "p"));
    form.options.mayDelete = false;
    form.LoadBothAndCompare(tree.Path(), "/www");
    form.UpdateRemote();
    EXPECT_FALSE(form.remoteLoad.complete);
    EXPECT_TRUE(form.updateFailed);
    EXPECT_EQ(form.remoteLoad.unlisted, std::vector<std::string>{"/a/b"});
    EXPECT_NE(std::find(form.updateFailures.begin(), form.updateFailures.end(),
                        "The server's tree could not be read again after the update"),
              form.updateFailures.end());
}

// Stores, a new directory, deletes and a removed tree against a real server: the lists
// and the tree after the update are those of a full load that follows it.
TEST(ReloadAfterUpdate, EqualsAFullLoadOnARealServer) {
    TRealFtpServer server(TRealServerKind::Pyftpdlib);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    const fs::path site = server.SiteOnDisk();
    const auto make = [](const fs::path& path, const std::string& content) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(72));
    };
    make(site / "index.html", "home");
    make(site / "a/keep.txt", "keep");
    make(site / "a/b/old.html", "old");
    make(site / "a/b/stale.html", "stale");
    make(site / "c/d/e/deep.txt", "deep");
    make(site / "gone/x/y.txt", "y");

    TTempTree tree;
    tree.File("index.html", "home");
    tree.File("a/keep.txt", "keep");
    tree.File("a/b/old.html", "old, and now longer");
    tree.File("a/b/new.html", "new");
    tree.File("c/d/e/deep.txt", "deep");
    tree.File("fresh/dir/f.txt", "f");
    fs::last_write_time(tree.Path("index.html"),
                        fs::file_time_type::clock::now() - std::chrono::hours(100));
    fs::last_write_time(tree.Path("a/keep.txt"),
                        fs::file_time_type::clock::now() - std::chrono::hours(100));
    fs::last_write_time(tree.Path("c/d/e/deep.txt"),
                        fs::file_time_type::clock::now() - std::chrono::hours(100));

    TReloadForm form;
    form.options.mayDelete = true;
    ASSERT_TRUE(form.Connect(server.Port(), server.User(), server.Password()));
    form.LoadBothAndCompare(tree.Path(), server.SiteDir());
    ASSERT_TRUE(form.PartialReloadPossible());
    form.UpdateRemote();
    ASSERT_FALSE(form.updateFailed) << ::testing::PrintToString(form.updateFailures);
    ASSERT_TRUE(form.remoteLoad.complete);
    EXPECT_EQ(Snapshot(site), Snapshot(tree.Path()));
    const auto partial = form.Loaded();

    form.RefreshRemote();
    ASSERT_TRUE(form.remoteLoad.complete);
    EXPECT_EQ(partial, form.Loaded());
}
