#include "sync/sync_core.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"
#include "toolkit/messages.h"
#include "toolkit/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelmora;
using pelmora::testing::TTempTree;
namespace fs = std::filesystem;

namespace {

// The engine with a dialog that answers as the test says, and a record of what it shows.
class TScanForm : public pelmora::testing::TRecordedEngine {
public:
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (int i = 0; i < localList.Count(); ++i)
            keys.push_back(localList.Strings(i));
        return keys;
    }
    const TDetail& Entry(int i) const { return *static_cast<TDetail*>(localList.Objects(i)); }
    int IndexOf(const std::string& key) const { return localList.IndexOf(key); }
};

bool Load(TScanForm& form, const std::string& root) {
    form.options.localRoot = root;
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
    EXPECT_EQ(keys[0], "/a");
    EXPECT_EQ(keys[4], "/B");
    EXPECT_EQ(keys[5], "/B/inner.htm");
    EXPECT_EQ(keys[6], "/c.txt");
    EXPECT_EQ(keys[7], "/z.txt");
    for (const char* key : {"/a/Sub", "/a/Sub/deep.css", "/a/x.png"})
        EXPECT_GE(form.IndexOf(key), 1) << key;
    EXPECT_LT(form.IndexOf("/a/Sub"), form.IndexOf("/a/Sub/deep.css"));

    // Node i is entry i: same caption, parent is the entry of its directory.
    ASSERT_EQ(form.localTree.Count(), form.localList.Count());
    for (int i = 0; i < form.localList.Count(); ++i) {
        const TDetail& e = form.Entry(i);
        const auto& node = form.localTree.Node(i);
        EXPECT_EQ(node.Text, e.name);
        EXPECT_EQ(node.StateIndex, e.kind == kindDirectory ? markDirectory : markFile);
        const std::string parentKey =
            node.Parent == TTreeModel::NoNode ? "" : form.localList.Strings(node.Parent);
        EXPECT_EQ(parentKey, e.dir);
        EXPECT_EQ(form.localList.Strings(i), EntryKey(e.dir, e.name));
    }
    EXPECT_EQ(form.Entry(form.IndexOf("/A/SUB/DEEP.CSS")).dir, "/a/Sub");
    EXPECT_EQ(form.Entry(0).dir, "");
    EXPECT_EQ(form.recurseLevel, 0);
    EXPECT_EQ(form.recurseDir, "");
    EXPECT_TRUE(form.localScan.complete);
    EXPECT_EQ(form.view.statuses.back(), "Local Directory Loaded - Press Connect");
    EXPECT_EQ(form.view.statuses[form.view.statuses.size() - 2], "Loading Local Directory: 7");
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

TEST(LocalScan, FollowsLinksButNotIntoLoopsAndKeepsWhatItCannotSend) {
    TTempTree t;
    t.File("real/page.html", "p");
    fs::create_directory_symlink(t.Path("real"), t.Path("alias"));
    fs::create_symlink(t.Path("real/page.html"), t.Path("page-link.html"));
    fs::create_directory_symlink("..", t.Path("real/up"));
    ASSERT_EQ(::mkfifo(t.Path("pipe").c_str(), 0600), 0);
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    EXPECT_EQ(form.Entry(form.IndexOf("/page-link.html")).kind, kindFile);
    EXPECT_GE(form.IndexOf("/alias/page.html"), 0) << "a link to a directory is walked";
    // real/up leads back to the root: recorded, never entered, and what the server has
    // inside it is not taken for deleted.
    ASSERT_GE(form.IndexOf("/real/up"), 0);
    EXPECT_EQ(form.IndexOf("/real/up/real"), -1);
    std::vector<std::string> notWalked = form.localScan.notWalked;
    std::sort(notWalked.begin(), notWalked.end());
    EXPECT_EQ(notWalked, (std::vector<std::string>{"/alias/up", "/real/up"}));
    // A pipe is passed over without being opened (opening it would wait for a writer),
    // and its server copy is kept.
    EXPECT_EQ(form.IndexOf("/pipe"), -1);
    EXPECT_EQ(form.localScan.kept, (std::vector<std::string>{"/pipe"}));
    EXPECT_EQ(form.localList.Count(), 7);
    EXPECT_TRUE(form.localScan.complete);
}

TEST(LocalScan, ALinkThatLeadsNowhereMakesTheLoadIncomplete) {
    // A link to a disk that is not mounted looks exactly like this.
    TTempTree t;
    t.File("index.html");
    fs::create_directory_symlink("/nonexistent-volume/site-part", t.Path("part"));
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/index.html"}));
    EXPECT_FALSE(form.localScan.complete);
    EXPECT_EQ(form.localScan.kept, (std::vector<std::string>{"/part"}));
    EXPECT_EQ(form.localScan.problems,
              (std::vector<std::string>{"Local link could not be followed: /part"}));
}

TEST(LocalScan, APathPastTheLimitIsLeftOutKeptAndReportedNeverCut) {
    // Built with openat, since the whole path is longer than the system takes at once.
    TTempTree t;
    const std::string part(250, 'd');
    int fd = ::open(t.Path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 17; ++depth) {
        ASSERT_EQ(::mkdirat(fd, part.c_str(), 0700), 0);
        const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(::openat(fd, "deep.txt", O_CREAT | O_WRONLY, 0600));
    ::close(fd);
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    ASSERT_EQ(form.localList.Count(), 16) << "16 levels of 251 bytes fit in 4096, the 17th not";
    for (int i = 0; i < form.localList.Count(); ++i)
        EXPECT_EQ(form.localList.Strings(i).size(), 251u * static_cast<size_t>(i + 1));
    ASSERT_EQ(form.localScan.kept.size(), 1u);
    EXPECT_EQ(form.localScan.kept[0].size(), 251u * 17);
    ASSERT_EQ(form.localScan.problems.size(), 1u);
    EXPECT_EQ(form.localScan.problems[0].rfind("Local path too long, not sent: ", 0), 0u);
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
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/one.txt", "/b", "/c.txt"}));
    EXPECT_FALSE(form.localScan.complete);
    EXPECT_NE(std::find(form.view.statuses.begin(), form.view.statuses.end(),
                        "Could not change to local directory: b"),
              form.view.statuses.end());
    EXPECT_EQ(form.recurseLevel, 0);
}

TEST(LocalScan, StopKeepsWhatWasFoundAndMarksTheLoadIncomplete) {
    TTempTree t;
    for (const char* f : {"a/1", "b/2", "c/3", "d.txt"})
        t.File(f);
    TScanForm form;
    TDuringWalk stop([&] { form.userStop = true; });
    ASSERT_TRUE(Load(form, t.Path())) << "a stopped walk still counts as loaded";
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/1"}));
    EXPECT_FALSE(form.localScan.complete);
    EXPECT_EQ(form.recurseLevel, 0);
    EXPECT_EQ(form.view.statuses.back(), "Local Directory Loaded - Press Connect");
}

TEST(LocalScan, AMissingRootLeavesThePreviousTreeAndSaysSo) {
    TTempTree t;
    t.File("kept.txt");
    TScanForm form;
    ASSERT_TRUE(Load(form, t.Path()));
    EXPECT_FALSE(Load(form, t.Path("missing")));
    EXPECT_EQ(form.view.statuses.back(),
              "Could not change to local directory: " + t.Path("missing"));
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/kept.txt"}));
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
    EXPECT_EQ(form.options.localRoot, t.Path("site"));
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/index.html"}));
}

TEST(ChangeButton, LoadsTheChosenDirectoryOrChangesNothingOnCancel) {
    TTempTree t;
    t.Dir("empty");
    TScanForm form;
    form.view.dialogChoice = t.Path("empty");
    form.view.dialogAnswers = false;
    form.ChangeLocal();
    EXPECT_EQ(form.options.localRoot, "");
    EXPECT_TRUE(form.view.statuses.empty());

    form.view.dialogAnswers = true;
    form.ChangeLocal();
    EXPECT_EQ(form.options.localRoot, t.Path("empty"));
    EXPECT_EQ(form.view.statuses.back(), "Local Directory Loaded: 0");
    EXPECT_TRUE(form.view.Enabled(TSyncAction::LocalChange));
    EXPECT_TRUE(form.view.Enabled(TSyncAction::Connect));
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Compare)) << "no remote tree to compare with";

    form.localLoading = true;
    form.view.dialogChoice = "/";
    form.ChangeLocal();
    EXPECT_EQ(form.options.localRoot, t.Path("empty")) << "refused while a load runs";
}

TEST(Entries, KeysAndFreeEntriesProgress) {
    EXPECT_EQ(EntryKey("", "readme.txt"), "/readme.txt");
    EXPECT_EQ(EntryKey("/Docs", " Index.html "), "/Docs/ Index.html ");
    EXPECT_EQ(EntryKey("/" + std::string(300, 'd'), "x").size(), 303u) << "never cut";
    EXPECT_EQ(FoldedKey("/Docs/CAF\xc3\x89.html"), "/docs/caf\xc3\xa9.html");
    EXPECT_NE(FoldedKey("/caf\xe9.html"), FoldedKey("/caf\xe8.html"))
        << "bytes that are not UTF-8 fold as ASCII only";
    EXPECT_TRUE(PathInside("/a/b", "/a"));
    EXPECT_TRUE(PathInside("/a", "/a"));
    EXPECT_FALSE(PathInside("/ab", "/a"));

    TScanForm form;
    form.FreeEntries(form.localList);
    EXPECT_FALSE(form.view.stepShown);
    EXPECT_EQ(form.localList.Count(), 0);
    EXPECT_EQ(TSyncCore::ProgressOf(0, 1), 100);
    EXPECT_EQ(TSyncCore::ProgressOf(1, 3), 50);
    EXPECT_EQ(TSyncCore::ProgressOf(2, 3), 100);
    EXPECT_EQ(TSyncCore::ProgressOf(1, 4), 33);
}

TEST(LocalScan, LeavesOutWhatTheIgnoreFileAndTheExcludesNameWithoutWalkingIt) {
    TTempTree t;
    t.File(".pelmoraignore", "*.bak\n# comment\nbuild/\n!keep.bak\n");
    t.File("index.html");
    t.File("old.bak");
    t.File("keep.bak");
    t.File(".git/config");
    t.File("build/out.js");
    t.File("docs/build", "a file, not the directory the pattern names");
    t.File("drafts/a.html");
    t.File("private/key.txt");
    TScanForm form;
    form.options.excludes = {"/drafts", "private/"};
    ASSERT_TRUE(Load(form, t.Path()));
    std::vector<std::string> keys = form.Keys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"/docs", "/docs/build", "/index.html", "/keep.bak"}));
    EXPECT_TRUE(form.localScan.complete);
    EXPECT_TRUE(form.localScan.problems.empty());
}
