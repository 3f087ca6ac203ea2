// Uploads under a temporary name, renamed over the old file once whole: what goes over
// the wire, what each refusal of the rename leads to, and the temporary files a run that
// was cut off leaves for the next one.
#include "sync/sync_core.h"
#include "sync/temporary_names.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

using TStrings = std::vector<std::string>;

class TAtomicForm : public TRecordedEngine {
public:
    TAtomicForm(TFtpScriptServer& server, const TTempTree& tree) {
        options.timeoutMs = 5000;
        options.localRoot = tree.Path();
        options.remoteRoot = "/www";
        options.mayDelete = false;
        Ftp1.SetWinsockStarted(true);
        Ftp1.SetFtpServer("127.0.0.1");
        Ftp1.FtpPort = server.Port();
        Ftp1.UserName = "u";
        Ftp1.UserPassword = "p";
        Connect();
        localLoadComplete = true;
    }
    void Connect() {
        Ftp1.Connect();
        session.WaitFor(connected, 5000);
    }
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

// Where a rename is refused, the old page stays or the new one goes up; the temporary
// file never stays behind while the session stands.
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
        {"the second rename refused too",
         [](auto& s) { s.On("RNTO").Reply("553 Not allowed"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/a.html", "RNFR /www/TMP",
          "RNTO /www/a.html", "DELE /www/TMP"},
         "Could not upload: /a.html (553 Not allowed)"},
        {"a new file's name refused is no name that exists",
         [](auto& s) { s.On("RNTO").Reply("553 Not allowed"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "RNTO /www/a.html", "DELE /www/TMP"},
         "Could not upload: /a.html (553 Not allowed)",
         false},
        {"the temporary file gone before the rename",
         [](auto& s) { s.On("RNFR").Reply("550 No such file"); },
         {"STOR /www/TMP", "RNFR /www/TMP", "DELE /www/TMP"},
         "Could not upload: /a.html (550 No such file)"},
        {"the upload refused",
         [](auto& s) { s.On("STOR").Refuse("553 Could not create file"); },
         {"STOR /www/TMP", "DELE /www/TMP"},
         "Could not upload: /a.html ("},
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

TEST(AtomicUpload, AnUploadCutOffWithTheSessionIsRemovedByTheNextRunWithDeleteOff) {
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

    // The next run finds it: not an entry of the site, and gone before anything else.
    const std::string lookalike = ".pelmora-upload.notes"; // a name of the user's
    server.SetListing("-rw-r--r-- 1 o g 4 Jan  5  2020 " + leftover + "\r\n" +
                      "-rw-r--r-- 1 o g 4 Jan  5  2020 " + lookalike + "\r\n");
    form.Connect();
    ASSERT_TRUE(form.connected);
    const size_t before = server.Commands().size();
    ASSERT_TRUE(form.LoadRemoteDirectory());
    ASSERT_EQ(form.remoteList.Count(), 1);
    EXPECT_EQ(form.remoteList.Strings(0), "/" + lookalike);
    EXPECT_EQ(form.remoteLeftovers, TStrings{"/" + leftover});
    form.Update();
    TStrings changes;
    const TStrings all = server.Commands();
    for (size_t i = before; i < all.size(); ++i)
        if (all[i].starts_with("DELE ") || all[i].starts_with("STOR "))
            changes.push_back(all[i]);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.front(), "DELE /www/" + leftover);
    EXPECT_EQ(std::count(changes.begin(), changes.end(), "DELE /www/" + lookalike), 0);
    EXPECT_EQ(form.Traced("Removed a left-over temporary file: /" + leftover), 1);
    EXPECT_FALSE(form.updateFailed) << form.updateFailures.front();
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
    EXPECT_EQ(form.remoteLeftovers, TStrings{"/" + name});
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
