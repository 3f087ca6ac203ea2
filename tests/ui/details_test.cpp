#include "app/ui/tree_adapter.h"
#include "sync/detail.h"
#include "tests/ui/window_driver.h"
#include "toolkit/date_time.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLocale>
#include <QTreeView>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

TDateTime At(int y, int mo, int d, int h, int mi, int s) {
    return *EncodeDate(y, mo, d) + *EncodeTime(h, mi, s);
}

TDetail* Entry(uint8_t kind, const std::string& name, const std::string& dir, uint8_t action,
               TDateTime date = At(2001, 6, 15, 8, 30, 0)) {
    auto* e = new TDetail;
    e->kind = kind;
    e->name = name;
    e->dir = dir;
    e->action = action;
    e->date = date;
    return e;
}

// A tree whose third node sits below a directory that may be folded:
//   0 docs/  1 docs/guide.html  2 index.html
void FillLocal(TForm1& form) {
    const int docs = form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                                          Entry(kindDirectory, "docs", "", actionRemain), -1);
    form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                         Entry(kindFile, "guide.html", "/docs", actionUpload), docs);
    form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                         Entry(kindFile, "index.html", "", actionUpdate), -1);
}

struct TLocaleScope {
    explicit TLocaleScope(const QLocale& locale) { QLocale::setDefault(locale); }
    ~TLocaleScope() { QLocale::setDefault(saved); }
    QLocale saved;
};

} // namespace

TEST(Details, ClickingTheThirdNodeShowsLineTwoWhetherOrNotTheNodesAboveAreExpanded) {
    for (bool expanded : {false, true}) {
        SCOPED_TRACE(expanded ? "expanded" : "folded");
        TWindowFixture f;
        FillLocal(f.Form);
        f.FlushTrees();
        QTreeView* view = f.Window->LocalTreeView();
        view->setExpanded(f.Window->ViewIndexOf(1, 0), expanded);
        QCoreApplication::processEvents();
        // The third line on screen only when the directory is open.
        const QModelIndex third = f.Window->ViewIndexOf(1, 2);
        ASSERT_EQ(view->indexAt(view->visualRect(third).center()), third);
        Click(view->viewport(), view->visualRect(third).center());
        EXPECT_EQ(f.Form.engine.localTree.Selected(), 2);
        EXPECT_EQ(f.Form.details.nameLbl.Caption(), " index.html");
        EXPECT_EQ(f.Form.details.actionLbl.Caption(), " refresh");
        EXPECT_EQ(f.Find<QLabel>("nameLbl")->text(), " index.html");
    }
}

TEST(Details, ShowTheDateInTheLocalesWordsAndTheTimeInItsLongForm) {
    TLocaleScope english(QLocale(QLocale::English, QLocale::UnitedKingdom));
    TWindowFixture f;
    f.Form.engine.AddEntry(f.Form.engine.localList, f.Form.engine.localTree,
                           Entry(kindFile, "a.html", "", actionNone, At(1999, 2, 1, 13, 45, 7)),
                           -1);
    f.FlushTrees();
    QTreeView* view = f.Window->LocalTreeView();
    Click(view->viewport(), view->visualRect(f.Window->ViewIndexOf(1, 0)).center());
    EXPECT_EQ(f.Form.details.dateLbl.Caption(), " Monday, 01 Feb 1999");
    EXPECT_EQ(f.Form.details.timeLbl.Caption(), " 13:45:07"); // no time zone: the entry has none

    TLocaleScope german(QLocale(QLocale::German, QLocale::Germany));
    f.Form.localTreeClick(1);
    EXPECT_EQ(f.Form.details.dateLbl.Caption(), " Montag, 01 Feb. 1999");
}

TEST(Details, WithoutAWindowTheDateAndTimeHaveAPlainForm) {
    TForm1 form;
    form.engine.AddEntry(form.engine.remoteList, form.engine.remoteTree,
                         Entry(kindFile, "a.html", "", actionNone, At(1999, 2, 1, 9, 5, 3)), -1);
    form.engine.remoteTree.SetSelected(0);
    form.localTreeClick(2);
    EXPECT_EQ(form.details.dateLbl.Caption(), " Monday, 01 Feb 1999");
    EXPECT_EQ(form.details.timeLbl.Caption(), " 09:05:03");
}

TEST(Details, NameTheKindAndTheVerdictOfTheEntryOnEitherSide) {
    struct Case {
        int tag;
        uint8_t kind;
        uint8_t action;
        const char* type;
        const char* verdict;
    };
    for (const Case& c : {Case{2, kindFile, actionDelete, " FILE", " delete"},
                          Case{2, kindDirectory, actionRemove, " DIRECTORY", " remove"},
                          Case{1, kindFile, actionUpload, " FILE", " upload"},
                          Case{1, kindFile, actionUpdate, " FILE", " refresh"},
                          Case{1, kindDirectory, actionCreate, " DIRECTORY", " create"},
                          Case{1, kindUnknown, actionNone, " unknown", ""}}) {
        SCOPED_TRACE(c.verdict);
        TForm1 form;
        auto& list = c.tag == 1 ? form.engine.localList : form.engine.remoteList;
        auto& tree = c.tag == 1 ? form.engine.localTree : form.engine.remoteTree;
        form.engine.AddEntry(list, tree, Entry(kindDirectory, "sub", "", actionRemain), -1);
        form.engine.AddEntry(list, tree, Entry(c.kind, "old page.html", "/sub", c.action), 0);
        tree.SetSelected(1);
        form.localTreeClick(c.tag);
        EXPECT_EQ(form.details.nameLbl.Caption(), " old page.html");
        EXPECT_EQ(form.details.dirLbl.Caption(), " /sub");
        EXPECT_EQ(form.details.typeLbl.Caption(), c.type);
        EXPECT_EQ(form.details.actionLbl.Caption(), c.verdict);
    }
}

TEST(Details, AnEntryThatRemainsShowsNoVerdictNotThePreviousOne) {
    TForm1 form;
    form.engine.AddEntry(form.engine.remoteList, form.engine.remoteTree,
                         Entry(kindFile, "gone.html", "", actionDelete), -1);
    form.engine.AddEntry(form.engine.remoteList, form.engine.remoteTree,
                         Entry(kindFile, "same.html", "", actionRemain), -1);
    form.engine.remoteTree.SetSelected(0);
    form.localTreeClick(2);
    ASSERT_EQ(form.details.actionLbl.Caption(), " delete");
    form.engine.remoteTree.SetSelected(1);
    form.localTreeClick(2);
    EXPECT_EQ(form.details.nameLbl.Caption(), " same.html");
    EXPECT_EQ(form.details.actionLbl.Caption(), "");
}

TEST(Details, AClickWithNoSelectedNodeChangesNothing) {
    TWindowFixture f;
    FillLocal(f.Form);
    f.Form.engine.localTree.SetSelected(2);
    f.Form.localTreeClick(1);
    ASSERT_EQ(f.Form.details.nameLbl.Caption(), " index.html");
    // The other tree is empty: nothing is selected there.
    f.Form.localTreeClick(2);
    // And a click in the empty part of a tree selects nothing.
    QTreeView* view = f.Window->RemoteTreeView();
    Click(view->viewport(), QPoint(5, view->viewport()->height() - 5));
    for (const TLabel* l :
         {&f.Form.details.nameLbl, &f.Form.details.typeLbl, &f.Form.details.actionLbl})
        EXPECT_NE(l->Caption(), "");
    EXPECT_EQ(f.Form.details.nameLbl.Caption(), " index.html");
    EXPECT_EQ(f.Form.details.actionLbl.Caption(), " refresh");
}
