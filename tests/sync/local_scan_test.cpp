#include "sync/sync_core.h"
#include "tests/support/temp_tree.h"
#include "toolkit/messages.h"
#include "toolkit/text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

using namespace pelmora;
using pelmora::testing::TTempTree;
namespace fs = std::filesystem;

namespace {

// The core with a dialog that answers as the test says, and a record of every status.
class TScanForm : public TSyncCore {
public:
    TScanForm() {
        Panel1.Subscribe([this] { statuses.push_back(Panel1.Caption()); });
    }
    std::vector<std::string> statuses;
    int dialogResult = 1;
    std::string dialogChoice;

    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (int i = 0; i < localList.Count(); ++i)
            keys.push_back(localList.Strings(i));
        return keys;
    }
    const TDetail& Entry(int i) const { return *static_cast<TDetail*>(localList.Objects(i)); }
    int IndexOf(const std::string& key) const { return localList.IndexOf(key); }

protected:
    int ShowDirDialog(std::string& chosen) override {
        chosen = dialogChoice;
        return dialogResult;
    }
};

bool Load(TScanForm& form, const std::string& root) {
    form.Label5.SetCaption(root);
    return form.LoadLocalDirectory();
}

// Runs `action` from the event loop the next time the walk processes messages.
class TDuringWalk {
public:
    explicit TDuringWalk(std::function<void()> action)
        : window_([action = std::move(action)](TMessage&) { action(); }) {
        PostMessage(window_.Handle(), WM_USER + 2, 0, 0);
    }

private:
    TNotifyWindow window_;
};

} // namespace

TEST(LocalScan, WalksTheRootDirectoriesFirstInNameOrderAndKeepsTreeAndListInStep) {
    TTempTree t;
    t.File("z.txt", "z");
    t.File("c.txt");
    t.File("B/inner.htm", "x");
    t.File("a/Sub/deep.css");
    t.File("a/x.png");
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    const auto keys = form.Keys();
    ASSERT_EQ(keys.size(), 8u);
    // Root level: a (with its content), B (with its content), c.txt, z.txt. Deeper levels
    // come in the order the system lists them, so only their membership is fixed.
    EXPECT_EQ(keys[0], "/A");
    EXPECT_EQ(keys[4], "/B");
    EXPECT_EQ(keys[5], "/B/INNER.HTM");
    EXPECT_EQ(keys[6], "/C.TXT");
    EXPECT_EQ(keys[7], "/Z.TXT");
    for (const char* key : {"/A/SUB", "/A/SUB/DEEP.CSS", "/A/X.PNG"})
        EXPECT_GE(form.IndexOf(key), 1) << key;
    EXPECT_LT(form.IndexOf("/A/SUB"), form.IndexOf("/A/SUB/DEEP.CSS"));

    // Node i is entry i: same caption, parent is the entry of its directory.
    ASSERT_EQ(form.localTree.Count(), form.localList.Count());
    for (int i = 0; i < form.localList.Count(); ++i) {
        const TDetail& e = form.Entry(i);
        const auto& node = form.localTree.Node(i);
        EXPECT_EQ(node.Text, e.name);
        EXPECT_EQ(node.StateIndex, e.kind == kindDirectory ? imageDirectory : imageFile);
        const std::string parentKey =
            node.Parent == TTreeModel::NoNode ? "" : form.localList.Strings(node.Parent);
        EXPECT_EQ(parentKey, UpperAscii(e.dir));
        EXPECT_EQ(form.localList.Strings(i), EntryKey(e.dir, e.name));
    }
    EXPECT_EQ(form.Entry(form.IndexOf("/A/SUB/DEEP.CSS")).dir, "/a/Sub");
    EXPECT_EQ(form.Entry(0).dir, "");
    EXPECT_EQ(form.recurseLevel, 0);
    EXPECT_EQ(form.recurseDir, "");
    EXPECT_TRUE(form.localLoadComplete);
    EXPECT_EQ(form.statuses.back(), "Local Directory Loaded - Press Connect");
    EXPECT_EQ(form.statuses[form.statuses.size() - 2], "Loading Local Directory: 7");
}

TEST(LocalScan, TakesHiddenEmptyBlankAndUtf8NamesAndDatesToTheSecond) {
    TTempTree t;
    t.File(".htaccess", "deny");
    t.File("empty.txt");
    t.File("my docs/read me.txt", "r");
    t.File("café/thé.html", "t");
    t.SetTime("empty.txt", 2021, 3, 4, 5, 6, 7);
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    for (const char* key : {"/.HTACCESS", "/EMPTY.TXT", "/MY DOCS", "/MY DOCS/READ ME.TXT", "/CAFé",
                            "/CAFé/THé.HTML"})
        EXPECT_GE(form.IndexOf(key), 0) << key;
    const TDetail& empty = form.Entry(form.IndexOf("/EMPTY.TXT"));
    EXPECT_EQ(empty.kind, kindFile);
    EXPECT_EQ(empty.date, *EncodeDate(2021, 3, 4) + *EncodeTime(5, 6, 7));
    EXPECT_EQ(form.Entry(form.IndexOf("/MY DOCS")).kind, kindDirectory);
}

TEST(LocalScan, FollowsLinksButNotIntoLoopsAndLeavesDanglingLinksOut) {
    TTempTree t;
    t.File("real/page.html", "p");
    fs::create_directory_symlink(t.Path("real"), t.Path("alias"));
    fs::create_symlink(t.Path("real/page.html"), t.Path("page-link.html"));
    fs::create_symlink(t.Path("nowhere"), t.Path("dangling"));
    fs::create_directory_symlink("..", t.Path("real/up"));
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    EXPECT_EQ(form.IndexOf("/DANGLING"), -1);
    EXPECT_EQ(form.Entry(form.IndexOf("/PAGE-LINK.HTML")).kind, kindFile);
    EXPECT_GE(form.IndexOf("/ALIAS/PAGE.HTML"), 0) << "a link to a directory is walked";
    // real/up leads back to the root: recorded, never entered.
    const int up = form.IndexOf("/REAL/UP");
    ASSERT_GE(up, 0);
    EXPECT_EQ(form.IndexOf("/REAL/UP/REAL"), -1);
    EXPECT_EQ(form.localList.Count(), 7);
}

TEST(LocalScan, RecordsADirectoryPastThePathLimitWithoutItsContent) {
    TTempTree t;
    const std::string a(100, 'a'), b(100, 'b'), c(60, 'c');
    t.File(a + "/" + b + "/" + c + "/inside.txt");
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    ASSERT_EQ(form.localList.Count(), 3);
    EXPECT_EQ(form.Entry(2).name, c);
    EXPECT_EQ(form.recurseDir, "");
}

TEST(LocalScan, ADirectoryThatCannotBeEnteredKeepsItsEntryAndTheLevelGoesOn) {
    TTempTree t;
    t.File("a/one.txt");
    t.File("b/two.txt");
    t.File("c.txt");
    TScanForm form;
    // After the walk of a, b disappears before the walk gets to it.
    TDuringWalk remove([&] { fs::remove_all(t.Path("b")); });
    ASSERT_TRUE(Load(form, t.Path()));
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/A", "/A/ONE.TXT", "/B", "/C.TXT"}));
    EXPECT_FALSE(form.localLoadComplete);
    EXPECT_NE(std::find(form.statuses.begin(), form.statuses.end(),
                        "Could not change to local directory: b"),
              form.statuses.end());
    EXPECT_EQ(form.recurseLevel, 0);
}

TEST(LocalScan, StopKeepsWhatWasFoundAndMarksTheLoadIncomplete) {
    TTempTree t;
    for (const char* f : {"a/1", "b/2", "c/3", "d.txt"})
        t.File(f);
    TScanForm form;
    TDuringWalk stop([&] { form.userStop = true; });
    ASSERT_TRUE(Load(form, t.Path())) << "a stopped walk still counts as loaded";
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/A", "/A/1"}));
    EXPECT_FALSE(form.localLoadComplete);
    EXPECT_EQ(form.recurseLevel, 0);
    EXPECT_EQ(form.statuses.back(), "Local Directory Loaded - Press Connect");
}

TEST(LocalScan, AMissingRootLeavesThePreviousTreeAndSaysSo) {
    TTempTree t;
    t.File("kept.txt");
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    EXPECT_FALSE(Load(form, t.Path("missing")));
    EXPECT_EQ(form.statuses.back(), "Could not change to local directory: " + t.Path("missing"));
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/KEPT.TXT"}));
    EXPECT_EQ(form.localTree.Count(), 1);
}

TEST(LocalScan, ARelativeRootIsMadeAbsoluteOnce) {
    TTempTree t;
    t.File("site/index.html");
    const auto previous = fs::current_path();
    fs::current_path(t.Path());
    TScanForm form;
    const bool loaded = Load(form, "site/");
    fs::current_path(previous);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(form.Label5.Caption(), t.Path("site"));
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/INDEX.HTML"}));
}

TEST(ChangeButton, LoadsTheChosenDirectoryOrChangesNothingOnCancel) {
    TTempTree t;
    t.Dir("empty");
    TScanForm form;
    form.dialogChoice = t.Path("empty");
    form.dialogResult = 2;
    form.Button4Click();
    EXPECT_EQ(form.Label5.Caption(), "");
    EXPECT_TRUE(form.statuses.empty());

    form.dialogResult = 1;
    form.Button4Click();
    EXPECT_EQ(form.Label5.Caption(), t.Path("empty"));
    EXPECT_EQ(form.statuses.back(), "Local Directory Loaded: 0");
    EXPECT_TRUE(form.Button4.Enabled());
    EXPECT_TRUE(form.connectBtn.Enabled());
    EXPECT_FALSE(form.compareBtn.Enabled()) << "no remote tree to compare with";

    form.localLoading = true;
    form.dialogChoice = "/";
    form.Button4Click();
    EXPECT_EQ(form.Label5.Caption(), t.Path("empty")) << "refused while a load runs";
}

TEST(Entries, KeysAndFreeEntriesProgress) {
    EXPECT_EQ(EntryKey("", "readme.txt"), "/README.TXT");
    EXPECT_EQ(EntryKey("/Docs", "Index.html"), "/DOCS/INDEX.HTML");
    EXPECT_EQ(EntryKey("/" + std::string(300, 'd'), "x").size(), 255u);

    TScanForm form;
    std::vector<int> positions;
    int shows = 0;
    form.ProgressBar1.Subscribe([&] {
        positions.push_back(form.ProgressBar1.Position());
        shows += form.ProgressBar1.Visible() ? 1 : 0;
    });
    form.FreeEntries(form.localList);
    EXPECT_FALSE(form.ProgressBar1.Visible());
    EXPECT_EQ(form.localList.Count(), 0);
    EXPECT_EQ(TSyncCore::ProgressOf(0, 1), 100);
    EXPECT_EQ(TSyncCore::ProgressOf(1, 3), 50);
    EXPECT_EQ(TSyncCore::ProgressOf(2, 3), 100);
    EXPECT_EQ(TSyncCore::ProgressOf(1, 4), 33);
}
