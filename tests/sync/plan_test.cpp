#include "sync/plan.h"

#include <gtest/gtest.h>

using namespace pelmora;

namespace {

void Add(TStringList& list, const std::string& path, uint8_t kind, uint8_t action) {
    auto* d = new TDetail;
    d->kind = kind;
    d->dir = path.substr(0, path.rfind('/'));
    d->name = path.substr(path.rfind('/') + 1);
    d->action = action;
    list.Add(path, d);
}

} // namespace

TEST(Plan, DeletesDeepestFirstThenDirectoriesThenUploadsAndKeepsWhatTheGuardRefuses) {
    TStringList local(false, true), remote(false, true);
    Add(local, "/new", kindDirectory, actionCreate);
    Add(local, "/new/a.html", kindFile, actionUpload);
    Add(local, "/index.html", kindFile, actionUpdate);
    Add(local, "/same.html", kindFile, actionRemain);
    Add(remote, "/old", kindDirectory, actionRemove);
    Add(remote, "/old/x.html", kindFile, actionDelete);
    Add(remote, "/logs", kindDirectory, actionRemove);
    Add(remote, "/logs/y.html", kindFile, actionDelete);
    Add(remote, "/same.html", kindFile, actionDelete); // a faulty verdict
    TDeleteGuard::TRules rules;
    rules.remoteUnlisted = {"/logs"};

    const TPlan plan = MakePlan(local, remote, true, rules);
    EXPECT_EQ(PlanLines(plan),
              (std::vector<std::string>{"delete /old/x.html", "remove /old", "create /new",
                                        "upload /new/a.html", "refresh /index.html"}));
    EXPECT_EQ(plan.steps[0].index, 1);
    EXPECT_EQ(plan.steps[2].index, 0);
    EXPECT_EQ(plan.kept, (std::vector<std::string>{
                             "Not deleted: /same.html (the disk still has it)",
                             "Not deleted: /logs/y.html (/logs could not be read on the server)",
                             "Not deleted: /logs (/logs could not be read on the server)"}));

    const TPlan noDeletes = MakePlan(local, remote, false, rules);
    EXPECT_EQ(PlanLines(noDeletes), (std::vector<std::string>{"create /new", "upload /new/a.html",
                                                              "refresh /index.html"}));
    EXPECT_TRUE(noDeletes.kept.empty());
}

TEST(Plan, OnAServerThatIgnoresCaseTheGuardKeepsEveryCaseOfALocalName) {
    TStringList local(false, true), remote(false, true);
    Add(local, "/Index.html", kindFile, actionRemain);
    Add(remote, "/INDEX.HTML", kindFile, actionDelete);
    TDeleteGuard::TRules rules;
    rules.caseFolding = true;
    EXPECT_TRUE(MakePlan(local, remote, true, rules).steps.empty());
    rules.caseFolding = false;
    EXPECT_EQ(PlanLines(MakePlan(local, remote, true, rules)),
              (std::vector<std::string>{"delete /INDEX.HTML"}));
}
