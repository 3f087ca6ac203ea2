#include "sync/sync_core.h"
#include "tests/support/eventually.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/local_settings.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

class TUpdateForm : public TRecordedEngine {
public:
    explicit TUpdateForm(TFtpScriptServer& server) {
        options.timeoutMs = 5000;
        // These transcripts follow each file straight to its name; uploads under a
        // temporary name have tests of their own.
        options.atomic = false;
        LogIn(LocalServer(server.Port()), 5000);
        localScan.complete = true;
        options.remoteRoot = "/www";
    }
    // Adds one entry in pre-order; `parent` is the node of its directory.
    int Add(bool remote, const std::string& dir, const std::string& name, uint8_t kind, double date,
            int parent = TTreeModel::NoNode) {
        auto* d = new TDetail;
        d->kind = kind;
        d->dir = dir;
        d->name = name;
        d->date = date;
        d->time = pelmora::testing::ExactTime(date);
        return AddEntry(remote ? remoteList : localList, remote ? remoteTree : localTree, d,
                        parent);
    }
    // A status that begins with `s` (failures go on with their reason).
    bool Said(const std::string& s) const {
        return std::any_of(view.statuses.begin(), view.statuses.end(),
                           [&](const std::string& status) { return status.rfind(s, 0) == 0; });
    }
};

std::vector<std::string> Changes(const TFtpScriptServer& server) {
    std::vector<std::string> out;
    for (const auto& c : server.Commands())
        for (const char* verb : {"DELE ", "RMD ", "MKD ", "STOR "})
            if (c.rfind(verb, 0) == 0)
                out.push_back(c);
    return out;
}

} // namespace

TEST(UpdateRun, DeletesContentsBeforeTheirDirectoryThenCreatesAndUploads) {
    TTempTree tree;
    tree.File("N/F.txt", "new file");
    tree.File("keep.txt", "k");
    TFtpScriptServer server;
    TUpdateForm form(server);
    form.options.localRoot = tree.Path();
    const int n = form.Add(false, "", "N", kindDirectory, 1);
    form.Add(false, "/N", "F.txt", kindFile, 1, n);
    form.Add(false, "", "keep.txt", kindFile, 1);
    const int a = form.Add(true, "", "A", kindDirectory, 1);
    form.Add(true, "/A", "X", kindFile, 1, a);
    form.Add(true, "", "keep.txt", kindFile, 5);
    form.options.mayDelete = true;
    form.AnalyseLists();
    form.UpdateRemote();
    EXPECT_EQ(Changes(server), (std::vector<std::string>{"DELE /www/A/X", "RMD /www/A",
                                                         "MKD /www/N", "STOR /www/N/F.txt"}));
    EXPECT_TRUE(Eventually([&] { return server.HasStored("/www/N/F.txt"); }));
    EXPECT_EQ(server.Stored()["/www/N/F.txt"], "new file");
    for (const char* s : {"Deleting Files and Directories", "Creating New Directories",
                          "Uploading files - 0% complete"})
        EXPECT_TRUE(form.Said(s)) << s;
    EXPECT_EQ(form.view.statuses.back(), "Remote Site Update Complete");
    EXPECT_FALSE(form.updateFailed);
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Update));
    EXPECT_FALSE(form.view.fileFigures);
}

TEST(UpdateRun, WithoutDeleteRemoteFilesNothingIsDeletedAndTheEntriesShowAsKept) {
    for (const bool offAtCompare : {true, false}) {
        TFtpScriptServer server;
        TUpdateForm form(server);
        form.Add(false, "", "here.txt", kindFile, 1);
        form.Add(true, "", "here.txt", kindFile, 1);
        form.Add(true, "", "orphan.txt", kindFile, 1);
        form.options.mayDelete = !offAtCompare;
        form.AnalyseLists();
        ASSERT_EQ(form.remoteTree.Node(1).StateIndex, offAtCompare ? markKept : markDelete);
        // Turned off between the compare and the update: the update shows it kept.
        form.options.mayDelete = false;
        server.SetListing("-rw-r--r-- 1 o g 1 Jan  5 10:42 orphan.txt\r\n");
        bool kept = false;
        form.view.onStatus = [&](const std::string& status) {
            if (status == "Creating New Directories")
                kept = form.remoteTree.Node(1).StateIndex == markKept;
        };
        form.UpdateRemote();
        EXPECT_TRUE(kept);
        EXPECT_TRUE(Changes(server).empty());
        EXPECT_EQ(form.view.statuses.back(), "Remote Site Update Complete");
    }
}

TEST(UpdateRun, NeverDeletesOnTheWordOfAnIncompleteOrEmptyLocalTree) {
    for (const bool emptyLocal : {false, true}) {
        TFtpScriptServer server;
        TUpdateForm form(server);
        if (!emptyLocal) {
            form.Add(false, "", "other.txt", kindFile, 9);
            form.localScan.complete = false;
        }
        form.Add(true, "", "precious.html", kindFile, 1);
        form.options.mayDelete = true;
        form.AnalyseLists();
        form.UpdateRemote();
        const auto changes = Changes(server);
        EXPECT_TRUE(std::none_of(changes.begin(), changes.end(),
                                 [](const std::string& c) { return c.rfind("DELE", 0) == 0; }));
        EXPECT_TRUE(form.updateFailed);
        EXPECT_TRUE(form.Said(
            emptyLocal ? "Nothing deleted on the server: the local directory is empty"
                       : "Nothing deleted on the server: the local directory was not read whole"));
    }
}

TEST(UpdateRun, ARemoteRootWithATrailingSlashDoublesIt) {
    TTempTree tree;
    tree.File("a.txt", "a");
    TFtpScriptServer server;
    TUpdateForm form(server);
    form.options.localRoot = tree.Path();
    form.options.remoteRoot = "/www/";
    form.Add(false, "", "a.txt", kindFile, 1);
    form.AnalyseLists();
    form.UpdateRemote();
    EXPECT_EQ(Changes(server), (std::vector<std::string>{"STOR /www//a.txt"}));
}

TEST(UpdateRun, EmptyListsComplete) {
    TFtpScriptServer server;
    TUpdateForm form(server);
    form.AnalyseLists();
    form.UpdateRemote();
    EXPECT_TRUE(form.Said("Deleting Files and Directories"));
    EXPECT_TRUE(form.Said("Creating New Directories"));
    EXPECT_TRUE(form.Said("Uploading files - 0% complete"));
    EXPECT_TRUE(form.Said("Remote Site Update Complete"));
    EXPECT_FALSE(form.updateFailed);
}

TEST(UpdateRun, StopDuringAnUploadCancelsWithoutReloading) {
    TTempTree tree;
    tree.File("slow.bin", std::string(10000, 's'));
    TFtpScriptServer server;
    server.On("STOR").Delay(3000);
    TUpdateForm form(server);
    form.options.localRoot = tree.Path();
    form.Add(false, "", "slow.bin", kindFile, 1);
    form.AnalyseLists();
    QTimer::singleShot(300, [&] {
        form.session.Stop();
        form.userStop = true;
    });
    form.UpdateRemote();
    EXPECT_EQ(form.view.statuses.back(), "Transfer canceled. You MAY have to reconnect.");
    EXPECT_TRUE(form.updateFailed);
    EXPECT_EQ(form.view.overallPercent, 0);
}

TEST(UpdateRun, ALostConnectionEndsWithDisconnect) {
    TTempTree tree;
    tree.File("a.txt", "a");
    tree.File("b.txt", "b");
    TFtpScriptServer server;
    server.On("STOR").CloseControl(TFtpRule::CloseBeforeReply);
    TUpdateForm form(server);
    form.options.localRoot = tree.Path();
    form.Add(false, "", "a.txt", kindFile, 1);
    form.Add(false, "", "b.txt", kindFile, 1);
    form.AnalyseLists();
    form.UpdateRemote();
    EXPECT_EQ(form.view.statuses.back(), "Pelmora has been disconnected from the server");
    EXPECT_FALSE(form.connected);
    EXPECT_TRUE(form.updateFailed);
    EXPECT_EQ(Changes(server).size(), 1u) << "nothing more is tried after the loss";
}

TEST(UpdateRun, AFileThatVanishedIsReportedByItsPath) {
    TTempTree tree;
    TFtpScriptServer server;
    TUpdateForm form(server);
    form.options.localRoot = tree.Path();
    form.Add(false, "", "gone.txt", kindFile, 1);
    form.AnalyseLists();
    form.UpdateRemote();
    EXPECT_TRUE(form.updateFailed);
    EXPECT_TRUE(form.Said("Could not upload: /gone.txt"));
    EXPECT_EQ(form.view.statuses.back().rfind(
                  "Remote Site Update Incomplete: Could not upload: /gone.txt (", 0),
              0u);
}

TEST(UpdateRun, AnUploadThatNeverEndsIsGivenUpAfterTheTimeOut) {
    TTempTree tree;
    tree.File("a.txt", "a");
    TFtpScriptServer server;
    server.On("STOR").Silent(); // takes the data, never answers
    TUpdateForm form(server);
    form.options.localRoot = tree.Path();
    form.Add(false, "", "a.txt", kindFile, 1);
    form.AnalyseLists();
    const uint32_t start = GetTickCount();
    form.UpdateRemote();
    const uint32_t took = GetTickCount() - start;
    EXPECT_GE(took, 5000u);
    EXPECT_LT(took, 15000u);
    EXPECT_TRUE(form.updateFailed);
    EXPECT_TRUE(form.Said("Could not upload: /a.txt"));
    EXPECT_EQ(form.view.statuses.back(), "Pelmora has been disconnected from the server");
    EXPECT_FALSE(form.connected);
}

TEST(UpdateRun, TheGuardKeepsWhatTheDiskHasWhateverTheVerdictSays) {
    TFtpScriptServer server;
    TUpdateForm form(server);
    form.Add(false, "", "same.html", kindFile, 1);
    form.Add(false, "", "loop", kindDirectory, 1);
    form.localScan.notWalked = {"/loop"};
    form.localScan.kept = {"/pipe"};
    form.remoteLoad.unlisted = {"/locked"};
    // Verdicts set by hand, as a faulty compare might set them.
    const auto doomed = [&](const std::string& dir, const std::string& name, uint8_t kind) {
        form.Add(true, dir, name, kind, 1);
        auto* e = static_cast<TDetail*>(form.remoteList.Objects(form.remoteList.Count() - 1));
        e->action = kind == kindDirectory ? actionRemove : actionDelete;
    };
    doomed("", "same.html", kindFile);
    doomed("", "locked", kindDirectory);
    doomed("/locked", "x.html", kindFile);
    doomed("/loop", "y.html", kindFile);
    doomed("", "pipe", kindFile);
    doomed("", "gone", kindDirectory);
    doomed("/gone", "old.html", kindFile);
    form.options.mayDelete = true;
    const auto plan = form.UpdatePlan();
    EXPECT_EQ(plan, (std::vector<std::string>{"delete /gone/old.html", "remove /gone"}));
    form.UpdateRemote();
    EXPECT_EQ(Changes(server),
              (std::vector<std::string>{"DELE /www/gone/old.html", "RMD /www/gone"}));
    for (const char* why : {"Not deleted: /same.html (the disk still has it)",
                            "Not deleted: /locked/x.html (/locked could not be read on the server)",
                            "Not deleted: /locked (/locked could not be read on the server)",
                            "Not deleted: /loop/y.html (the disk's /loop was not walked)",
                            "Not deleted: /pipe (the disk still has it)"})
        EXPECT_TRUE(form.Said(why)) << why;
    EXPECT_TRUE(form.updateFailed);
}

TEST(UpdateRun, ARelativeRootGoesWhereTheServerSaysOrStaysRelativeToWhereTheLoadLeftIt) {
    struct Case {
        const char* pwd;
        std::vector<std::string> changes;
        std::vector<std::string> cwds;
    };
    for (const Case& c : {
             Case{"257 /home/u/www is the current directory",
                  {"DELE /home/u/www/old.txt", "STOR /home/u/www/a.txt"},
                  {"www", "/home/u/www"}},
             Case{"257 \"/home/u/www\" is the current directory",
                  {"DELE /home/u/www/old.txt", "STOR /home/u/www/a.txt"},
                  {"www", "/home/u/www"}},
             // No name the client can read: the session stands in the root after the
             // load, so the commands go relative to it, and so does the reload.
             Case{"257 Okay", {"DELE old.txt", "STOR a.txt"}, {"www", "."}},
         }) {
        TTempTree tree;
        tree.File("a.txt", "a");
        TFtpScriptServer server;
        server.On("PWD").Reply(c.pwd);
        server.SetListing("-rw-r--r-- 1 o g 1 Jan  5  2020 old.txt\r\n");
        TUpdateForm form(server);
        form.options.localRoot = tree.Path();
        form.options.remoteRoot = "www";
        form.Add(false, "", "a.txt", kindFile, 1);
        ASSERT_TRUE(form.LoadRemoteDirectory()) << c.pwd;
        form.options.mayDelete = true;
        form.AnalyseLists();
        form.UpdateRemote();
        EXPECT_EQ(Changes(server), c.changes) << c.pwd;
        std::vector<std::string> cwds;
        for (const auto& command : server.Commands())
            if (command.rfind("CWD ", 0) == 0)
                cwds.push_back(command.substr(4));
        EXPECT_EQ(cwds, c.cwds) << c.pwd;
    }
}
