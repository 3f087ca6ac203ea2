#include "sync/compare.h"
#include "sync/sync_core.h"
#include "tests/support/recording_view.h"
#include "toolkit/date_time.h"

#include <gtest/gtest.h>

#include <QTimer>

using namespace pelmora;
using pelmora::testing::TRecordedEngine;

namespace {

struct TSpec {
    const char* path; // "/A/B.HTM"-like relative path with the entry's own case
    uint8_t kind;
    double date;
    long long size = -1;
};

// Builds one side's master list and tree from paths in pre-order.
void Fill(TSyncCore& form, TStringList& list, TTreeModel& tree, const std::vector<TSpec>& specs) {
    std::vector<std::pair<std::string, int>> dirNodes; // dir path -> node
    for (const TSpec& s : specs) {
        const std::string path = s.path;
        const size_t slash = path.rfind('/');
        auto* d = new TDetail;
        d->kind = s.kind;
        d->dir = path.substr(0, slash);
        d->name = path.substr(slash + 1);
        d->date = s.date;
        d->time = pelmora::testing::ExactTime(s.date);
        d->size = s.size;
        int parent = TTreeModel::NoNode;
        for (const auto& [p, node] : dirNodes)
            if (p == d->dir)
                parent = node;
        const int node = form.AddEntry(list, tree, d, parent);
        if (s.kind == kindDirectory)
            dirNodes.emplace_back(path, node);
    }
}

const TDetail& At(const TStringList& list, int i) {
    return *static_cast<TDetail*>(list.Objects(i));
}

constexpr uint8_t D = kindDirectory;
constexpr uint8_t F = kindFile;

} // namespace

TEST(Compare, MarksEveryEntryAndIconOnAServerThatIgnoresCase) {
    TRecordedEngine form;
    form.caseFolding = true;
    Fill(form, form.localList, form.localTree,
         {{"/A", D, 10},
          {"/A/B.HTM", F, 20},
          {"/A/same.txt", F, 20},
          {"/N", D, 5},
          {"/N/F.txt", F, 5},
          {"/old.txt", F, 5},
          {"/Été.txt", F, 1},
          {"/cut.bin", F, 1, 100}});
    Fill(form, form.remoteList, form.remoteTree,
         {{"/a", D, 1},
          {"/a/b.htm", F, 10},
          {"/a/same.txt", F, 20},
          {"/gone", D, 1},
          {"/gone/x", F, 1},
          {"/old.txt", F, 9},
          {"/été.TXT", F, 1},
          {"/cut.bin", F, 9, 40},
          {"/OLD.TXT", F, 1}});
    const auto& statuses = form.view.statuses;
    form.CompareSides();

    struct Expect {
        int i;
        uint8_t action;
        int mark;
    };
    for (const Expect& e :
         {Expect{0, actionRemain, markDirectory}, Expect{1, actionUpdate, markRefresh},
          Expect{2, actionRemain, markSame}, Expect{3, actionCreate, markCreate},
          Expect{4, actionUpload, markUpload}, Expect{5, actionRemain, markSame},
          Expect{6, actionRemain, markSame}, Expect{7, actionUpdate, markRefresh}}) {
        EXPECT_EQ(At(form.localList, e.i).action, e.action) << form.localList.Strings(e.i);
        EXPECT_EQ(form.localTree.Node(e.i).StateIndex, e.mark) << form.localList.Strings(e.i);
    }
    // Remote side: partners matched with the same mark, the rest marked for deletion;
    // the second line with an equal key is no partner.
    for (const Expect& e :
         {Expect{0, actionNone, markDirectory}, Expect{1, actionNone, markRefresh},
          Expect{3, actionRemove, markDelete}, Expect{4, actionDelete, markDelete},
          Expect{6, actionNone, markSame}, Expect{8, actionDelete, markDelete}}) {
        EXPECT_EQ(At(form.remoteList, e.i).action, e.action) << form.remoteList.Strings(e.i);
        EXPECT_EQ(form.remoteTree.Node(e.i).StateIndex, e.mark) << form.remoteList.Strings(e.i);
    }
    EXPECT_TRUE(At(form.remoteList, 5).matched);
    EXPECT_FALSE(At(form.remoteList, 8).matched);
    EXPECT_EQ(statuses.front(), "Comparing: 8 Local and 9 Remote Files");
    EXPECT_EQ(statuses.back(), "Files Compared. Ready for Transfer");
    EXPECT_TRUE(form.view.Enabled(TSyncAction::Update));
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Stop));
    EXPECT_FALSE(form.view.stepShown);
}

TEST(Compare, EmptySidesAndASingleEntry) {
    TRecordedEngine onlyRemote;
    Fill(onlyRemote, onlyRemote.remoteList, onlyRemote.remoteTree, {{"/x", F, 1}, {"/d", D, 1}});
    onlyRemote.AnalyseLists();
    EXPECT_EQ(At(onlyRemote.remoteList, 0).action, actionDelete);
    EXPECT_EQ(At(onlyRemote.remoteList, 1).action, actionRemove);
    EXPECT_EQ(onlyRemote.Status(), "Files Compared. Ready for Transfer");

    TRecordedEngine single;
    Fill(single, single.localList, single.localTree, {{"/one", F, 1}});
    single.AnalyseLists();
    const auto& percents = single.view.stepPercents;
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.front(), 100) << "one entry shows 100 at once";
}

TEST(Compare, StopLeavesTheRestUnmarkedAndNothingForDeletion) {
    TRecordedEngine form;
    std::vector<TSpec> locals;
    std::vector<std::string> paths;
    for (int i = 0; i < 50; ++i)
        paths.push_back("/f" + std::to_string(i));
    for (const auto& p : paths)
        locals.push_back({p.c_str(), F, 1});
    Fill(form, form.localList, form.localTree, locals);
    Fill(form, form.remoteList, form.remoteTree, {{"/orphan", F, 1}});
    QTimer::singleShot(0, [&] { form.userStop = true; });
    form.CompareSides();
    EXPECT_EQ(form.Status(), "Compare stopped");
    EXPECT_EQ(form.view.stepPercents.back(), 0);
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Update));
    EXPECT_EQ(At(form.remoteList, 0).action, actionNone);
    EXPECT_EQ(At(form.localList, 49).action, actionNone);
}

TEST(Compare, NamesMatchByTheirExactBytesOnServersThatKeepCase) {
    TRecordedEngine form;
    Fill(form, form.localList, form.localTree,
         {{"/A.html", F, 5},
          {"/a.html", F, 5},
          {"/docs", D, 5},
          {"/docs/i.html", F, 5},
          {"/caf\xe9.html", F, 5},
          {"/docs ", D, 5}});
    Fill(form, form.remoteList, form.remoteTree,
         {{"/A.html", F, 9},
          {"/a.html", F, 9},
          {"/Docs", D, 9},
          {"/Docs/i.html", F, 9},
          {"/docs", D, 9},
          {"/docs/i.html", F, 9},
          {"/caf\xe8.html", F, 9},
          {"/caf\xe9.html", F, 9},
          {"/docs ", D, 9}});
    form.CompareSides();
    for (int i = 0; i < form.localList.Count(); ++i)
        EXPECT_EQ(At(form.localList, i).action, actionRemain) << form.localList.Strings(i);
    std::vector<std::string> deleted;
    for (int j = 0; j < form.remoteList.Count(); ++j)
        if (At(form.remoteList, j).action != actionNone)
            deleted.push_back(form.remoteList.Strings(j));
    EXPECT_EQ(deleted, (std::vector<std::string>{"/Docs", "/Docs/i.html", "/caf\xe8.html"}));
    EXPECT_TRUE(form.conflicts.empty());
}

TEST(Compare, ConflictsAreReportedAndNothingInsideThemIsTouched) {
    TRecordedEngine form;
    form.caseFolding = true;
    Fill(form, form.localList, form.localTree,
         {{"/A.html", F, 5}, // folds together with a.html: neither is sent
          {"/a.html", F, 5},
          {"/page", F, 5}, // a directory on the server
          {"/dir", D, 5},  // a file on the server
          {"/dir/x.html", F, 5},
          {"/home.html", F, 9}, // a link on the server: left alone
          {"/logs", D, 5},      // could not be listed on the server
          {"/logs/new.txt", F, 5},
          {"/new.html", F, 5}});
    Fill(form, form.remoteList, form.remoteTree,
         {{"/page", D, 1},
          {"/page/old.html", F, 1},
          {"/dir", F, 1},
          {"/home.html", kindLink, 1},
          {"/logs", D, 1},
          {"/a.html", F, 1},
          {"/stale.html", F, 1},
          {"/link", kindLink, 1}});
    form.remoteLoad.unlisted = {"/logs"};
    form.CompareSides();
    std::vector<std::string> acted;
    for (int i = 0; i < form.localList.Count(); ++i)
        if (At(form.localList, i).action != actionNone &&
            At(form.localList, i).action != actionRemain)
            acted.push_back(form.localList.Strings(i));
    for (int j = 0; j < form.remoteList.Count(); ++j)
        if (At(form.remoteList, j).action != actionNone)
            acted.push_back(form.remoteList.Strings(j));
    EXPECT_EQ(acted, (std::vector<std::string>{"/new.html", "/stale.html"}));
    EXPECT_EQ(form.conflicts,
              (std::vector<std::string>{
                  "/a.html: differs from /A.html only in letter case, which the server does not "
                  "tell apart",
                  "/page: a file here, a directory on the server",
                  "/dir: a directory here, a file on the server"}));
    EXPECT_EQ(At(form.localList, 5).action, actionRemain) << "a file under a server link stays";
}

TEST(CompareLists, GivesVerdictsAndPartnersAndChangesNothing) {
    TStringList local(false, true), remote(false, true);
    const auto add = [](TStringList& list, const char* path, uint8_t kind, double date,
                        long long size = -1) {
        const std::string p = path;
        auto* d = new TDetail;
        d->kind = kind;
        d->dir = p.substr(0, p.rfind('/'));
        d->name = p.substr(p.rfind('/') + 1);
        d->date = date;
        d->time = pelmora::testing::ExactTime(date);
        d->size = size;
        list.Add(p, d);
    };
    add(local, "/same.html", F, 5, 10);
    add(local, "/newer.html", F, 9, 10);
    add(local, "/cut.html", F, 1, 10);
    add(local, "/new", D, 1);
    add(remote, "/same.html", F, 5, 10);
    add(remote, "/newer.html", F, 5, 10);
    add(remote, "/cut.html", F, 9, 4);
    add(remote, "/old.html", F, 1);
    add(remote, "/link", kindLink, 1);
    TCompareRules rules;
    const TComparison c = CompareLists(local, remote, rules);
    struct Expect {
        uint8_t action;
        int mark;
        int partner;
    };
    const std::vector<Expect> localExpected = {{actionRemain, markSame, 0},
                                               {actionUpdate, markRefresh, 1},
                                               {actionUpdate, markRefresh, 2},
                                               {actionCreate, markCreate, -1}};
    for (size_t i = 0; i < localExpected.size(); ++i) {
        EXPECT_EQ(c.local[i].action, localExpected[i].action) << i;
        EXPECT_EQ(c.local[i].mark, localExpected[i].mark) << i;
        EXPECT_EQ(c.local[i].partner, localExpected[i].partner) << i;
    }
    EXPECT_EQ(c.remote[3].action, actionDelete);
    EXPECT_EQ(c.remote[3].mark, markDelete);
    EXPECT_EQ(c.remote[4].action, actionNone) << "a server link is never deleted";
    EXPECT_FALSE(c.remote[4].mark);
    for (int i = 0; i < local.Count(); ++i)
        EXPECT_EQ(At(local, i).action, actionNone) << "the lists are left as they were";
    for (int j = 0; j < remote.Count(); ++j)
        EXPECT_FALSE(At(remote, j).matched);
}

// An exclude of one kind ("foo/") leaves the other kind of the same name in on the other
// side: such a pair is a conflict, neither sent nor deleted. And whatever the compare
// says, the delete guard counts an excluded local entry as on the disk.
TEST(Compare, AnExcludedEntryAgainstTheOtherKindIsAConflict) {
    TRecordedEngine form;
    Fill(form, form.localList, form.localTree, {{"/page", F, 5}, {"/keep.html", F, 5}});
    Fill(form, form.remoteList, form.remoteTree,
         {{"/foo", F, 1}, {"/link", kindLink, 1}, {"/stale.html", F, 1}});
    form.localScan.excluded = {{"/foo", true}, {"/link", true}, {"/gone", true}};
    form.remoteLoad.excluded = {{"/page", true}};
    form.localScan.complete = true;
    form.CompareSides();
    std::vector<std::string> acted;
    for (int i = 0; i < form.localList.Count(); ++i)
        if (At(form.localList, i).action != actionNone)
            acted.push_back(form.localList.Strings(i));
    for (int j = 0; j < form.remoteList.Count(); ++j)
        if (At(form.remoteList, j).action != actionNone)
            acted.push_back(form.remoteList.Strings(j));
    EXPECT_EQ(acted, (std::vector<std::string>{"/keep.html", "/stale.html"}));
    EXPECT_EQ(form.conflicts, (std::vector<std::string>{
                                  "/foo: a directory here (excluded), a file on the server",
                                  "/page: a file here, a directory on the server (excluded)"}));
    EXPECT_EQ(PlanLines(form.MakeUpdatePlan()),
              (std::vector<std::string>{"delete /stale.html", "upload /keep.html"}));
    static_cast<TDetail*>(form.remoteList.Objects(0))->action = actionDelete;
    EXPECT_EQ(form.MakeUpdatePlan().kept,
              (std::vector<std::string>{"Not deleted: /foo (the disk still has it)"}));
}
