#include "app/ui/artwork.h"
#include "app/ui/tree_adapter.h"
#include "tests/support/eventually.h"
#include "tests/support/fault_relay.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/ui/window_driver.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

using namespace pelmora;
using namespace pelmora::testing;

TEST(SessionWindow, TheButtonsFollowAWholeSession) {
    TTempTree site;
    site.File("index.html", "<html>new front page</html>");
    site.File("new.html", "fresh");
    TFtpScriptServer server;
    server.SetListing(Listing(
        {FileLine("index.html", 5, "Jan  5  2001"), FileLine("old.html", 3, "Jan  5  2001")}));
    server.On("STOR")
        .Delay(150)
        .Preliminary({"150 Opening data connection"})
        .Reply("226 Transfer complete");
    TWindowFixture f(site.Path());
    UseScriptServer(f, server, true, false);
    auto* connect = f.Find<QPushButton>("connectBtn");

    EXPECT_EQ(Enabled(f), (TButtons{true, false, false, false, false, true}));

    Click(connect); // connects and loads the remote tree
    ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    EXPECT_EQ(connect->text(), "&Disconnect");
    EXPECT_EQ(f.Find<QLabel>("servTypeLbl")->text(), "UNIX TYPE: L8");
    EXPECT_EQ(f.Form.engine.remoteList.Count(), 2);
    EXPECT_EQ(Enabled(f), (TButtons{true, true, false, false, true, true}));

    Click(f.Find("compareBtn"));
    EXPECT_EQ(f.Form.engine.localTree.Node(0).StateIndex, markRefresh); // index.html
    EXPECT_EQ(f.Form.engine.localTree.Node(1).StateIndex, markUpload);  // new.html
    EXPECT_EQ(f.Form.engine.remoteTree.Node(1).StateIndex, markDelete); // old.html
    EXPECT_EQ(Enabled(f), (TButtons{true, true, true, false, true, true}));

    // While the uploads run, Stop can be pressed.
    bool stopDuringUpdate = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        stopDuringUpdate = stopDuringUpdate || f.Find("stopBtn")->isEnabled();
    });
    probe.start(20);
    // The update deletes old.html, so it asks first.
    TConfirmAnswer answer(true);
    Click(f.Find("updateBtn"));
    probe.stop();
    EXPECT_TRUE(answer.Appeared());
    EXPECT_TRUE(answer.Text().contains("Upload 1, refresh 1, create 0, delete 1"))
        << answer.Text().toStdString();
    EXPECT_TRUE(answer.List().contains("delete /old.html")) << answer.List().toStdString();
    EXPECT_TRUE(stopDuringUpdate);
    EXPECT_FALSE(f.Form.engine.updateFailed) << f.Form.statusPanel.Caption();
    std::vector<std::string> stored;
    for (const auto& [path, bytes] : server.Stored())
        stored.push_back(path.substr(path.find_last_of('/') + 1) + "=" + bytes);
    EXPECT_EQ(stored, (std::vector<std::string>{"index.html=<html>new front page</html>",
                                                "new.html=fresh"}));
    // The server's tree was read again afterwards, so another compare may follow.
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Remote Site Update Complete");
    EXPECT_EQ(Enabled(f), (TButtons{true, true, false, false, true, true}));

    Click(connect);
    EXPECT_FALSE(f.Form.engine.connected);
    EXPECT_EQ(connect->text(), "&Connect");
    EXPECT_EQ(f.Find<QLabel>("servTypeLbl")->text(), "");
    EXPECT_EQ(Enabled(f), (TButtons{true, false, false, false, false, true}));
    f.FlushTrees();
    EXPECT_EQ(f.Window->RemoteTreeView()->model()->rowCount({}), 0);
}

// Draws the picture of the window that the README shows: the sample site beside a
// server that holds an older copy of it, after a compare. Set
// PELMORA_UPDATE_SCREENSHOT=1 to write it into docs/ as well.
TEST(SessionWindow, ScreenshotAfterACompare) {
    namespace fs = std::filesystem;
    const fs::path sample = fs::path(PELMORA_SOURCE_DIR) / "samples" / "site";
    auto size = [&](const char* name) {
        return static_cast<long long>(fs::file_size(sample / name));
    };
    TFtpScriptServer server;
    // The walk lists the root, then each directory it enters.
    const std::vector<std::string> root = {
        "drwxr-xr-x   2 web  web  4096 Mar  3  2024 css",
        FileLine("about.html", size("about.html") + 10, "Mar  3  2024"),
        FileLine("index.html", size("index.html"), RecentListedDate(0)),
        FileLine("old-news.html", 812, "Mar  3  2024")};
    const std::vector<std::string> css = {
        FileLine("style.css", size("css/style.css"), RecentListedDate(0))};
    server.On("LIST").Uses(1).Listing({Listing(css)});
    server.On("LIST").Uses(1).Listing({Listing(root)});

    TWindowFixture f(sample.string());
    UseScriptServer(f, server, true, true);
    Click(f.Find("connectBtn"));
    ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    ASSERT_EQ(f.Form.engine.remoteList.Count(), 5) << f.Form.statusPanel.Caption();
    f.FlushTrees();
    f.Window->LocalTreeView()->expandAll();
    f.Window->RemoteTreeView()->expandAll();
    Pump(ui::TMainWindow::RepaintIntervalMs + 50);

    // Both trees carry the compare's marks, and the window shows them with its images.
    std::set<int> localMarks, remoteMarks, localIcons, remoteIcons;
    for (int i = 0; i < f.Form.engine.localTree.Count(); ++i) {
        localMarks.insert(f.Form.engine.localTree.Node(i).StateIndex);
        localIcons.insert(ui::StateImageOf(f.Form.engine.localTree.Node(i).StateIndex, false));
    }
    for (int i = 0; i < f.Form.engine.remoteTree.Count(); ++i) {
        remoteMarks.insert(f.Form.engine.remoteTree.Node(i).StateIndex);
        remoteIcons.insert(ui::StateImageOf(f.Form.engine.remoteTree.Node(i).StateIndex, false));
    }
    EXPECT_EQ(localMarks,
              (std::set<int>{markDirectory, markCreate, markUpload, markRefresh, markSame}));
    EXPECT_EQ(remoteMarks, (std::set<int>{markDirectory, markRefresh, markDelete, markSame}));
    EXPECT_EQ(localIcons, (std::set<int>{1, 2, 3, 4, 8}));
    EXPECT_EQ(remoteIcons, (std::set<int>{1, 4, 6, 8}));

    // At the window's first size every column of both trees is in view, the Action
    // column that says what the update will do among them; the local folder is named as
    // a user would have it, never after the machine the picture is taken on.
    const QSize first(TWindowGeometry::FirstWidth, TWindowGeometry::FirstHeight);
    f.Window->resize(first);
    f.Find<QLabel>("localRootLabel")->setText("~/site");
    f.Window->LocalTreeView()->setCurrentIndex({});
    Pump(ui::TMainWindow::RepaintIntervalMs + 50);
    for (QTreeView* view : {f.Window->LocalTreeView(), f.Window->RemoteTreeView()}) {
        const QHeaderView* header = view->header();
        EXPECT_EQ(view->horizontalScrollBar()->maximum(), 0) << "no column cut off";
        EXPECT_LE(header->sectionViewportPosition(ui::TTreeAdapter::ActionColumn) +
                      header->sectionSize(ui::TTreeAdapter::ActionColumn),
                  view->viewport()->width());
        EXPECT_GE(header->sectionSize(ui::TTreeAdapter::ActionColumn),
                  header->fontMetrics().horizontalAdvance("Action"));
    }
    // The status bar tells how the session travels.
    EXPECT_EQ(f.Find<QLabel>("securityLbl")->text(), "Not encrypted");
    const QImage shot = f.Window->grab().toImage();
    EXPECT_EQ(shot.size(), first * shot.devicePixelRatio());
    TTempTree out;
    ASSERT_TRUE(shot.save(QString::fromStdString(out.Path("window.png"))));
    if (std::getenv("PELMORA_UPDATE_SCREENSHOT")) {
        const fs::path docs = fs::path(PELMORA_SOURCE_DIR) / "docs";
        fs::create_directories(docs);
        ASSERT_TRUE(shot.save(QString::fromStdString((docs / "window.png").string())));
    }
}

namespace {

std::map<std::string, std::string> StoredByName(const TFtpScriptServer& server) {
    std::map<std::string, std::string> stored;
    for (const auto& [path, bytes] : server.Stored())
        stored[path.substr(path.find_last_of('/') + 1)] = bytes;
    return stored;
}

bool Sent(const TFtpScriptServer& server, const std::string& verb) {
    for (const std::string& command : server.Commands())
        if (command.starts_with(verb))
            return true;
    return false;
}

int NodeOf(const TStringList& list, const std::string& key) {
    return list.IndexOf(key);
}

// A site whose server copy is as the disk was at the window's start: a.html and
// gone.html, listed later than they were written.
struct TSiteAtStart {
    TSiteAtStart() {
        for (const char* name : {"a.html", "gone.html"}) {
            site.File(name, "1234");
            site.SetTime(name, 2020, 6, 1, 12, 0, 0);
        }
        server.SetListing(Listing(
            {FileLine("a.html", 4, "Jan  5  2021"), FileLine("gone.html", 4, "Jan  5  2021")}));
    }
    // What the user does while the window is open: the same size, a newer time.
    void Edit() { site.File("a.html", "ABCD"); }

    TTempTree site;
    TFtpScriptServer server;
};

} // namespace

TEST(SessionWindow, ConnectAndUpdateSeeTheDiskAsItIsNowAndKeepWhatDeletingOffKeeps) {
    TSiteAtStart s;
    TWindowFixture f(s.site.Path());
    ASSERT_EQ(f.Form.engine.localList.Count(), 2);
    UseScriptServer(f, s.server, true, true);
    f.Form.deleteRemoteCheck.SetChecked(false);

    // Changed after the window read the disk at its start.
    s.Edit();
    s.site.File("new.html", "fresh");
    std::filesystem::remove(s.site.Path("gone.html"));

    Click(f.Find("connectBtn")); // connects, loads and compares
    ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    EXPECT_EQ(f.Form.engine.localList.Count(), 2);
    EXPECT_EQ(f.Form.engine.localTree.Node(NodeOf(f.Form.engine.localList, "/a.html")).StateIndex,
              markRefresh);
    EXPECT_EQ(f.Form.engine.localTree.Node(NodeOf(f.Form.engine.localList, "/new.html")).StateIndex,
              markUpload);
    const int gone = NodeOf(f.Form.engine.remoteList, "/gone.html");
    EXPECT_EQ(f.Form.engine.remoteTree.Node(gone).StateIndex, markKept);
    EXPECT_EQ(f.Form.statusPanel.Caption(),
              "Files Compared. Ready for Transfer; 1 entry kept on the server: deleting is off");
    // The tree and the details page name it kept, not deleted.
    f.FlushTrees();
    const QModelIndex row = f.Window->RemoteModel()->IndexOfNode(gone);
    EXPECT_EQ(row.siblingAtColumn(ui::TTreeAdapter::ActionColumn).data().toString(), "kept");
    f.Form.engine.remoteTree.SetSelected(gone);
    f.Form.localTreeClick(2);
    EXPECT_EQ(f.Form.details.actionLbl.Caption(), " kept (deleting is off)");
    // Turned on, the same entry shows as deleted; off again, as kept.
    f.Form.deleteRemoteCheck.SetChecked(true);
    EXPECT_EQ(f.Form.engine.remoteTree.Node(gone).StateIndex, markDelete);
    f.Form.deleteRemoteCheck.SetChecked(false);
    EXPECT_EQ(f.Form.engine.remoteTree.Node(gone).StateIndex, markKept);

    TConfirmAnswer answer(false);
    Click(f.Find("updateBtn"));
    EXPECT_FALSE(answer.Appeared()) << "nothing is deleted, so nothing is asked";
    EXPECT_FALSE(f.Form.engine.updateFailed) << f.Form.statusPanel.Caption();
    EXPECT_EQ(StoredByName(s.server),
              (std::map<std::string, std::string>{{"a.html", "ABCD"}, {"new.html", "fresh"}}));
    EXPECT_FALSE(Sent(s.server, "DELE"));
    EXPECT_EQ(f.Form.statusPanel.Caption(),
              "Remote Site Update Complete; 1 entry kept on the server: deleting is off");

    // Refresh reads the disk too.
    s.site.File("later.html", "later");
    Click(f.Find("refreshBtn"));
    EXPECT_NE(f.Form.engine.localList.IndexOf("/later.html"), -1) << f.Form.statusPanel.Caption();
}

TEST(SessionWindow, UpdateComparesAgainWhenTheDiskChangedSinceTheCompare) {
    struct Case {
        const char* what;
        bool removeOne; // the new plan deletes: the update stops for the user to look
    };
    for (const Case& c : {Case{"an edit and a new file", false}, Case{"a file removed", true}}) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> statuses;
        TSiteAtStart s;
        s.site.File("new.html", "fresh"); // something to update, so Update is enabled
        TWindowFixture f(s.site.Path());
        UseScriptServer(f, s.server, true, true);
        f.Form.deleteRemoteCheck.SetChecked(true);
        Click(f.Find("connectBtn"));
        ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
        ASSERT_TRUE(f.Find("updateBtn")->isEnabled()) << f.Form.statusPanel.Caption();
        ASSERT_EQ(
            f.Form.engine.localTree.Node(NodeOf(f.Form.engine.localList, "/a.html")).StateIndex,
            markSame);

        if (c.removeOne) {
            std::filesystem::remove(s.site.Path("gone.html"));
        } else {
            s.Edit();
            s.site.File("extra.html", "extra");
        }
        f.Form.statusPanel.Subscribe([&] { statuses.push_back(f.Form.statusPanel.Caption()); });
        {
            TConfirmAnswer answer(false);
            Click(f.Find("updateBtn"));
            EXPECT_FALSE(answer.Appeared());
        }
        EXPECT_TRUE(std::any_of(statuses.begin(), statuses.end(), [](const std::string& status) {
            return status.starts_with(
                "The local directory changed since the compare: compared again");
        }));
        if (!c.removeOne) {
            EXPECT_FALSE(f.Form.engine.updateFailed) << f.Form.statusPanel.Caption();
            EXPECT_EQ(StoredByName(s.server),
                      (std::map<std::string, std::string>{
                          {"a.html", "ABCD"}, {"extra.html", "extra"}, {"new.html", "fresh"}}));
            EXPECT_EQ(f.Form.statusPanel.Caption(),
                      "Remote Site Update Complete; the local directory "
                      "changed since the compare: compared again first");
            continue;
        }
        // Stopped before anything was sent, with the new plan in the trees.
        EXPECT_TRUE(StoredByName(s.server).empty());
        EXPECT_EQ(f.Form.statusPanel.Caption(),
                  "The local directory changed since the compare: compared again; the new plan "
                  "deletes on the server: look at it and press Update again");
        EXPECT_EQ(f.Form.engine.remoteTree.Node(NodeOf(f.Form.engine.remoteList, "/gone.html"))
                      .StateIndex,
                  markDelete);
        EXPECT_TRUE(f.Find("updateBtn")->isEnabled());
        // Pressed again over an unchanged disk: the usual question, then the update.
        TConfirmAnswer answer(true);
        Click(f.Find("updateBtn"));
        EXPECT_TRUE(answer.Appeared());
        EXPECT_TRUE(answer.List().contains("delete /gone.html")) << answer.List().toStdString();
        EXPECT_FALSE(f.Form.engine.updateFailed) << f.Form.statusPanel.Caption();
        EXPECT_EQ(StoredByName(s.server),
                  (std::map<std::string, std::string>{{"new.html", "fresh"}}));
        EXPECT_TRUE(Sent(s.server, "DELE"));
        EXPECT_EQ(f.Form.statusPanel.Caption(), "Remote Site Update Complete");
    }
}

// After an update with failures, the status bar keeps what the update did, and the Log
// page every status line and every failure with its path and the server's reason; the
// password a reply repeats appears in neither. Set PELMORA_UPDATE_SCREENSHOT=1 to write
// both pictures into docs/.
TEST(SessionWindow, AnUpdateLeavesItsSummaryAndEveryFailureInTheLog) {
    namespace fs = std::filesystem;
    TTempTree site;
    for (const char* name : {"about.html", "contact.html", "index.html"})
        site.File(name, "<html>" + std::string(name) + "</html>");
    TFtpScriptServer server;
    server.SetListing(Listing({FileLine("old-news.html", 812, "Mar  3  2024")}));
    // Two of the three uploads are refused; sent under their own names, so the rules
    // can name them.
    for (const char* refused : {"/www/about.html", "/www/contact.html"})
        server.On("STOR").Arg(refused).Refuse("553 Not allowed for sw0rdfish here");
    TWindowFixture f(site.Path());
    UseScriptServer(f, server, true, true);
    f.Form.setup.passwordEdit.SetText("sw0rdfish");
    f.Form.remoteRootEdit.SetText("/www");
    f.Form.site.sync.atomic = false;
    f.Form.deleteRemoteCheck.SetChecked(true);
    Click(f.Find("connectBtn"));
    ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    {
        TConfirmAnswer answer(true);
        Click(f.Find("updateBtn"));
        EXPECT_TRUE(answer.Appeared());
    }
    EXPECT_TRUE(f.Form.engine.updateFailed);
    EXPECT_EQ(server.Stored().size(), 1u);
    const auto shoot = [&f](const char* name) {
        if (!std::getenv("PELMORA_UPDATE_SCREENSHOT"))
            return;
        f.Window->resize(1100, 720);
        f.Find<QLabel>("localRootLabel")->setText("~/site");
        Pump(ui::TMainWindow::RepaintIntervalMs + 50);
        const fs::path docs = fs::path(PELMORA_SOURCE_DIR) / "docs";
        fs::create_directories(docs);
        ASSERT_TRUE(
            f.Window->grab().toImage().save(QString::fromStdString((docs / name).string())));
    };
    shoot("window-summary.png");

    // Counted as the run without a window counts; the time varies.
    const std::string summary = f.Find<QLabel>("summaryLbl")->text().toStdString();
    EXPECT_TRUE(summary.starts_with("Uploaded 1, refreshed 0, deleted 1 \u2014 ")) << summary;
    EXPECT_TRUE(summary.ends_with("; 2 failed")) << summary;
    EXPECT_NE(summary.find(" B in "), std::string::npos) << summary;
    EXPECT_TRUE(f.Find<QLabel>("summaryLbl")->isVisible());
    // Still there after the next status lines.
    Click(f.Find("compareBtn"));
    EXPECT_EQ(f.Find<QLabel>("summaryLbl")->text().toStdString(), summary);

    f.Window->TabSet()->setCurrentIndex(f.Window->TabSet()->count() - 1);
    Pump(50);
    auto* log = f.Find<QPlainTextEdit>("logMemo");
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->isVisible());
    const QString text = log->toPlainText();
    int failures = 0;
    for (const QString& line : text.split('\n'))
        if (line.contains("Failed: ")) {
            ++failures;
            EXPECT_TRUE(line.contains(".html")) << line.toStdString();
            EXPECT_TRUE(line.contains("553 Not allowed")) << line.toStdString();
        }
    EXPECT_EQ(failures, 2) << text.toStdString();
    for (const char* said : {"Connecting to: 127.0.0.1", "Files Compared",
                             "Remote Site Update Incomplete", "; 2 failed"})
        EXPECT_TRUE(text.contains(said)) << said << "\n" << text.toStdString();
    EXPECT_FALSE(text.contains("sw0rdfish")) << text.toStdString();
    EXPECT_FALSE(text.contains("Loading Local Directory: ")) << "one line per entry stays out";

    shoot("window-log.png");
}

// The log keeps the newest lines of a long session, and its page follows.
TEST(SessionWindow, TheLogDropsItsOldestLinesPastItsLimit) {
    TWindowFixture f;
    f.Window->TabSet()->setCurrentIndex(f.Window->TabSet()->count() - 1);
    const size_t total = TForm1::LogLines + 7;
    for (size_t i = 0; i < total; ++i)
        f.Form.logMemo.Add("line " + std::to_string(i));
    Pump(20);
    EXPECT_EQ(f.Form.logMemo.Lines().size(), TForm1::LogLines);
    EXPECT_EQ(f.Form.logMemo.Lines().front(), "line 7");
    auto* log = f.Find<QPlainTextEdit>("logMemo");
    EXPECT_EQ(static_cast<size_t>(log->blockCount()), TForm1::LogLines);
    EXPECT_EQ(log->document()->firstBlock().text(), "line 7");
    EXPECT_EQ(log->document()->lastBlock().text(), "line " + QString::number(total - 1));
}

namespace {

// "1.4 kB", "999 B" back into bytes, as near as the text tells.
double BytesOf(const std::string& text) {
    double value = 0;
    char unit[8] = {};
    if (std::sscanf(text.c_str(), "%lf %7s", &value, unit) != 2)
        return -1;
    const std::map<std::string, double> scale = {{"B", 1}, {"kB", 1e3}, {"MB", 1e6}, {"GB", 1e9}};
    const auto it = scale.find(unit);
    return it == scale.end() ? -1 : value * it->second;
}

} // namespace

// Several sessions sending large files to a server that answers each store slowly: at
// every moment the panel's numbers agree with each other. The overall bar, the figures
// beside it and the status line say one percentage, of the plan's bytes; no more is ever
// sent than there is; the files under way are each session's, their bytes and sizes
// together.
TEST(SessionWindow, TheProgressNumbersNeverContradictEachOther) {
    TTempTree site;
    const std::vector<std::pair<std::string, size_t>> files = {
        {"big.bin", 3'000'000}, {"mid.bin", 1'500'000}, {"small.html", 40'000}, {"tiny.css", 900}};
    for (const auto& [name, size] : files)
        site.File(name, std::string(size, 'x'));
    // A real server behind a relay that holds every command and reply a little, as a
    // long link does: the sessions' uploads overlap.
    TRealFtpServer server(TRealServerKind::Vsftpd);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TFaultRelay relay(server.Port(), {}, std::chrono::seconds(20));
    relay.SetControlDelay(std::chrono::milliseconds(30));
    ASSERT_TRUE(relay.Start(why)) << why;
    TWindowFixture f(site.Path());
    f.Form.setup.serverEdit.SetText("127.0.0.1");
    f.Form.setup.userEdit.SetText(server.User());
    f.Form.setup.passwordEdit.SetText(server.Password());
    f.Form.setup.ftpPortSpin.SetValue(relay.Port());
    f.Form.remoteRootEdit.SetText(server.SiteDir());
    f.Form.timeOutSpin.SetValue(20);
    f.Form.onConnect.loadOnConnectCheck.SetChecked(true);
    f.Form.onConnect.compareOnConnectCheck.SetChecked(true);
    // Fewer sessions than files: each file leaves the row when it is done.
    f.Form.connectionsSpin.SetValue(2);
    Click(f.Find("connectBtn"));
    ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    ASSERT_TRUE(f.Find("updateBtn")->isEnabled()) << f.Form.statusPanel.Caption();

    const TForm1::TProgressControls& p = f.Form.progress;
    int samples = 0, mostFiles = 0;
    std::set<int> percents;
    std::vector<std::string> contradictions;
    const auto check = [&](bool ok, const std::string& what) {
        if (!ok)
            contradictions.push_back(what);
    };
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const std::string figures = p.overallFigures.Caption();
        if (!p.overallFigures.Visible() || !figures.starts_with("Uploading "))
            return;
        ++samples;
        const int bar = p.overallBar.Position();
        percents.insert(bar);
        char sent[16] = {}, sentUnit[8] = {}, total[16] = {}, totalUnit[8] = {};
        int percent = -1;
        check(std::sscanf(figures.c_str(), "Uploading %15s %7s of %15s %7s (%d%%)", sent, sentUnit,
                          total, totalUnit, &percent) == 5,
              "figures: " + figures);
        check(percent == bar, "figures " + figures + " beside the bar at " + std::to_string(bar));
        check(BytesOf(std::string(sent) + " " + sentUnit) <=
                  BytesOf(std::string(total) + " " + totalUnit),
              "figures: " + figures);
        check(BytesOf(std::string(total) + " " + totalUnit) == 4.5e6, "total: " + figures);
        const std::string status = f.Form.statusPanel.Caption();
        if (status.starts_with("Uploading files - "))
            check(status == "Uploading files - " + std::to_string(bar) + "% complete",
                  "status " + status + " beside the bar at " + std::to_string(bar));
        // The files under way: each session's name, and their bytes of their sizes.
        const std::string names = p.fileNameLabel.Caption();
        if (!names.empty()) {
            const int under = static_cast<int>(std::count(names.begin(), names.end(), ',')) + 1;
            mostFiles = std::max(mostFiles, under);
            check(under <= 2, "more files under way than sessions: " + names);
            const double fileSent = BytesOf(p.bytesSentLabel.Caption());
            const double fileSize = BytesOf(p.fileSizeLabel.Caption());
            check(fileSent >= 0 && fileSent <= fileSize,
                  "sent " + p.bytesSentLabel.Caption() + " of " + p.fileSizeLabel.Caption());
            check(p.stepPercentLabel.Caption() == std::to_string(p.stepBar.Position()) + "%",
                  "step " + p.stepPercentLabel.Caption());
        }
    });
    probe.start(2);
    Click(f.Find("updateBtn"));
    probe.stop();
    EXPECT_FALSE(f.Form.engine.updateFailed) << f.Form.statusPanel.Caption();
    for (const auto& [name, size] : files)
        EXPECT_EQ(std::filesystem::file_size(server.SiteOnDisk() + "/" + name), size) << name;
    EXPECT_GT(samples, 5);
    EXPECT_TRUE(contradictions.empty())
        << contradictions.size()
        << ", first: " << (contradictions.empty() ? "" : contradictions[0]);
    EXPECT_GE(mostFiles, 2) << "the files of several sessions at once";
    EXPECT_GE(percents.size(), 3u) << "the bar moves with the bytes";
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Remote Site Update Complete");
}
