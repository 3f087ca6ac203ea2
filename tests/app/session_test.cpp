#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/main_form.h"
#include "app/settings.h"
#include "tests/support/eventually.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include <unistd.h>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

class TSessionForm : public TForm1 {
public:
    explicit TSessionForm(const std::string& local) {
        statusPanel.Subscribe([this] { statuses.push_back(statusPanel.Caption()); });
        SetLocalRoot(local);
        setup.serverEdit.SetText("127.0.0.1");
        setup.userEdit.SetText("user");
        setup.passwordEdit.SetText("pw");
        remoteRootEdit.SetText("/");
        timeOutSpin.SetValue(5);
        onConnect.compareOnConnectCheck.SetChecked(false);
        onConnect.loadOnConnectCheck.SetChecked(false);
        FormActivate();
    }
    std::vector<std::string> statuses;
    bool Said(const std::string& s) const {
        return std::find(statuses.begin(), statuses.end(), s) != statuses.end();
    }
};

bool Sent(const TFtpScriptServer& server, const std::string& command) {
    const auto c = server.Commands();
    return std::find(c.begin(), c.end(), command) != c.end();
}

} // namespace

TEST(Session, ChecksTheSetupBeforeSendingAnything) {
    TTempTree tree;
    struct Case {
        std::string local, server, user, password, status;
    };
    for (const Case& c :
         {Case{"", "127.0.0.1", "u", "p", "Please supply a local directory before connecting"},
          Case{tree.Path(), "", "u", "p", "Supply FTP server details under SETUP below"},
          Case{tree.Path(), "127.0.0.1", "", "", "Please supply a username or password"}}) {
        TSessionForm form(c.local);
        form.setup.serverEdit.SetText(c.server);
        form.setup.userEdit.SetText(c.user);
        form.setup.passwordEdit.SetText(c.password);
        form.connectBtnClick();
        EXPECT_EQ(form.statuses.back(), c.status);
        EXPECT_FALSE(form.engine.connected);
        EXPECT_TRUE(form.connectBtn.Enabled());
    }
}

TEST(Session, ConnectsShowsTheServerTypeAndDisconnects) {
    TTempTree tree;
    TFtpScriptServer server;
    TSessionForm form(tree.Path());
    form.setup.passwordEdit.SetText(""); // a user name alone is enough
    form.setup.ftpPortSpin.SetValue(server.Port());
    form.connectBtnClick();
    ASSERT_TRUE(form.engine.connected) << form.statuses.back();
    EXPECT_TRUE(form.Said("Connecting to: 127.0.0.1"));
    EXPECT_EQ(form.statuses.back(), "Connected - ready");
    EXPECT_EQ(form.servTypeLbl.Caption(), "UNIX TYPE: L8");
    EXPECT_EQ(form.connectBtn.Caption(), "Disconnect");
    EXPECT_TRUE(form.refreshBtn.Enabled());

    form.connectBtnClick();
    EXPECT_FALSE(form.engine.connected);
    EXPECT_EQ(form.statuses.back(), "Disconnected from Remote Site");
    EXPECT_EQ(form.connectBtn.Caption(), "Connect");
    EXPECT_EQ(form.servTypeLbl.Caption(), "");
    EXPECT_FALSE(form.refreshBtn.Enabled());
    EXPECT_TRUE(Eventually([&] { return Sent(server, "QUIT"); }));
}

TEST(Session, ARefusedPasswordSaysAccessDenied) {
    TTempTree tree;
    TFtpScriptServer server;
    server.On("PASS").Reply("530 Login incorrect.");
    TSessionForm form(tree.Path());
    form.setup.ftpPortSpin.SetValue(server.Port());
    form.connectBtnClick();
    EXPECT_FALSE(form.engine.connected);
    EXPECT_EQ(form.statuses.back(), "Access Denied. Incorrect username or password");
    EXPECT_TRUE(form.connectBtn.Enabled());
}

TEST(Session, ALoginRefusedForNowSaysWhatTheServerSaid) {
    TTempTree tree;
    TFtpScriptServer server;
    server.On("PASS").Reply("421 Too many users logged in, try later");
    TSessionForm form(tree.Path());
    form.setup.ftpPortSpin.SetValue(server.Port());
    form.connectBtnClick();
    EXPECT_FALSE(form.engine.connected);
    EXPECT_EQ(form.statuses.back(),
              "The server refused the login for now: 421 Too many users logged in, try later");
    EXPECT_TRUE(form.connectBtn.Enabled());
}

// The window's status shows the server's words, never the password they repeat.
TEST(Session, TheStatusMasksAPasswordTheServerRepeats) {
    TTempTree tree;
    TFtpScriptServer server;
    server.On("PASS").Reply("421 No logins now, not even for pw-window-58");
    TSessionForm form(tree.Path());
    form.setup.passwordEdit.SetText("pw-window-58");
    form.setup.ftpPortSpin.SetValue(server.Port());
    form.connectBtnClick();
    EXPECT_FALSE(form.engine.connected);
    EXPECT_EQ(form.statuses.back(),
              "The server refused the login for now: 421 No logins now, not even for ***");
    for (const std::string& status : form.statuses)
        EXPECT_EQ(status.find("pw-window"), std::string::npos) << status;
}

TEST(Session, AServerThatNeverGreetsTimesOut) {
    TTempTree tree;
    TFtpScriptServer server;
    server.On("").Silent();
    TSessionForm form(tree.Path());
    form.setup.ftpPortSpin.SetValue(server.Port());
    const uint32_t start = GetTickCount();
    form.connectBtnClick();
    const uint32_t took = GetTickCount() - start;
    EXPECT_GE(took, 5000u);
    EXPECT_LT(took, 9000u);
    EXPECT_EQ(form.statuses.back(), "Could not connect to remote site");
    EXPECT_TRUE(form.connectBtn.Enabled());
}

TEST(Session, ThroughAFirewallTheUserNamesTheServer) {
    TTempTree tree;
    TFtpScriptServer firewall;
    TSessionForm form(tree.Path());
    form.setup.serverEdit.SetText("ftp.example.org");
    form.setup.ftpPortSpin.SetValue(1); // not used through the firewall
    form.setup.firewallCheck.SetChecked(true);
    form.setup.firewallEdit.SetText("127.0.0.1");
    form.setup.firewallSpin.SetValue(firewall.Port());
    form.connectBtnClick();
    ASSERT_TRUE(form.engine.connected) << form.statuses.back();
    EXPECT_TRUE(form.Said("Connecting to: ftp.example.org"));
    EXPECT_TRUE(Eventually([&] { return Sent(firewall, "USER user@ftp.example.org"); }));
}

// The after-connect options are the window's: a run without a window that has them all
// off still loads, compares and publishes.
TEST(Session, HeadlessPublishesWhateverTheAfterConnectOptionsSayAndExitsWithItsOutcome) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    TFtpScriptServer server;
    server.SetListing("-rw-r--r-- 1 o g 1 Jan  5 10:42 index.html\r\n");
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=u",
                                   "FTP.password=secret-word", "List.remote=/", "Options.load=0",
                                   "Options.compare=0", "Options.update=0", "Options.timeout=5"},
                                  error));
    std::ostringstream out, err;
    EXPECT_EQ(RunHeadless(ini, out, err), 0) << out.str() << err.str();
    EXPECT_NE(out.str().find("Connecting to 127.0.0.1 (port " + std::to_string(server.Port()) +
                             ")\nConnected to 127.0.0.1 (not encrypted)\n"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("\nRemote: 1 file in 1 directory (/)\n"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("  refresh /index.html ("), std::string::npos) << out.str();
    const auto stored = server.Stored();
    EXPECT_EQ(stored.size(), 1u) << out.str();
    EXPECT_EQ(stored.empty() ? "" : stored.begin()->second, "x") << out.str();
    EXPECT_EQ(out.str().find("secret-word"), std::string::npos);

    server.On("CWD").Reply("550 No such directory");
    std::ostringstream out2, err2;
    EXPECT_EQ(RunHeadless(ini, out2, err2), 1);
    EXPECT_EQ(err2.str(), "Could not enter the remote directory /: 550 No such directory\n");
}

TEST(Session, CtrlCStopsAHeadlessRunAtOnce) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    TFtpScriptServer server;
    server.On("LIST").Delay(4000);
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=u",
                                   "List.remote=/", "Options.timeout=10", "Options.update=1"},
                                  error));
    QTimer::singleShot(300, [] { std::raise(SIGINT); });
    std::ostringstream out, err;
    const uint32_t start = GetTickCount();
    EXPECT_EQ(RunHeadless(ini, out, err), 130);
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(err.str(), "Stopped by Ctrl-C\n") << out.str();
}

// A run that learnt nothing does not write the settings back, so a settings folder that
// cannot be written to is no concern of it.
TEST(Session, HeadlessRunsThatLearnNothingNeverTryToWriteTheSettings) {
    // As root a read-only folder can still be written to; a folder that is a regular file
    // cannot.
    {
        TTempTree tree;
        tree.File("blocker", "a file, not a folder");
        const std::string ini = tree.Path("blocker/PELMORA.INI");
        std::ostringstream out, err;
        EXPECT_EQ(RunHeadless(ini, out, err), 2) << "the run's own failure";
        EXPECT_EQ(
            err.str(),
            "pelmora: Please supply a local directory before connecting; see pelmora --help\n");
    }
    // A whole sync that ends with "exit when complete", its settings folder replaced by a
    // file while it ran.
    TTempTree tree;
    tree.File("site/index.html", "x");
    TFtpScriptServer server;
    server.On("LIST").Delay(500);
    const std::string ini = tree.Path("conf/PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=u",
                                   "List.remote=/www", "Options.update=1", "Options.exit=1",
                                   "Options.timeout=5"},
                                  error))
        << error;
    std::jthread spoiler([&] {
        for (int i = 0; i < 2000 && !Sent(server, "USER u"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::filesystem::remove_all(tree.Path("conf"));
        tree.File("conf", "in the way");
    });
    std::ostringstream out, err;
    const int status = RunHeadless(ini, out, err);
    EXPECT_EQ(status, 0) << out.str() << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(ReadFile(tree.Path("conf")), "in the way");
    EXPECT_NE(out.str().find(", 0 failed; "), std::string::npos) << out.str();
    EXPECT_TRUE(server.HasStored("/www/index.html"));
}

TEST(Session, HeadlessOutputCarriesNoControlCharactersFromNames) {
    TTempTree tree;
    tree.File("site/index.html", "x");
    tree.File("site/loc\x1b]0;title\x07"
              "al.html",
              "y");
    TFtpScriptServer server;
    server.SetListing("-rw-r--r-- 1 u g 5 Jan 01 2020 a\x1b[2Jb\r\n"
                      "-rw-r--r-- 1 u g 5 Jan 01 2020 c\rRemote Site Update Complete\r\n"
                      "-rw-r--r-- 1 u g 5 Jan 01 2020 \xc2\x9b"
                      "2Jd\r\n");
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=u",
                                   "List.remote=/", "Options.update=1", "Options.delete=1",
                                   "Options.timeout=5"},
                                  error))
        << error;
    std::ostringstream out, err;
    RunHeadless(ini, out, err);
    const std::string output = out.str() + err.str();
    SCOPED_TRACE(output);
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    EXPECT_EQ(output.find('\x07'), std::string::npos);
    EXPECT_EQ(output.find('\r'), std::string::npos);
    EXPECT_EQ(output.find("\xc2\x9b"), std::string::npos);
    // The names are there, escaped.
    EXPECT_NE(output.find("/a\\x1b[2Jb"), std::string::npos);
    EXPECT_NE(output.find("/loc\\x1b]0;title\\x07al.html"), std::string::npos);
}

// A connected window holds its site until it disconnects: a second one (or cron) is told
// who holds it and does not connect; once the first is gone, it can.
TEST(Session, AWindowHoldsItsSiteFromTheConnectToTheDisconnect) {
    TTempTree tree;
    TFtpScriptServer server;
    const std::string ini = tree.Path("PELMORA.INI");
    std::string why;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Dir("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=user",
                                   "List.remote=/", "Options.load=0"},
                                  why))
        << why;
    TSessionForm first(tree.Path("site")), second(tree.Path("site"));
    for (TSessionForm* form : {&first, &second}) {
        form->FormCreate(ini);
        form->FormActivate();
    }
    first.connectBtnClick();
    ASSERT_TRUE(first.engine.connected) << first.statuses.back();

    second.connectBtnClick();
    EXPECT_FALSE(second.engine.connected);
    EXPECT_EQ(second.statuses.back(),
              "Another run of this site is in progress (pid " + std::to_string(::getpid()) + ")");
    EXPECT_EQ(second.FailureClass(), TExitCode::Busy);
    EXPECT_EQ(server.Sessions(), 1);

    first.connectBtnClick();
    EXPECT_FALSE(first.engine.connected);
    second.connectBtnClick();
    EXPECT_TRUE(second.engine.connected) << second.statuses.back();
}
