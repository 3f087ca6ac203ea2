#include "app/ui/artwork.h"
#include "app/ui/tree_adapter.h"
#include "sync/detail.h"
#include "tests/support/ftp_script_server.h"
#include "tests/ui/window_driver.h"
#include "toolkit/date_time.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QHeaderView>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTabBar>
#include <QTimer>
#include <QTreeView>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

TDateTime At(int y, int mo, int d, int h = 12) {
    return *EncodeDate(y, mo, d) + *EncodeTime(h, 0, 0);
}

TDetail* Entry(uint8_t kind, const std::string& name, const std::string& dir, long long size = -1,
               TDateTime date = At(2020, 1, 1)) {
    auto* e = new TDetail;
    e->kind = kind;
    e->name = name;
    e->dir = dir;
    e->size = size;
    e->date = date;
    return e;
}

// The names a view shows under `parent`, top to bottom.
std::vector<std::string> Shown(QTreeView* view, const QModelIndex& parent = {}) {
    std::vector<std::string> names;
    const QAbstractItemModel* m = view->model();
    for (int r = 0; r < m->rowCount(parent); ++r)
        names.push_back(m->index(r, 0, parent).data().toString().toStdString());
    return names;
}

// The same entries on both sides, in the order a file system hands them out.
void FillBoth(TForm1& form) {
    for (int side : {1, 2}) {
        TStringList& list = side == 1 ? form.engine.localList : form.engine.remoteList;
        TTreeModel& tree = side == 1 ? form.engine.localTree : form.engine.remoteTree;
        form.engine.AddEntry(list, tree, Entry(kindFile, "two.html", "", 10), -1);
        const int zeta = form.engine.AddEntry(list, tree, Entry(kindDirectory, "zeta", ""), -1);
        form.engine.AddEntry(list, tree, Entry(kindFile, "f038", "/zeta", 1), zeta);
        form.engine.AddEntry(list, tree, Entry(kindFile, "F012", "/zeta", 1), zeta);
        form.engine.AddEntry(list, tree, Entry(kindFile, "f059", "/zeta", 1), zeta);
        form.engine.AddEntry(list, tree, Entry(kindFile, "One.html", "", 10), -1);
        form.engine.AddEntry(list, tree, Entry(kindDirectory, "Alpha", ""), -1);
    }
}

void ClickNode(TWindowFixture& f, int tag, int node) {
    QTreeView* view = tag == 1 ? f.Window->LocalTreeView() : f.Window->RemoteTreeView();
    const QModelIndex i = f.Window->ViewIndexOf(tag, node);
    view->scrollTo(i);
    Click(view->viewport(), view->visualRect(i).center());
}

} // namespace

TEST(Desktop, BothTreesSortDirectoriesFirstThenByNameTheSameWay) {
    TWindowFixture f;
    FillBoth(f.Form);
    f.FlushTrees();
    for (QTreeView* view : {f.Window->LocalTreeView(), f.Window->RemoteTreeView()}) {
        EXPECT_EQ(Shown(view), (std::vector<std::string>{"Alpha", "zeta", "One.html", "two.html"}));
        EXPECT_EQ(Shown(view, view->model()->index(1, 0)),
                  (std::vector<std::string>{"F012", "f038", "f059"}));
    }
    // The engine's order is untouched: node i is still line i of the list.
    EXPECT_EQ(f.Form.engine.localTree.Node(0).Text, "two.html");
    EXPECT_EQ(f.Form.engine.localList.Strings(0), "/two.html");
    // A click on a sorted row describes that entry, not the one at its place in the list.
    ClickNode(f, 1, 5);
    EXPECT_EQ(f.Form.engine.localTree.Selected(), 5);
    EXPECT_EQ(f.Form.details.nameLbl.Caption(), " One.html");
}

TEST(Desktop, ColumnsShowSizeModifiedAndActionAndTheFilterKeepsOnlyChanges) {
    TWindowFixture f;
    TForm1& form = f.Form;
    const int docs = form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                                          Entry(kindDirectory, "docs", ""), -1);
    form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                         Entry(kindFile, "a.html", "/docs", 2048), docs);
    form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                         Entry(kindFile, "b.html", "/docs", 5), docs);
    form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                         Entry(kindFile, "c.html", "", 7), -1);
    form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                         Entry(kindDirectory, "img", ""), -1);
    form.engine.localTree.SetStateIndex(1, markUpload);
    form.engine.localTree.SetStateIndex(2, markFile);
    form.engine.localTree.SetStateIndex(3, markRefresh);
    f.FlushTrees();
    QTreeView* view = f.Window->LocalTreeView();
    const QAbstractItemModel* m = view->model();
    ASSERT_EQ(m->columnCount({}), 4);
    EXPECT_FALSE(view->isHeaderHidden());
    std::vector<QString> headers;
    for (int c = 0; c < 4; ++c)
        headers.push_back(m->headerData(c, Qt::Horizontal).toString());
    EXPECT_EQ(headers, (std::vector<QString>{"Name", "Size", "Modified", "Action"}));

    const QModelIndex a = f.Window->ViewIndexOf(1, 1);
    EXPECT_EQ(a.siblingAtColumn(1).data().toString(), "2.0 kB");
    EXPECT_FALSE(a.siblingAtColumn(2).data().toString().isEmpty());
    EXPECT_EQ(a.siblingAtColumn(3).data().toString(), "upload");
    EXPECT_EQ(f.Window->ViewIndexOf(1, 3).siblingAtColumn(1).data().toString(), "7 B");
    EXPECT_EQ(f.Window->ViewIndexOf(1, 3).siblingAtColumn(3).data().toString(), "refresh");
    EXPECT_EQ(f.Window->ViewIndexOf(1, 0).siblingAtColumn(1).data().toString(), "");

    auto* changesOnly = f.Find<QCheckBox>("changesOnlyCheck");
    ASSERT_NE(changesOnly, nullptr);
    Click(changesOnly);
    ASSERT_TRUE(changesOnly->isChecked());
    // docs stays for the upload inside it; b.html and the untouched img go.
    EXPECT_EQ(Shown(view), (std::vector<std::string>{"docs", "c.html"}));
    EXPECT_EQ(Shown(view, m->index(0, 0)), (std::vector<std::string>{"a.html"}));
    // An entry that gains a mark shows up at once.
    form.engine.localTree.SetStateIndex(2, markRefresh);
    f.FlushTrees();
    EXPECT_EQ(Shown(view, m->index(0, 0)), (std::vector<std::string>{"a.html", "b.html"}));
    Click(changesOnly);
    EXPECT_EQ(Shown(view), (std::vector<std::string>{"docs", "img", "c.html"}));
}

TEST(Desktop, ARemoteDirectoryToRemoveShowsADirectoryWithTheDeleteMark) {
    TWindowFixture f;
    TForm1& form = f.Form;
    const int old = form.engine.AddEntry(form.engine.remoteList, form.engine.remoteTree,
                                         Entry(kindDirectory, "old", ""), -1);
    const int page = form.engine.AddEntry(form.engine.remoteList, form.engine.remoteTree,
                                          Entry(kindFile, "gone.html", "/old", 4), old);
    form.engine.remoteTree.SetStateIndex(old, markDelete);
    form.engine.remoteTree.SetStateIndex(page, markDelete);
    f.FlushTrees();
    const QModelIndex dir = f.Window->ViewIndexOf(2, old);
    const QModelIndex file = f.Window->ViewIndexOf(2, page);
    const auto key = [](const QModelIndex& i) {
        return qvariant_cast<QIcon>(i.data(Qt::DecorationRole)).pixmap(16).toImage();
    };
    EXPECT_EQ(key(dir), ui::StateIcon(ui::TTreeAdapter::RemoveDirectoryImage).pixmap(16).toImage());
    EXPECT_EQ(key(file), ui::StateIcon(ui::imageDelete).pixmap(16).toImage());
    EXPECT_NE(key(dir), key(file));
    EXPECT_EQ(dir.siblingAtColumn(3).data().toString(), "remove");
    EXPECT_EQ(file.siblingAtColumn(3).data().toString(), "delete");
}

TEST(Desktop, DetailsShowBothSidesAndTheVerdictInWords) {
    struct Case {
        const char* name;
        long long localSize, remoteSize; // -2: the side has no such entry
        TDateTime localDate, remoteDate;
        int clickedSide;
        const char* localSizeText;
        const char* remoteSizeText;
        const char* verdict;
    };
    const TDateTime older = At(2001, 1, 5), newer = At(2024, 3, 3);
    const Case cases[] = {
        {"newer.html", 10, 10, newer, older, 1, "10 bytes", "10 bytes", "local is newer"},
        {"sizes.html", 10, 12, older, older, 2, "10 bytes", "12 bytes", "sizes differ"},
        {"both.html", 10, 12, newer, older, 1, "10 bytes", "12 bytes",
         "local is newer, sizes differ"},
        {"server.html", 10, 10, older, newer, 2, "10 bytes", "10 bytes", "server is newer"},
        {"same.html", 10, 10, older, older, 2, "10 bytes", "10 bytes", "same"},
        {"here.html", 10, -2, older, older, 1, "10 bytes", "-", "only here"},
        {"there.html", -2, 3, older, older, 2, "-", "3 bytes", "only on the server"},
    };
    TWindowFixture f;
    TForm1& form = f.Form;
    std::map<std::string, std::pair<int, int>> nodes;
    for (const Case& c : cases) {
        int l = -1, r = -1;
        if (c.localSize != -2)
            l = form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                                     Entry(kindFile, c.name, "", c.localSize, c.localDate), -1);
        if (c.remoteSize != -2)
            r = form.engine.AddEntry(form.engine.remoteList, form.engine.remoteTree,
                                     Entry(kindFile, c.name, "", c.remoteSize, c.remoteDate), -1);
        nodes[c.name] = {l, r};
    }
    f.FlushTrees();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [l, r] = nodes[c.name];
        ClickNode(f, c.clickedSide, c.clickedSide == 1 ? l : r);
        EXPECT_EQ(form.details.localSizeLbl.Caption(), c.localSizeText);
        EXPECT_EQ(form.details.remoteSizeLbl.Caption(), c.remoteSizeText);
        EXPECT_EQ(form.details.verdictLbl.Caption(), c.verdict);
        EXPECT_EQ(f.Find<QLabel>("verdictLbl")->text().toStdString(), c.verdict);
        // The two times side by side, "-" for the side without the entry.
        EXPECT_EQ(form.details.localTimeLbl.Caption() == "-", c.localSize == -2);
        EXPECT_EQ(form.details.remoteTimeLbl.Caption() == "-", c.remoteSize == -2);
        if (c.localSize != -2 && c.remoteSize != -2) {
            EXPECT_EQ(form.details.localTimeLbl.Caption() == form.details.remoteTimeLbl.Caption(),
                      c.localDate == c.remoteDate);
        }
    }
}

// A ticked entry is in step, on the Details page as in the tree and the Legend, even when
// its raw times differ (a listing to the minute, the server's clock).
TEST(Desktop, ATickedEntryReadsInStepOnTheDetailsPage) {
    TWindowFixture f;
    TForm1& form = f.Form;
    const TDateTime listed = At(2024, 3, 3);
    const int l = form.engine.AddEntry(form.engine.localList, form.engine.localTree,
                                       Entry(kindFile, "page.html", "", 10, listed + 0.0003), -1);
    const int r = form.engine.AddEntry(form.engine.remoteList, form.engine.remoteTree,
                                       Entry(kindFile, "page.html", "", 10, listed), -1);
    form.engine.localTree.SetStateIndex(l, markSame);
    form.engine.remoteTree.SetStateIndex(r, markSame);
    f.FlushTrees();
    for (auto [side, node] : {std::pair{1, l}, std::pair{2, r}}) {
        ClickNode(f, side, node);
        EXPECT_EQ(form.details.verdictLbl.Caption(), "in step: nothing to send") << side;
        EXPECT_EQ(form.details.actionLbl.Caption(), " in step") << side;
    }
    EXPECT_TRUE(f.Find<QLabel>("inStepLbl")->text().startsWith("In Step.")) << "the Legend";
}

namespace {

// A local site of index.html and new.html beside a server with an older index.html and
// `extra` files the disk no longer has.
struct TDeletingSite {
    explicit TDeletingSite(int extra) {
        local.File("index.html", "<html>front</html>");
        local.File("new.html", "fresh");
        std::vector<std::string> lines = {FileLine("index.html", 5, "Jan  5  2001")};
        for (int i = 0; i < extra; ++i)
            lines.push_back(FileLine("old" + std::to_string(i) + ".html", 3, "Jan  5  2001"));
        server.SetListing(Listing(lines));
    }
    std::vector<std::string> Changes() const {
        std::vector<std::string> sent;
        for (const std::string& c : server.Commands())
            if (c.rfind("STOR", 0) == 0 || c.rfind("DELE", 0) == 0 || c.rfind("RMD", 0) == 0 ||
                c.rfind("MKD", 0) == 0)
                sent.push_back(c);
        return sent;
    }
    TTempTree local;
    TFtpScriptServer server;
};

void ConnectAndCompare(TWindowFixture& f, const TFtpScriptServer& server) {
    UseScriptServer(f, server, true, false);
    Click(f.Find("connectBtn"));
    ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    Click(f.Find("compareBtn"));
    // With deleting off, the status goes on to say what that keeps.
    ASSERT_TRUE(f.Form.statusPanel.Caption().starts_with("Files Compared. Ready for Transfer"))
        << f.Form.statusPanel.Caption();
}

} // namespace

TEST(Desktop, CancelOnTheDeleteConfirmationSendsNothing) {
    TDeletingSite site(3);
    TWindowFixture f(site.local.Path());
    ConnectAndCompare(f, site.server);
    ASSERT_TRUE(f.Find("updateBtn")->isEnabled());
    TConfirmAnswer answer(false);
    Click(f.Find("updateBtn"));
    ASSERT_TRUE(answer.Appeared());
    EXPECT_TRUE(answer.Text().contains("Upload 1, refresh 1, create 0, delete 3"))
        << answer.Text().toStdString();
    EXPECT_EQ(site.Changes(), std::vector<std::string>{});
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Update cancelled: nothing was sent");
    // Nothing ran, so the update can still be asked for.
    EXPECT_TRUE(f.Find("updateBtn")->isEnabled());
}

TEST(Desktop, AnUpdateThatDeletesNothingIsNotAskedAbout) {
    for (bool mayDelete : {true, false}) {
        SCOPED_TRACE(mayDelete ? "nothing to delete" : "deleting switched off");
        TDeletingSite site(mayDelete ? 0 : 2);
        TWindowFixture f(site.local.Path());
        f.Form.deleteRemoteCheck.SetChecked(mayDelete);
        ConnectAndCompare(f, site.server);
        TConfirmAnswer answer(false);
        Click(f.Find("updateBtn"));
        EXPECT_FALSE(answer.Appeared());
        EXPECT_EQ(site.Changes().size(), 2u) << f.Form.statusPanel.Caption();
        EXPECT_EQ(f.Form.statusPanel.Caption(),
                  mayDelete ? "Remote Site Update Complete"
                            : "Remote Site Update Complete; 2 entries kept on the server: "
                              "deleting is off");
    }
}

TEST(Desktop, UpdateStaysOffWhenTheCompareFoundNothingToDo) {
    TTempTree local;
    local.File("index.html", "12345");
    std::filesystem::last_write_time(local.Path("index.html"),
                                     std::filesystem::file_time_type::clock::now() -
                                         std::chrono::hours(24));
    TFtpScriptServer server;
    // The server's copy is newer and of the same size: nothing to send.
    server.SetListing(Listing({FileLine("index.html", 5, RecentListedDate(0))}));
    TWindowFixture f(local.Path());
    ConnectAndCompare(f, server);
    EXPECT_FALSE(f.Find("updateBtn")->isEnabled());
    EXPECT_TRUE(f.Find("compareBtn")->isEnabled());
}

TEST(Desktop, TheOverallBarIsLabelledAndCountsBytes) {
    TDeletingSite site(0);
    site.server.On("STOR")
        .Delay(150)
        .Preliminary({"150 Opening data connection"})
        .Reply("226 Transfer complete");
    TWindowFixture f(site.local.Path());
    ConnectAndCompare(f, site.server);
    std::set<QString> figures;
    bool labelled = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        auto* label = f.Find<QLabel>("overallLbl");
        labelled = labelled || (label->isVisible() && label->text() == "Overall:" &&
                                f.Find("overallBar")->isVisible());
        if (f.Find<QLabel>("overallFigures")->isVisible())
            figures.insert(f.Find<QLabel>("overallFigures")->text());
    });
    probe.start(10);
    Click(f.Find("updateBtn"));
    probe.stop();
    EXPECT_TRUE(labelled);
    // 18 + 5 bytes in all, counted in bytes, not in files.
    EXPECT_TRUE(figures.count("Uploading 0 B of 23 B (0%)")) << figures.size();
    EXPECT_FALSE(f.Find("overallFigures")->isVisible());
}

TEST(Desktop, IconsRenderSharplyAtScaleFactorsOneAndTwo) {
    for (int image = 1; image <= 8; ++image) {
        SCOPED_TRACE(image);
        const QIcon icon = ui::StateIcon(image);
        ASSERT_FALSE(icon.isNull());
        QImage at[3];
        for (int scale : {1, 2}) {
            const QPixmap p = icon.pixmap(QSize(16, 16), scale);
            EXPECT_EQ(p.size(), QSize(16, 16) * scale);
            at[scale] = p.toImage().convertToFormat(QImage::Format_ARGB32);
        }
        // Drawn anew at twice the size, not the small picture blown up.
        const QImage blownUp = at[1].scaled(32, 32).convertToFormat(QImage::Format_ARGB32);
        EXPECT_NE(at[2], blownUp);
        int opaque = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                opaque += qAlpha(at[2].pixel(x, y)) > 200;
        EXPECT_GT(opaque, 100);
    }
    EXPECT_FALSE(ui::ProgramIcon().pixmap(QSize(64, 64), 2).isNull());
}

TEST(Desktop, EveryButtonAndPageHasItsOwnAltKeyAndTheShortcutsWork) {
    TWindowFixture f;
    f.Form.FormCreate(f.Temp.Path("PELMORA.INI")); // closing saves the settings there
    const auto key = [](const QString& text) {
        const qsizetype amp = text.indexOf('&');
        return amp < 0 || amp + 1 >= text.size() ? QChar() : text.at(amp + 1).toLower();
    };
    std::map<QChar, QString> taken;
    const auto take = [&](const QString& text) {
        const QChar k = key(text);
        EXPECT_FALSE(k.isNull()) << text.toStdString();
        EXPECT_TRUE(taken.emplace(k, text).second)
            << text.toStdString() << " and " << taken[k].toStdString();
    };
    auto* tabs = f.Find<QTabBar>("TabSet1");
    for (int i = 0; i < tabs->count(); ++i)
        take(tabs->tabText(i));
    // The transfer page and the controls beside the trees are on screen together.
    for (const char* name : {"connectBtn", "compareBtn", "updateBtn", "stopBtn", "refreshBtn",
                             "changeLocalBtn", "changesOnlyCheck"})
        take(f.Find<QAbstractButton>(name)->text());
    EXPECT_EQ(f.Find<QAbstractButton>("connectBtn")->text(), "&Connect");

    for (const char* name : {"serverEdit", "userEdit", "passwordEdit", "remoteRootEdit",
                             "localTree", "remoteTree", "overallBar"})
        EXPECT_FALSE(f.Find(name)->accessibleName().isEmpty()) << name;

    EXPECT_EQ(f.Find<QShortcut>("refreshShortcut")->key(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(f.Find<QShortcut>("quitShortcut")->key(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    emit f.Find<QShortcut>("quitShortcut")->activated();
    Pump(20);
    EXPECT_FALSE(f.Window->isVisible());
}

TEST(Desktop, BothTreesOpenTheSameWayAfterTheLoads) {
    TTempTree local;
    local.File("docs/a.html", "x");
    local.File("index.html", "y");
    TFtpScriptServer server;
    // The walk lists the root, then the directory it enters.
    server.On("LIST").Uses(1).Listing({Listing({FileLine("a.html", 1, "Jan  5  2001")})});
    server.On("LIST").Uses(1).Listing({Listing({"drwxr-xr-x   2 web  web  4096 Mar  3  2024 docs",
                                                FileLine("index.html", 1, "Jan  5  2001")})});
    TWindowFixture f(local.Path());
    ConnectAndCompare(f, server);
    f.FlushTrees();
    for (QTreeView* view : {f.Window->LocalTreeView(), f.Window->RemoteTreeView()}) {
        SCOPED_TRACE(view->objectName().toStdString());
        ASSERT_EQ(Shown(view), (std::vector<std::string>{"docs", "index.html"}));
        EXPECT_FALSE(view->isExpanded(view->model()->index(0, 0)));
    }
}
