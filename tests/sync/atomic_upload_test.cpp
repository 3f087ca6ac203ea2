// Uploads under a temporary name, renamed over the old file once whole: what goes over
// the wire, what each refusal of the rename leads to, and the temporary files a run that
// was cut off leaves for the next one.
#include "sync/sync_core.h"
#include "sync/temporary_names.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/local_settings.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

using TStrings = std::vector<std::string>;

class TAtomicForm : public TRecordedEngine {
public:
    TAtomicForm(TFtpScriptServer& server, const TTempTree& tree)
        : server_(LocalServer(server.Port())) {
        options.timeoutMs = 5000;
        options.localRoot = tree.Path();
        options.remoteRoot = "/www";
        options.mayDelete = false;
        Connect();
        localScan.complete = true;
    }
    void Connect() { LogIn(server_, 5000); }
    const TConnectionSettings server_;
    void AddLocal(const std::string& name) {
        auto* d = new TDetail;
        d->kind = kindFile;
        d->name = name;
        d->date = 43831.5; // 2020-01-01 12:00 UTC
        d->time = ExactTime(d->date);
        AddEntry(localList, localTree, d, TTreeModel::NoNode);
    }
    // The server's older copy, so the compare refreshes it.
    void AddRemote(const std::string& name) {
        auto* d = new TDetail;
        d->kind = kindFile;
        d->name = name;
        d->size = 1;
        d->date = 43466.5; // 2019-01-01 12:00 UTC
        d->time = ExactTime(d->date);
        AddEntry(remoteList, remoteTree, d, TTreeModel::NoNode);
    }
    // Runs the update; the server's answers are the script's.
    void Update() {
        AnalyseLists();
        UpdateRemote();
    }
    int Said(const std::string& text) const {
        return static_cast<int>(std::count(view.statuses.begin(), view.statuses.end(), text));
    }
    int Traced(const std::string& text) const {
        return static_cast<int>(std::count(view.traces.begin(), view.traces.end(), text));
    }
};

// The commands that change the server or a file's time, with every temporary name
// written as TMP: which one it was is the random part.
TStrings Changes(const TFtpScriptServer& server) {
    TStrings out;
    for (std::string c : server.Commands()) {
        if (!(c.starts_with("STOR ") || c.starts_with("DELE ") || c.starts_with("RNFR ") ||
              c.starts_with("RNTO ") || c.starts_with("MFMT ")))
            continue;
        const size_t slash = c.rfind('/');
        if (slash != std::string::npos && IsTemporaryName(c.substr(slash + 1)))
            c = c.substr(0, slash + 1) + "TMP";
        out.push_back(c);
    }
    return out;
}

// The temporary name the first STOR went to.
std::string FirstTemporary(const TFtpScriptServer& server) {
    for (const std::string& c : server.Commands())
        if (c.starts_with("STOR ") && IsTemporaryName(c.substr(c.rfind('/') + 1)))
            return c.substr(c.rfind('/') + 1);
    return {};
}

} // namespace

TEST(AtomicUpload, GoesToATemporaryNameGetsItsTimeThereAndIsRenamedOverTheOld) {
    TTempTree tree;
    tree.File("a.html", "new page");
    TFtpScriptServer server;
    server.On("FEAT").Lines({"211-Features:", " MFMT", "211 End"});
    server.On("MFMT").Reply("213 Modify=20200101120000");
    TAtomicForm form(server, tree);
    form.AddLocal("a.html");
    form.Update();
    EXPECT_EQ(Changes(server), (TStrings{"STOR /www/TMP", "MFMT 20200101120000 /www/TMP",
                                         "RNFR /www/TMP", "RNTO /www/a.html"}));
    EXPECT_EQ(server.Stored(), (std::map<std::string, std::string>{{"/www/a.html", "new page"}}));
    EXPECT_FALSE(form.updateFailed) << form.view.statuses.back();
    EXPECT_EQ(form.view.statuses.back(), "Remote Site Update Complete");
}

// Where a rename is refused, the old page stays or the new one goes up (straight to its
// name, where the server takes it so); the temporary file never stays behind while the
// session stands and the name holds a page.
TEST(AtomicUpload, ARefusedStepLeavesNoTemporaryFileBehind) {
    struct TRow {
        const char* what;
        std::function<void(TFtpScriptServer&)> script;
        TStrings changes;
        const char* failure;  // the start of the run's first failure; "" for none
        bool onServer = true; // the server lists an older copy
    };
    const TRow rows[] = {
        {"a server that renames nothing onto an existing name",
         [](auto& s) { s.On("RNTO").Uses(1).Reply("553 File exists"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/a.html", "RNFR /www/TMP",
          "RNTO /www/a.html"},
         ""},
        {"a passing refusal keeps the old file",
         [](auto& s) { s.On("RNTO").Uses(1).Reply("450 Busy, try later"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/TMP"},
         "Could not upload: /a.html (450 Busy, try later)"},
        {"the second rename refused too: sent straight to its name",
         [](auto& s) { s.On("RNTO").Reply("553 Not allowed"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/a.html", "RNFR /www/TMP",
          "RNTO /www/a.html", "STOR /www/a.html", "DELE /www/TMP"},
         ""},
        {"a new file's name refused is no name that exists: sent straight to it",
         [](auto& s) { s.On("RNTO").Reply("553 Not allowed"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "STOR /www/a.html",
          "DELE /www/TMP"},
         "",
         false},
        {"a new file's name refused, and refused straight too",
         [](auto& s) {
             s.On("RNTO").Reply("553 Not allowed");
             s.On("STOR").Arg("/www/a.html").Refuse("553 Not allowed");
         },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "STOR /www/a.html",
          "DELE /www/TMP"},
         "Could not upload: /a.html (553 Not allowed)",
         false},
        {"an old file the server will not delete stays as it is",
         [](auto& s) {
             s.On("RNTO").Reply("553 Not allowed");
             s.On("DELE").Arg("/www/a.html").Reply("550 Permission denied");
         },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/a.html",
          "DELE /www/TMP"},
         "Could not upload: /a.html (553 Not allowed)"},
        {"the temporary file gone before the rename",
         [](auto& s) { s.On("RNFR").Reply("550 No such file"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "DELE /www/TMP"},
         "Could not upload: /a.html (550 No such file)"},
        {"the upload refused, under either name",
         [](auto& s) { s.On("STOR").Refuse("553 Could not create file"); },
         {"STOR /www/TMP", "DELE /www/TMP", "STOR /www/a.html"},
         "Could not upload: /a.html (553 Could not create file)"},
        {"the upload cut off",
         [](auto& s) { s.On("STOR").CutDataAfter(100).Reply("426 Transfer aborted"); },
         {"STOR /www/TMP", "DELE /www/TMP"},
         "Could not upload: /a.html ("},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.what);
        TTempTree tree;
        tree.File("a.html", std::string(5000, 'p'));
        TFtpScriptServer server;
        row.script(server);
        TAtomicForm form(server, tree);
        form.AddLocal("a.html");
        if (row.onServer)
            form.AddRemote("a.html");
        form.Update();
        EXPECT_EQ(Changes(server), row.changes);
        const std::string failure = row.failure;
        EXPECT_EQ(form.updateFailed, !failure.empty());
        if (!failure.empty()) {
            ASSERT_FALSE(form.updateFailures.empty());
            EXPECT_EQ(form.updateFailures.front().rfind(failure, 0), 0u)
                << form.updateFailures.front();
        } else {
            EXPECT_EQ(server.Stored().at("/www/a.html"), std::string(5000, 'p'));
        }
        for (const auto& [path, bytes] : server.Stored())
            EXPECT_FALSE(IsTemporaryName(path.substr(path.rfind('/') + 1))) << path;
        EXPECT_TRUE(form.connected);
    }
}

TEST(AtomicUpload, AServerWithoutRenameGetsDirectUploadsForTheSessionSaidOnce) {
    TTempTree tree;
    tree.File("a.html", "a");
    tree.File("b.html", "b");
    TFtpScriptServer server;
    server.On("RNFR").Reply("502 Command not implemented");
    TAtomicForm form(server, tree);
    form.AddLocal("a.html");
    form.AddLocal("b.html");
    form.Update();
    EXPECT_EQ(Changes(server), (TStrings{"STOR /www/TMP", "RNFR /www/TMP", "DELE /www/TMP",
                                         "STOR /www/a.html", "STOR /www/b.html"}));
    const std::string said = "The server does not rename files (502 Command not implemented): "
                             "uploads go straight to their names for the rest of the session";
    EXPECT_EQ(form.Said(said), 1);
    EXPECT_EQ(form.Traced(said), 1);
    EXPECT_FALSE(form.updateFailed) << form.updateFailures.front();
    EXPECT_EQ(server.Stored().size(), 2u);
}

// The copy under the temporary name is the only one of the page once the old file is
// gone: it is never deleted while the name lacks the page, and the run says where it is.
TEST(AtomicUpload, OnceTheOldFileIsGoneItsNewCopyStaysUntilTheNameHoldsIt) {
    struct TRow {
        const char* what;
        std::function<void(TFtpScriptServer&)> script;
        TStrings changes;
        const char* missing; // " is missing on the server", " may be missing on the server"
    };
    const TRow rows[] = {
        {"renamed neither way, and refused straight too",
         [](auto& s) {
             s.On("RNTO").Reply("553 Not allowed");
             s.On("STOR").Arg("/www/a.html").Refuse("553 Not allowed");
         },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/a.html", "RNFR /www/TMP",
          "RNTO /www/a.html", "STOR /www/a.html"},
         " is missing on the server"},
        {"the session lost right after the delete",
         [](auto& s) {
             s.On("RNTO").Uses(1).Reply("553 Not allowed");
             s.On("DELE")
                 .Arg("/www/a.html")
                 .Reply("250 Deleted")
                 .CloseControl(TFtpRule::CloseAfterReply);
         },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/a.html"},
         " is missing on the server"},
        {"the session lost before the delete was answered",
         [](auto& s) {
             s.On("RNTO").Uses(1).Reply("553 Not allowed");
             s.On("DELE").Arg("/www/a.html").CloseControl(TFtpRule::CloseBeforeReply);
         },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/a.html"},
         " may be missing on the server"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.what);
        TTempTree tree;
        tree.File("a.html", std::string(5000, 'p'));
        TFtpScriptServer server;
        row.script(server);
        TAtomicForm form(server, tree);
        form.AddLocal("a.html");
        form.AddRemote("a.html");
        form.Update();
        EXPECT_EQ(Changes(server), row.changes);
        const std::string temporary = FirstTemporary(server);
        ASSERT_FALSE(temporary.empty());
        EXPECT_EQ(server.Stored().count("/www/" + temporary), 1u);
        EXPECT_TRUE(form.updateFailed);
        const std::string said =
            "/a.html" + std::string(row.missing) + ": its new copy is /" + temporary + " (";
        EXPECT_TRUE(std::any_of(form.updateFailures.begin(), form.updateFailures.end(),
                                [&](const std::string& f) { return f.starts_with(said); }))
            << said << " in " << ::testing::PrintToString(form.updateFailures);
    }
}

// A server that refuses our temporary names (one that forbids names with a leading dot,
// or limits their length) takes the files under their own names: the run goes on with
// direct uploads and says so once.
TEST(AtomicUpload, ARefusedTemporaryNameSendsTheFileStraightToItsName) {
    for (const char* refusal : {"553 Prohibited file name", "550 Permission denied"}) {
        SCOPED_TRACE(refusal);
        TTempTree tree;
        tree.File("a.html", "a");
        tree.File("b.html", "b");
        TFtpScriptServer server;
        server.On("STOR").Uses(1).Refuse(refusal);
        TAtomicForm form(server, tree);
        form.AddLocal("a.html");
        form.AddLocal("b.html");
        form.Update();
        EXPECT_EQ(Changes(server), (TStrings{"STOR /www/TMP", "DELE /www/TMP", "STOR /www/a.html",
                                             "STOR /www/b.html"}));
        EXPECT_EQ(server.Stored(),
                  (std::map<std::string, std::string>{{"/www/a.html", "a"}, {"/www/b.html", "b"}}));
        EXPECT_EQ(form.Traced("The server refused the temporary name of /a.html (" +
                              std::string(refusal) +
                              "): uploads go straight to their names for the rest of the session"),
                  1);
        EXPECT_FALSE(form.updateFailed) << form.updateFailures.front();
    }
}

// A Stop that comes while the old file is being deleted waits for the rename: the page is
// back under its name before the run ends as stopped.
TEST(AtomicUpload, AStopBetweenTheDeleteAndTheRenameWaitsForTheRename) {
    TTempTree tree;
    tree.File("a.html", "new page");
    tree.File("b.html", "next page");
    TFtpScriptServer server;
    server.On("RNTO").Uses(1).Reply("553 File exists");
    server.On("DELE").Arg("/www/a.html").Delay(600).Reply("250 Deleted");
    TAtomicForm form(server, tree);
    form.AddLocal("a.html");
    form.AddLocal("b.html");
    form.AddRemote("a.html");
    form.AddRemote("b.html");
    QTimer::singleShot(300, [&] {
        form.session.Stop();
        form.userStop = true;
    });
    form.Update();
    EXPECT_EQ(Changes(server), (TStrings{"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html",
                                         "DELE /www/a.html", "RNFR /www/TMP", "RNTO /www/a.html"}));
    EXPECT_EQ(server.Stored(), (std::map<std::string, std::string>{{"/www/a.html", "new page"}}));
    EXPECT_TRUE(form.updateFailed);
    EXPECT_EQ(form.view.statuses.back(), "Transfer canceled. You MAY have to reconnect.");
}

// A run cut off leaves its temporary file: the next run that may delete removes it, after
// its uploads; one that may not keeps it, and says so.
TEST(AtomicUpload, AnUploadCutOffWithTheSessionIsRemovedOnlyByARunThatMayDelete) {
    TTempTree tree;
    tree.File("a.html", "page");
    TFtpScriptServer server;
    server.On("STOR").Uses(1).CloseControl(TFtpRule::CloseBeforeReply);
    TAtomicForm form(server, tree);
    form.AddLocal("a.html");
    form.Update();
    ASSERT_FALSE(form.connected);
    EXPECT_EQ(Changes(server), TStrings{"STOR /www/TMP"});
    const std::string leftover = FirstTemporary(server);
    ASSERT_FALSE(leftover.empty());

    // The next run finds it: not an entry of the site.
    const std::string lookalike = ".pelmora-upload.notes"; // a name of the user's
    server.SetListing("-rw-r--r-- 1 o g 4 Jan  5  2020 " + leftover + "\r\n" +
                      "-rw-r--r-- 1 o g 4 Jan  5  2020 " + lookalike + "\r\n");
    form.Connect();
    ASSERT_TRUE(form.connected);
    size_t before = server.Commands().size();
    ASSERT_TRUE(form.LoadRemoteDirectory());
    ASSERT_EQ(form.remoteList.Count(), 1);
    EXPECT_EQ(form.remoteList.Strings(0), "/" + lookalike);
    EXPECT_EQ(form.remoteLoad.leftovers, TStrings{"/" + leftover});
    // Deleting is off: nothing is deleted, the leftover neither.
    EXPECT_TRUE(form.UpdatePlan() == TStrings{"upload /a.html"})
        << ::testing::PrintToString(form.UpdatePlan());
    form.Update();
    auto changesFrom = [&](size_t first) {
        TStrings changes;
        const TStrings all = server.Commands();
        for (size_t i = first; i < all.size(); ++i)
            if (all[i].starts_with("DELE ") || all[i].starts_with("STOR "))
                changes.push_back(all[i]);
        return changes;
    };
    for (const std::string& change : changesFrom(before))
        EXPECT_FALSE(change.starts_with("DELE ")) << change;
    EXPECT_EQ(form.Traced("Left-over temporary files stay on the server, as this run deletes "
                          "nothing: /" +
                          leftover),
              1);
    EXPECT_FALSE(form.updateFailed) << form.updateFailures.front();
    EXPECT_EQ(form.remoteLoad.leftovers, TStrings{"/" + leftover});

    // Deleting on: the plan names it, and it goes last.
    form.options.mayDelete = true;
    form.AnalyseLists();
    const TStrings plan = form.UpdatePlan();
    ASSERT_FALSE(plan.empty());
    EXPECT_EQ(plan.back(), "delete /" + leftover + " (left over by a run that was cut off)");
    before = server.Commands().size();
    form.UpdateRemote();
    const TStrings changes = changesFrom(before);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back(), "DELE /www/" + leftover);
    EXPECT_EQ(form.Traced("Removed a left-over temporary file: /" + leftover), 1);
}

// A leftover may be the only copy of its page that the server has: while the page cannot
// be stored again, a run that may delete keeps it.
TEST(AtomicUpload, ALeftoverOfAPageThatCouldNotBeStoredStays) {
    TTempTree tree;
    tree.File("a.html", "page");
    tree.File("b.html", "other");
    TFtpScriptServer server;
    const std::string leftover = TemporaryNameFor("a.html", 0x1234abcdU);
    const std::string other = TemporaryNameFor("b.html", 0x1234abcdU);
    server.SetListing("-rw-r--r-- 1 o g 4 Jan  5  2020 " + leftover + "\r\n" +
                      "-rw-r--r-- 1 o g 4 Jan  5  2020 " + other + "\r\n");
    server.On("STOR").Reply("451 Local error in processing");
    TAtomicForm form(server, tree);
    form.AddLocal("a.html");
    form.AddLocal("b.html");
    form.options.mayDelete = true;
    ASSERT_TRUE(form.connected);
    ASSERT_TRUE(form.LoadRemoteDirectory());
    EXPECT_EQ(form.remoteLoad.leftovers, (TStrings{"/" + leftover, "/" + other}));
    form.AnalyseLists();
    form.UpdateRemote();
    EXPECT_TRUE(form.updateFailed);
    // Both uploads failed (the parts they left went): neither earlier copy is removed.
    for (const std::string& command : server.Commands()) {
        EXPECT_NE(command, "DELE /www/" + leftover);
        EXPECT_NE(command, "DELE /www/" + other);
    }
    EXPECT_EQ(form.Traced("Kept a left-over temporary file, as its page could not be stored: /" +
                          leftover),
              1);
}

// A file of the user's that happens to bear our temporary shape is theirs: the disk keeps
// it, it is not sent, and its server copy is not taken for a leftover of ours.
TEST(AtomicUpload, AFileOfTheDiskWithOurTemporaryNameIsNeitherSentNorRemoved) {
    const std::string name = TemporaryNameFor("a.html", 0x0badcafe);
    TTempTree tree;
    tree.File(name, "the user's");
    TFtpScriptServer server;
    server.SetListing("-rw-r--r-- 1 o g 4 Jan  5  2020 " + name + "\r\n");
    TAtomicForm form(server, tree);
    form.options.mayDelete = true;
    ASSERT_TRUE(form.LoadLocalDirectory());
    EXPECT_EQ(form.localList.Count(), 0);
    ASSERT_TRUE(form.LoadRemoteDirectory());
    EXPECT_EQ(form.remoteLoad.leftovers, TStrings{"/" + name});
    const size_t before = server.Commands().size();
    form.Update();
    const TStrings all = server.Commands();
    for (size_t i = before; i < all.size(); ++i) {
        EXPECT_FALSE(all[i].starts_with("DELE ")) << all[i];
        EXPECT_FALSE(all[i].starts_with("STOR ")) << all[i];
    }
    EXPECT_EQ(form.Traced("Kept a file with the name of a Pelmora temporary file: /" + name +
                          " (the disk still has it)"),
              1);
    EXPECT_FALSE(form.updateFailed) << form.updateFailures.front();
}
