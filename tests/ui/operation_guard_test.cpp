#include "app/ui/dir_dialog.h"
#include "sync/temporary_names.h"
#include "tests/support/eventually.h"
#include "tests/support/ftp_script_server.h"
#include "tests/ui/window_driver.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

using Op = TSyncCore::TOperation;

// A local site of `count` files and a server that holds an older copy of each, so the
// compare marks every file for refreshing.
struct TSite {
    explicit TSite(int count) {
        std::vector<std::string> lines;
        for (int i = 0; i < count; ++i) {
            const std::string name = "page" + std::to_string(10000 + i) + ".html";
            local.File(name, "fresh " + name);
            names.push_back(name);
            lines.push_back(FileLine(name, 3, "Jan  5  2001"));
        }
        server.SetListing(Listing(lines));
    }
    // How often each file was sent, by name; one sent under a temporary name (to be
    // renamed over the old one) counts for the name it stands for.
    std::map<std::string, int> Stores() const {
        std::map<std::string, int> count;
        for (const std::string& c : server.Commands())
            if (c.rfind("STOR ", 0) == 0) {
                std::string name = c.substr(c.find_last_of('/') + 1);
                if (IsTemporaryName(name))
                    name = name.substr(16, name.size() - 16 - 9); // ".pelmora-upload.", ".hex"
                ++count[name];
            }
        return count;
    }
    std::map<std::string, int> EachOnce() const {
        std::map<std::string, int> once;
        for (const std::string& n : names)
            once[n] = 1;
        return once;
    }
    TTempTree local;
    TFtpScriptServer server;
    std::vector<std::string> names;
};

// Runs `action` once, from the event loop, as soon as `when` holds: in the middle of
// whatever operation is pumping messages then.
class TOnceWhen {
public:
    TOnceWhen(std::function<bool()> when, std::function<void()> action) {
        QObject::connect(&timer_, &QTimer::timeout, [this, when, action] {
            if (done_ || !when())
                return;
            done_ = true;
            timer_.stop();
            action();
        });
        timer_.start(0);
    }
    bool Done() const { return done_; }

private:
    QTimer timer_;
    bool done_ = false;
};

std::string Caption(const TWindowFixture& f, const char* button) {
    return f.Find<QPushButton>(button)->text().remove('&').toStdString();
}

bool StartsWith(const std::string& text, const std::string& head) {
    return text.rfind(head, 0) == 0;
}

// Connects through the window (with the after-connect load) and compares.
void ConnectAndCompare(TWindowFixture& f, const TSite& site, int count) {
    UseScriptServer(f, site.server, true, false);
    Click(f.Find("connectBtn"));
    ASSERT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    ASSERT_EQ(f.Form.engine.remoteList.Count(), count) << f.Form.statusPanel.Caption();
    Click(f.Find("compareBtn"));
    ASSERT_EQ(f.Form.statusPanel.Caption(), "Files Compared. Ready for Transfer");
}

} // namespace

// While any operation runs, only Stop and (with a session) Disconnect can be pressed;
// afterwards each button is as the operation's outcome says.
TEST(OperationGuard, EveryOperationHoldsTheButtonsAndLeavesItsOwnOutcome) {
    TSite site(3);
    site.server.On("LIST").Delay(150);
    site.server.On("STOR")
        .Delay(80)
        .Preliminary({"150 Opening data connection"})
        .Reply("226 Transfer complete");
    TTempTree other;
    other.File("elsewhere.html");
    TWindowFixture f(site.local.Path());
    UseScriptServer(f, site.server, true, false);

    std::vector<TButtons> seen;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (!f.Form.engine.OperationRunning())
            return;
        const TButtons now = Enabled(f);
        if (std::find(seen.begin(), seen.end(), now) == seen.end())
            seen.push_back(now);
    });
    probe.start(0);
    const TButtons idle{true, false, false, false, false, true};
    const TButtons held{false, false, false, true, false, false};
    const TButtons heldInSession{true, false, false, true, false, false};

    struct Step {
        const char* what;
        std::function<void()> press;
        std::vector<TButtons> during;
        TButtons after;
    };
    const Step steps[] = {
        {"Change",
         [&] {
             QTimer::singleShot(0, [&] {
                 f.Window->DirDialog()->SetDirectory(QString::fromStdString(other.Path()));
                 Click(f.Window->DirDialog()->OKBtn());
             });
             Click(f.Find("changeLocalBtn"));
         },
         {held},
         idle},
        // Disconnect is live from the moment the login succeeds.
        {"Connect",
         [&] { Click(f.Find("connectBtn")); },
         {held, heldInSession},
         {true, true, false, false, true, true}},
        {"Change back",
         [&] {
             QTimer::singleShot(0, [&] {
                 f.Window->DirDialog()->SetDirectory(QString::fromStdString(site.local.Path()));
                 Click(f.Window->DirDialog()->OKBtn());
             });
             Click(f.Find("changeLocalBtn"));
         },
         {heldInSession},
         {true, true, false, false, true, true}},
        {"Refresh",
         [&] { Click(f.Find("refreshBtn")); },
         {heldInSession},
         {true, true, false, false, true, true}},
        {"Compare",
         [&] { Click(f.Find("compareBtn")); },
         {heldInSession},
         {true, true, true, false, true, true}},
        {"Update",
         [&] { Click(f.Find("updateBtn")); },
         {heldInSession},
         {true, true, false, false, true, true}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        seen.clear();
        step.press();
        EXPECT_FALSE(f.Form.engine.OperationRunning());
        EXPECT_EQ(seen, step.during) << f.Form.statusPanel.Caption();
        EXPECT_EQ(Enabled(f), step.after) << f.Form.statusPanel.Caption();
    }
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Remote Site Update Complete");
    EXPECT_EQ(site.Stores(), site.EachOnce());
}

// Disconnect during an operation stops it, ends the session without freeing anything the
// operation still walks, and leaves the window ready for the next Connect.
TEST(OperationGuard, DisconnectDuringAnOperationStopsItAndTheNextConnectWorks) {
    struct Case {
        const char* what;
        int files;
        std::function<void(TWindowFixture&, TSite&)> prepare; // connected, ready to start
        std::function<void(TWindowFixture&)> start;
        std::function<bool(TWindowFixture&)> underWay;
        const char* status; // what the window says once the operation has unwound
        bool quit;          // the component was idle: the server is told QUIT
    };
    auto connectOnly = [](TWindowFixture& f, TSite& site) {
        UseScriptServer(f, site.server, false, false);
    };
    auto waitingForListing = [](TWindowFixture& f) {
        return f.Form.engine.remoteLoading && FtpOf(f.Form).Status() == ftpBusy;
    };
    const Case cases[] = {
        {"the load after connect", 3,
         [](TWindowFixture& f, TSite& site) {
             site.server.On("LIST").Uses(1).Delay(1500);
             UseScriptServer(f, site.server, true, false);
         },
         [](TWindowFixture& f) { Click(f.Find("connectBtn")); }, waitingForListing,
         "Directory Load Stopped", false},
        {"Refresh", 3,
         [&](TWindowFixture& f, TSite& site) {
             connectOnly(f, site);
             Click(f.Find("connectBtn"));
             site.server.On("LIST").Uses(1).Delay(1500);
         },
         [](TWindowFixture& f) { Click(f.Find("refreshBtn")); }, waitingForListing,
         "Directory Load Stopped", false},
        {"Compare", 3000,
         [](TWindowFixture& f, TSite& site) {
             UseScriptServer(f, site.server, true, false);
             Click(f.Find("connectBtn"));
         },
         [](TWindowFixture& f) { Click(f.Find("compareBtn")); },
         [](TWindowFixture& f) { return StartsWith(f.Form.statusPanel.Caption(), "Comparing"); },
         "Compare stopped", true},
        {"an upload", 3,
         [](TWindowFixture& f, TSite& site) {
             site.server.On("STOR").Uses(1).Delay(1500);
             ConnectAndCompare(f, site, 3);
         },
         [](TWindowFixture& f) { Click(f.Find("updateBtn")); },
         [](TWindowFixture& f) {
             return f.Form.engine.session.Uploading() && FtpOf(f.Form).Status() == ftpBusy;
         },
         "Transfer canceled. You MAY have to reconnect.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TSite site(c.files);
        TWindowFixture f(site.local.Path());
        c.prepare(f, site);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        ASSERT_EQ(f.Form.engine.localList.Count(), c.files);
        uint32_t pressed = 0;
        TOnceWhen disconnect([&] { return c.underWay(f); },
                             [&] {
                                 EXPECT_TRUE(f.Find("connectBtn")->isEnabled());
                                 pressed = GetTickCount();
                                 Click(f.Find("connectBtn"));
                                 // The session's end waits for the operation to unwind.
                                 EXPECT_EQ(Caption(f, "connectBtn"), "Disconnect");
                                 EXPECT_FALSE(f.Find("connectBtn")->isEnabled());
                             });
        c.start(f);
        ASSERT_TRUE(disconnect.Done()) << f.Form.statusPanel.Caption();
        EXPECT_LT(GetTickCount() - pressed, 1000u) << "the operation stops at once";
        EXPECT_FALSE(f.Form.engine.OperationRunning());
        EXPECT_EQ(f.Form.statusPanel.Caption(), c.status);
        EXPECT_FALSE(f.Form.engine.connected);
        EXPECT_EQ(Caption(f, "connectBtn"), "Connect");
        EXPECT_EQ(Enabled(f), (TButtons{true, false, false, false, false, true}));
        EXPECT_EQ(f.Form.engine.remoteList.Count(), 0);
        EXPECT_EQ(f.Form.engine.remoteTree.Count(), 0);
        EXPECT_EQ(f.Form.engine.localList.Count(), c.files);
        EXPECT_EQ(f.Messages, std::vector<std::string>{}); // nothing failed on the way
        if (c.quit) {
            EXPECT_TRUE(Eventually([&] {
                const auto sent = site.server.Commands();
                return std::count(sent.begin(), sent.end(), "QUIT") == 1;
            }));
        }

        // One press of Connect starts the next session, and its load completes. A press
        // comes through the event loop, after what the component posted to itself.
        EXPECT_TRUE(Eventually([&] { return FtpOf(f.Form).Status() == ftpAvailable; }, 2000));
        const int sessions = site.server.Sessions();
        f.Form.onConnect.loadOnConnectCheck.SetChecked(true);
        Click(f.Find("connectBtn"));
        EXPECT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
        EXPECT_TRUE(Eventually([&] { return site.server.Sessions() == sessions + 1; }));
        EXPECT_EQ(f.Form.statusPanel.Caption(), "Remote Directory Loaded");
        EXPECT_EQ(f.Form.engine.remoteList.Count(), c.files);
        EXPECT_EQ(Caption(f, "connectBtn"), "Disconnect");
    }
}

// Change and OK while the compare walks both lists, or while an upload waits for the
// server: the directory dialog does not even open, and the lists stay as they were.
TEST(OperationGuard, ChangeDuringCompareOrUploadChangesNothing) {
    struct Case {
        const char* what;
        int files;
        std::function<void(TWindowFixture&)> start;
        std::function<bool(TWindowFixture&)> underWay;
        const char* status;
    };
    const Case cases[] = {
        {"Compare", 3000, [](TWindowFixture& f) { Click(f.Find("compareBtn")); },
         [](TWindowFixture& f) { return StartsWith(f.Form.statusPanel.Caption(), "Comparing"); },
         "Files Compared. Ready for Transfer"},
        {"an upload", 4, [](TWindowFixture& f) { Click(f.Find("updateBtn")); },
         [](TWindowFixture& f) {
             return f.Form.engine.session.Uploading() && FtpOf(f.Form).Status() == ftpBusy;
         },
         "Remote Site Update Complete"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TSite site(c.files);
        site.server.On("STOR")
            .Delay(100)
            .Preliminary({"150 Opening data connection"})
            .Reply("226 Transfer complete");
        TTempTree other;
        other.File("elsewhere.html");
        TWindowFixture f(site.local.Path());
        UseScriptServer(f, site.server, true, c.files < 100);
        Click(f.Find("connectBtn"));
        ASSERT_EQ(f.Form.engine.remoteList.Count(), c.files) << f.Form.statusPanel.Caption();

        // Whenever the dialog shows, it is answered with OK on another directory.
        bool dialogShown = false;
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            ui::TDirDialog* d = f.Window->DirDialog();
            if (!d->isVisible())
                return;
            dialogShown = true;
            d->SetDirectory(QString::fromStdString(other.Path()));
            Click(d->OKBtn());
        });
        answer.start(0);
        TOnceWhen change([&] { return c.underWay(f); },
                         [&] {
                             QWidget* button = f.Find("changeLocalBtn");
                             EXPECT_FALSE(button->isEnabled());
                             Click(button);
                             PostClick(button);
                             f.Form.changeLocalBtnClick(); // a press that got through anyway
                         });
        c.start(f);
        Pump(20); // the queued click
        EXPECT_TRUE(change.Done());
        EXPECT_FALSE(dialogShown);
        EXPECT_EQ(f.Form.localRootLabel.Caption(), site.local.Path());
        EXPECT_EQ(f.Form.engine.localList.Count(), c.files);
        EXPECT_EQ(f.Form.statusPanel.Caption(), c.status);
        EXPECT_EQ(f.Messages, std::vector<std::string>{});
        if (c.files < 100) {
            EXPECT_EQ(site.Stores(), site.EachOnce());
        }
    }
}

// A second press of Update, or of any other button, while an update runs neither starts
// another run nor cuts this one short: every file is sent exactly once.
TEST(OperationGuard, NoOtherPressGetsIntoAnUpdate) {
    struct Case {
        const char* what;
        std::function<void(TWindowFixture&)> press;
    };
    const Case cases[] = {
        {"double click on Update", [](TWindowFixture& f) { PostClick(f.Find("updateBtn")); }},
        {"Update", [](TWindowFixture& f) { f.Form.updateBtnClick(); }},
        {"Refresh", [](TWindowFixture& f) { f.Form.refreshBtnClick(); }},
        {"Compare", [](TWindowFixture& f) { f.Form.compareBtnClick(); }},
        {"Change", [](TWindowFixture& f) { f.Form.changeLocalBtnClick(); }},
        // The engine's actions refuse on their own what is no step of the update.
        {"the engine's Update", [](TWindowFixture& f) { f.Form.engine.UpdateRemote(); }},
        {"the engine's Compare", [](TWindowFixture& f) { f.Form.engine.CompareSides(); }},
        {"the engine's Change", [](TWindowFixture& f) { f.Form.engine.ChangeLocal(); }},
    };
    constexpr int files = 12;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TSite site(files);
        site.server.On("STOR")
            .Delay(20)
            .Preliminary({"150 Opening data connection"})
            .Reply("226 Transfer complete");
        TWindowFixture f(site.local.Path());
        f.Form.DirDialog = [](std::string&) {
            ADD_FAILURE() << "the directory dialog opened during the update";
            return 2;
        };
        ConnectAndCompare(f, site, files);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());

        // Pressed again and again while the files go up.
        int presses = 0;
        QTimer again;
        QObject::connect(&again, &QTimer::timeout, [&] {
            if (f.Form.engine.RunningOperation() != Op::Update ||
                !f.Form.engine.session.Uploading())
                return;
            ++presses;
            c.press(f);
        });
        again.start(15);
        PostClick(f.Find("updateBtn"));
        ASSERT_TRUE(
            Eventually([&] { return !f.Form.engine.OperationRunning() && presses > 0; }, 10000))
            << f.Form.statusPanel.Caption();
        again.stop();
        EXPECT_GT(presses, 1);
        EXPECT_EQ(f.Form.statusPanel.Caption(), "Remote Site Update Complete");
        EXPECT_FALSE(f.Form.engine.updateFailed);
        EXPECT_EQ(site.Stores(), site.EachOnce());
        EXPECT_EQ(f.Form.engine.remoteList.Count(), files); // read again after the run, once
        EXPECT_EQ(Enabled(f), (TButtons{true, true, false, false, true, true}));
        EXPECT_EQ(f.Messages, std::vector<std::string>{});
    }
}

// Stop is live during the login too: it ends the half-open session, so the next
// Connect is not refused as busy.
TEST(OperationGuard, StopDuringTheLoginEndsTheHalfOpenSession) {
    TSite site(2);
    site.server.On("").Uses(1).Delay(1500).Reply("220 Slow but ready");
    TWindowFixture f(site.local.Path());
    UseScriptServer(f, site.server, true, false);
    TOnceWhen stop(
        [&] { return f.Form.engine.OperationRunning() && FtpOf(f.Form).Status() == ftpBusy; },
        [&] {
            EXPECT_EQ(Enabled(f), (TButtons{false, false, false, true, false, false}));
            Click(f.Find("stopBtn"));
        });
    const uint32_t start = GetTickCount();
    Click(f.Find("connectBtn"));
    EXPECT_TRUE(stop.Done());
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_FALSE(f.Form.engine.connected);
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Could not connect to remote site");
    EXPECT_EQ(Enabled(f), (TButtons{true, false, false, false, false, true}));
    // The greeting of the stopped session, when it comes, changes nothing.
    Pump(1700);
    EXPECT_FALSE(f.Form.engine.connected);
    EXPECT_EQ(Caption(f, "connectBtn"), "Connect");

    Click(f.Find("connectBtn"));
    EXPECT_TRUE(f.Form.engine.connected) << f.Form.statusPanel.Caption();
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Remote Directory Loaded");
    EXPECT_EQ(f.Form.engine.remoteList.Count(), 2);
}

// Closing the window stops what runs rather than leave it uploading out of sight.
TEST(OperationGuard, ClosingTheWindowStopsTheRunningOperation) {
    TSite site(3);
    site.server.On("STOR").Uses(1).Delay(3000);
    TTempTree settings;
    TWindowFixture f(site.local.Path());
    f.Form.FormCreate(settings.Path("PELMORA.INI"));
    f.Form.SetLocalRoot(site.local.Path());
    // One session: files on others could be stored whole before the close, as they should.
    f.Form.connectionsSpin.SetValue(1);
    ConnectAndCompare(f, site, 3);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    TOnceWhen close(
        [&] { return f.Form.engine.session.Uploading() && FtpOf(f.Form).Status() == ftpBusy; },
        [&] { f.Window->close(); });
    const uint32_t start = GetTickCount();
    Click(f.Find("updateBtn"));
    EXPECT_TRUE(close.Done());
    EXPECT_LT(GetTickCount() - start, 2500u) << "the upload did not wait for its reply";
    EXPECT_TRUE(f.Form.Closed);
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Transfer canceled. You MAY have to reconnect.");
    // The close came while the first upload was under way: its STOR may have reached the
    // server before the close did (on a slow build it often has), but no upload after it.
    int stores = 0;
    for (const auto& [name, count] : site.Stores())
        stores += count;
    EXPECT_LE(stores, 1) << ::testing::PrintToString(site.server.Commands());
}

// A handler that fails with an exception is reported, and the operation it ran ends
// like any other: the buttons are released and the next press works.
TEST(OperationGuard, AnExceptionInAHandlerIsReportedAndReleasesTheButtons) {
    TTempTree site;
    site.File("index.html");
    TWindowFixture f(site.Path());
    f.Form.DirDialog = [](std::string&) -> int { throw std::runtime_error("no dialog today"); };
    const TButtons before = Enabled(f);
    Click(f.Find("changeLocalBtn"));
    EXPECT_EQ(f.Messages, std::vector<std::string>{"no dialog today"});
    EXPECT_FALSE(f.Form.engine.OperationRunning());
    EXPECT_EQ(Enabled(f), before);

    f.Form.DirDialog = [&](std::string& chosen) {
        chosen = site.Path();
        return 1;
    };
    Click(f.Find("changeLocalBtn"));
    EXPECT_EQ(f.Form.statusPanel.Caption(), "Local Directory Loaded: 1");
}
