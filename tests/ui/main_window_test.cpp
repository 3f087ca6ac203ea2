#include "app/settings.h"
#include "tests/ui/window_driver.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabBar>
#include <QTest>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

QString TextOf(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return QString(b->text()).remove('&'); // without the mnemonic's mark
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* s = qobject_cast<QSpinBox*>(w))
        return QString::number(s->value());
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    return "<not a text widget>";
}

constexpr int WordSize = static_cast<int>(sizeof(void*) * 8);

// Without a size in the settings: room for every column, as far as the screen has room.
QSize FirstSize(const QWidget& window) {
    return QSize(TWindowGeometry::FirstWidth, TWindowGeometry::FirstHeight)
        .boundedTo(window.screen()->availableGeometry().size());
}

} // namespace

TEST(MainWindow, OpensAtItsFirstSizeWithTheControlsAsDesigned) {
    TWindowFixture f;
    EXPECT_EQ(f.Window->size(), FirstSize(*f.Window));
    // The word size of this build, whatever the program was first written for.
    EXPECT_EQ(f.Window->windowTitle(), QString("Pelmora - v1.1c (%1-bit)").arg(WordSize));

    struct Case {
        const char* name;
        const char* text;
        bool enabled;
    };
    for (const Case& c : {
             Case{"Label2", "Version", true},
             Case{"Label3", "1.1c", true},
             Case{"Label11", "Local Directory:", true},
             Case{"Label17", "Remote Directory:", true},
             Case{"localRootLabel", "", true},
             Case{"changeLocalBtn", "Change", true},
             Case{"servTypeLbl", "", true},
             Case{"remoteRootEdit", "/webftp", true},
             Case{"refreshBtn", "Refresh", false},
             Case{"connectBtn", "Connect", true}, // the socket library started
             Case{"compareBtn", "Compare", false},
             Case{"updateBtn", "Update", false},
             Case{"stopBtn", "Stop", false},
             Case{"Label26", "Status:", true},
             Case{"Label6",
                  "Click on either the local or remote directory listing to see details about "
                  "the file.",
                  true},
             Case{"Label41", "You may have to use the IP address.", true},
             Case{"Label7", "Server:", true},
             Case{"bytesSentCaption", "Bytes Transferred:", true},
             Case{"ftpPortSpin", "21", true},
             Case{"timeOutSpin", "30", true},
             Case{"firewallSpin", "21", true},
             Case{"firewallCheck", "Use Firewall", true},
             Case{"loadOnConnectCheck", "Load directory", true},
             Case{"compareOnConnectCheck", "Compare", true},
             Case{"updateOnConnectCheck", "Update remote FTP", true},
             Case{"exitWhenDoneCheck", "Exit pelmora when complete", true},
             Case{"deleteRemoteCheck", "Delete Remote Files", true},
             Case{"GroupBox1", "After connect:", true},
             Case{"GroupBox2", "Options:", true},
             Case{"Label1",
                  WordSize == 64 ? "Pelmora - Version 1.1c (64-bit)"
                                 : "Pelmora - Version 1.1c (32-bit)",
                  true},
             Case{"Button1", "Clear output", true},
             Case{"Label32", "Debug Output:", true},
         }) {
        QWidget* w = f.Find(c.name);
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_EQ(TextOf(w), QString::fromUtf8(c.text)) << c.name;
        EXPECT_EQ(w->isEnabled(), c.enabled) << c.name;
    }
    const std::pair<const char*, bool> checks[] = {
        {"loadOnConnectCheck", true},    {"compareOnConnectCheck", false},
        {"updateOnConnectCheck", false}, {"exitWhenDoneCheck", false},
        {"deleteRemoteCheck", true},     {"firewallCheck", false}};
    for (auto [name, checked] : checks)
        EXPECT_EQ(f.Find<QCheckBox>(name)->isChecked(), checked) << name;
    const std::pair<const char*, std::pair<int, int>> ranges[] = {
        {"ftpPortSpin", {0, 65535}}, {"timeOutSpin", {5, 300}}, {"firewallSpin", {0, 65535}}};
    for (auto [name, range] : ranges) {
        EXPECT_EQ(f.Find<QSpinBox>(name)->minimum(), range.first) << name;
        EXPECT_EQ(f.Find<QSpinBox>(name)->maximum(), range.second) << name;
    }

    // Hidden until a step or an upload uses them.
    for (const char* name : {"stepBar", "stepPercentLabel", "progressLbl", "overallBar",
                             "bytesSentCaption", "fileSizeCaption", "fileNameCaption"})
        EXPECT_TRUE(f.Find(name)->isHidden()) << name;
    // The debug pane is there but never shown.
    EXPECT_FALSE(f.Find("debugMemo")->isVisible());
    EXPECT_FALSE(f.Find("Button1")->isVisible());
    // The legend's six icons are the trees' own state images.
    for (const char* name : {"Image1", "Image2", "Image5", "Image4", "keptImage", "Image7"}) {
        const QLabel* icon = f.Find<QLabel>(name);
        ASSERT_NE(icon, nullptr) << name;
        EXPECT_EQ(icon->pixmap().size(), QSize(16, 16)) << name;
    }
    for (const char* name : {"Image8", "Image3", "Image6"})
        EXPECT_FALSE(f.Find<QLabel>(name)->pixmap().isNull()) << name;
}

// The four buttons of a session say what they do; the number fields stay as wide as their
// numbers however wide the window is.
TEST(MainWindow, TheSessionButtonsHaveTipsAndSpinBoxesKeepTheirWidth) {
    TWindowFixture f;
    for (const char* name : {"connectBtn", "compareBtn", "updateBtn", "stopBtn"})
        EXPECT_FALSE(f.Find(name)->toolTip().isEmpty()) << name;
    f.Window->resize(1600, 720);
    for (int page : {2, 3}) { // Setup, Options
        f.Window->TabSet1Change(page);
        Pump(20);
    }
    for (const char* name : {"ftpPortSpin", "timeOutSpin", "firewallSpin", "connectionsSpin"}) {
        const QWidget* spin = f.Find(name);
        EXPECT_EQ(spin->width(), spin->sizeHint().width()) << name;
        EXPECT_LT(spin->width(), 200) << name;
    }
}

TEST(MainWindow, ThePasswordShowsAStarForEveryCharacterAndTheEditsWriteTheirModels) {
    TWindowFixture f;
    auto* password = f.Find<QLineEdit>("passwordEdit");
    password->setFocus();
    password->insert("s3cret"); // as typed: the model hears it
    EXPECT_EQ(f.Form.setup.passwordEdit.Text(), "s3cret");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(password->displayText(), "******");

    f.Find<QSpinBox>("timeOutSpin")->setValue(120);
    EXPECT_EQ(f.Form.timeOutSpin.Value(), 120);
    Click(f.Find<QCheckBox>("updateOnConnectCheck"));
    EXPECT_TRUE(f.Form.onConnect.updateOnConnectCheck.Checked());
    // And the other way: the settings or the session change the model, the page follows.
    f.Form.setup.serverEdit.SetText("ftp.example.org");
    EXPECT_EQ(f.Find<QLineEdit>("serverEdit")->text(), "ftp.example.org");
}

TEST(MainWindow, EachTabShowsThePageWithItsIndex) {
    TWindowFixture f;
    QTabBar* tabs = f.Window->TabSet();
    QStackedWidget* notebook = f.Window->Notebook();
    ASSERT_EQ(tabs->count(), 7);
    EXPECT_EQ(notebook->currentIndex(), 0);
    // The tab row lies below the pages.
    EXPECT_GT(tabs->mapTo(f.Window.get(), QPoint(0, 0)).y(),
              notebook->mapTo(f.Window.get(), QPoint(0, notebook->height() - 1)).y());
    const char* const tabTexts[] = {"Transfer", "Details", "Setup", "Options",
                                    "Legend",   "Info",    "Log"};
    const char* const pages[] = {"transfer", "Details", "Setup", "Options",
                                 "Legend",   "Info",    "Log"};
    // Out of order, so a page that merely follows the previous one is caught.
    for (int i : {4, 1, 6, 5, 2, 0, 3}) {
        EXPECT_EQ(QString(tabs->tabText(i)).remove(QChar('&')), tabTexts[i]);
        Click(tabs, tabs->tabRect(i).center());
        EXPECT_EQ(notebook->currentIndex(), i);
        EXPECT_EQ(notebook->currentWidget()->objectName(), pages[i]);
        EXPECT_TRUE(notebook->currentWidget()->isVisible());
        EXPECT_EQ(f.Form.NotebookPage, i);
    }
}

TEST(MainWindow, TheSizeTheUserGaveIsSavedOnCloseAndUsedAtTheNextStart) {
    TTempTree dir;
    std::string why;
    const std::string settings = dir.Path("PELMORA.INI");
    {
        TForm1 form;
        form.FormCreate(settings);
        ui::TMainWindow window(form);
        window.show();
        Pump(20);
        EXPECT_EQ(window.size(), FirstSize(window));
        window.resize(700, 500);
        window.close();
        EXPECT_EQ(form.Geometry.Width, 700);
        EXPECT_EQ(form.Geometry.Height, 500);
    }
    TForm1 again;
    again.FormCreate(settings);
    ui::TMainWindow window(again);
    EXPECT_EQ(window.size(), QSize(700, 500));
    // A stored size larger than the first one is kept as it is too.
    ASSERT_TRUE(ConfigureSettings(settings, {"Screen.width=1300", "Screen.height=900"}, why))
        << why;
    TForm1 wide;
    wide.FormCreate(settings);
    ui::TMainWindow wideWindow(wide);
    EXPECT_EQ(wideWindow.size(), QSize(1300, 900));
}

TEST(MainWindow, ClearOutputEmptiesTheDebugMemo) {
    TWindowFixture f;
    f.Form.debugMemo.Add("raw line");
    f.Find<QWidget>("debugPane")->show();
    f.Form.debugMemo.SetVisible(true);
    EXPECT_EQ(f.Find<QPlainTextEdit>("debugMemo")->toPlainText(), "raw line");
    Click(f.Find("Button1"));
    EXPECT_TRUE(f.Form.debugMemo.Lines().empty());
    EXPECT_EQ(f.Find<QPlainTextEdit>("debugMemo")->toPlainText(), "");
}

TEST(MainWindow, TransferFiguresRepaintAtAHumanRateAndEndOnTheLastValue) {
    TWindowFixture f;
    auto* sent = f.Find<QLabel>("bytesSentLabel");
    auto* bar = f.Find<QProgressBar>("stepBar");
    f.Form.engine.ShowProgress();
    // An upload over loopback: a progress event per 2,048-byte block for 400 ms, the loop
    // pumped after each as the upload wait does.
    QStringList seen;
    int block = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 400) {
        ++block;
        f.Form.progress.bytesSentLabel.SetCaption(std::to_string(block * 2048));
        f.Form.engine.SetProgress(block % 101);
        QCoreApplication::processEvents();
        if (seen.isEmpty() || seen.back() != sent->text())
            seen.push_back(sent->text());
    }
    ASSERT_GT(block, 100) << "too few blocks to tell";
    EXPECT_LE(seen.size(), 400 / ui::TMainWindow::RepaintIntervalMs + 2);
    // The models stay exact all along; the widgets catch up once the blocks stop.
    EXPECT_EQ(f.Form.progress.bytesSentLabel.Caption(), std::to_string(block * 2048));
    Pump(ui::TMainWindow::RepaintIntervalMs + 50);
    EXPECT_EQ(sent->text(), QString::number(block * 2048));
    EXPECT_EQ(bar->value(), block % 101);
    // Showing and hiding never waits.
    f.Form.engine.HideProgress();
    EXPECT_TRUE(bar->isHidden());
}

TEST(MainWindow, AnAltLetterNeverTypesIntoAField) {
    TWindowFixture f;
    f.Form.remoteRootEdit.SetText("/gui");
    auto* remote = f.Find<QLineEdit>("remoteRootEdit");
    f.Window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.Window.get()));
    remote->setFocus();
    remote->end(false);
    ASSERT_FALSE(f.Find("compareBtn")->isEnabled());
    ASSERT_FALSE(f.Find("updateBtn")->isEnabled());
    // Compare and Update are disabled before a connect; "Load directory" is on a page
    // that is not shown; nothing at all answers to Q.
    for (Qt::Key key : {Qt::Key_M, Qt::Key_U, Qt::Key_D, Qt::Key_Q})
        QTest::keyClick(remote, key, Qt::AltModifier);
    EXPECT_EQ(remote->text(), "/gui");
    EXPECT_EQ(f.Form.remoteRootEdit.Text(), "/gui");

    // A letter whose control is there still works, and plain typing still types.
    auto* changesOnly = f.Find<QCheckBox>("changesOnlyCheck");
    const bool before = changesOnly->isChecked();
    QTest::keyClick(remote, Qt::Key_Y, Qt::AltModifier);
    Pump(300); // a button's Alt key presses it with a short animation
    EXPECT_NE(changesOnly->isChecked(), before);
    QTest::keyClick(remote, Qt::Key_X);
    EXPECT_EQ(f.Form.remoteRootEdit.Text(), "/guix");
}
