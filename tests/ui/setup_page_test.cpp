// The Setup page: its settings kept on disk while the window is open, and what it has to
// say shown on it.
#include "tests/ui/window_driver.h"

#include "app/password_store.h"
#include "app/settings.h"
#include "app/settings_codec.h"
#include "app/site_settings.h"
#include "app/sites.h"
#include "tests/support/ftp_script_server.h"
#include "toolkit/profile.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabBar>
#include <QTest>

#include <cstdlib>
#include <filesystem>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

// A window over a site's settings file, as the program opens it, with the local
// directory holding one page.
struct TSetupWindow {
    explicit TSetupWindow(TPasswordStore* keyring = nullptr) {
        site.File("index.html", "<html>home</html>");
        std::string error;
        EXPECT_TRUE(ConfigureSettings(ini, {"List.local=" + site.Path()}, error)) << error;
        f.Form.PasswordStore = keyring;
        f.Form.UseSites(TSites(ini), "Default");
        f.Form.FormCreate(ini);
        f.Window->TabSet()->setCurrentIndex(ui::TMainWindow::SetupPage);
        Pump(20);
    }
    // Typed as a user types, key by key, into the field of that name.
    void Type(const char* field, const QString& text) {
        auto* edit = f.Find<QLineEdit>(field);
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    std::string FilePassword() const {
        return DecodeValue(TIniFile(ini).ReadString("FTP", "password", ""));
    }

    TTempTree site;
    TWindowFixture f;
    std::string ini = f.Temp.Path("pelmora/PELMORA.INI");
};

} // namespace

// What was typed is on disk once Connect is pressed, without any clean quit: the file is
// read while the window is still open, as a kill or a crash would leave it. The password
// goes where the keyring choice says.
TEST(SetupPage, SettingsTypedAreOnDiskOnceConnectIsPressed) {
    for (const bool inKeyring : {false, true}) {
        SCOPED_TRACE(inKeyring ? "password in the keyring" : "password in the file");
        TFtpScriptServer server;
        TMemoryPasswordStore store;
        TSetupWindow w(&store);
        w.Type("serverEdit", "127.0.0.1");
        w.Type("userEdit", "web");
        w.Type("passwordEdit", "s3cret");
        w.f.Find<QSpinBox>("ftpPortSpin")->setValue(server.Port());
        if (inKeyring)
            w.f.Find<QAbstractButton>("keyringCheck")->click();
        // Leaving the page saved it; what Connect saves is all there again, with the
        // remote directory typed below the trees since.
        w.f.Window->TabSet()->setCurrentIndex(0);
        ASSERT_EQ(ReadSiteSettings(w.ini).connection.host, "127.0.0.1");
        std::filesystem::remove(w.ini);
        w.Type("remoteRootEdit", "/www");
        Click(w.f.Find("connectBtn"));
        ASSERT_TRUE(w.f.Form.engine.connected) << w.f.Form.statusPanel.Caption();

        const TSiteSettings stored = ReadSiteSettings(w.ini);
        EXPECT_EQ(stored.connection.host, "127.0.0.1");
        EXPECT_EQ(stored.connection.user, "web");
        EXPECT_EQ(stored.connection.port, server.Port());
        EXPECT_EQ(stored.sync.remoteRoot, "/www");
        EXPECT_EQ(stored.sync.localRoot, w.site.Path());
        EXPECT_EQ(stored.passwordInKeyring, inKeyring);
        EXPECT_EQ(w.FilePassword(), inKeyring ? "" : "s3cret");
        EXPECT_EQ(store.entries.size(), inKeyring ? 1u : 0u);
        // The window's real size, not the size a settings file without one reads as.
        EXPECT_EQ(stored.screen.width, w.f.Window->width());
        EXPECT_TRUE(w.f.Messages.empty());
    }
}

// Leaving the Setup page saves what changed on it; leaving it with nothing changed
// writes nothing, so a change made from the shell meanwhile stays.
TEST(SetupPage, LeavingThePageSavesOnlyWhatChanged) {
    TSetupWindow w;
    w.Type("serverEdit", "ftp.example.org");
    w.f.Window->TabSet()->setCurrentIndex(1);
    EXPECT_EQ(ReadSiteSettings(w.ini).connection.host, "ftp.example.org");

    std::string error;
    ASSERT_TRUE(ConfigureSettings(w.ini, {"FTP.userName=fromtheshell"}, error)) << error;
    w.f.Window->TabSet()->setCurrentIndex(ui::TMainWindow::SetupPage);
    w.f.Window->TabSet()->setCurrentIndex(0);
    EXPECT_EQ(ReadSiteSettings(w.ini).connection.user, "fromtheshell");

    // A file that cannot be written: said on the page, and the window goes on.
    TSetupWindow blocked;
    blocked.f.Form.FormCreate(blocked.site.Path("index.html") + "/PELMORA.INI");
    blocked.Type("serverEdit", "ftp.example.org");
    blocked.f.Window->TabSet()->setCurrentIndex(0);
    blocked.f.Window->TabSet()->setCurrentIndex(ui::TMainWindow::SetupPage);
    Pump(20);
    auto* message = blocked.f.Find<QLabel>("setupMessageLbl");
    EXPECT_TRUE(message->isVisible());
    EXPECT_TRUE(message->text().startsWith("The settings were not saved"))
        << message->text().toStdString();
}

// New while connected is refused, and the refusal is said where the button is.
TEST(SetupPage, ARefusedSiteButtonSaysWhyOnThePage) {
    TFtpScriptServer server;
    TSetupWindow w;
    UseScriptServer(w.f, server, false, false);
    w.f.Window->TabSet()->setCurrentIndex(0);
    Click(w.f.Find("connectBtn"));
    ASSERT_TRUE(w.f.Form.engine.connected) << w.f.Form.statusPanel.Caption();
    w.f.Window->TabSet()->setCurrentIndex(ui::TMainWindow::SetupPage);
    bool asked = false;
    w.f.Form.AskSiteName = [&asked](const std::string&, std::string&) { return asked = true; };
    Click(w.f.Find<QAbstractButton>("siteNewBtn"));
    Pump(20);
    EXPECT_FALSE(asked);
    auto* message = w.f.Find<QLabel>("setupMessageLbl");
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(), "Disconnect before you switch to another site");
    if (const char* dir = std::getenv("PELMORA_SCREENSHOTS"))
        message->parentWidget()->grab().toImage().save(QString(dir) + "/setup_message.png");
}

// The TLS choice of the Setup page is the FTP.tls setting: require refuses a server
// without TLS, auto goes on in clear and the status bar says so with an open padlock.
TEST(SetupPage, TheTlsChoiceDecidesAndTheStatusBarTellsHowTheSessionTravels) {
    struct TCase {
        const char* choice;
        bool connects;
    };
    for (const TCase& c : {TCase{"require", false}, TCase{"auto", true}}) {
        SCOPED_TRACE(c.choice);
        TFtpScriptServer server; // answers AUTH TLS as a command it does not know
        TSetupWindow w;
        UseScriptServer(w.f, server, false, false);
        auto* tls = w.f.Find<QComboBox>("tlsCombo");
        ASSERT_NE(tls, nullptr);
        EXPECT_EQ(tls->currentText(), "auto");
        // Chosen as a user chooses it.
        const int index = tls->findText(c.choice);
        tls->setCurrentIndex(index);
        emit tls->activated(index);
        w.f.Window->TabSet()->setCurrentIndex(0);
        EXPECT_EQ(ReadSiteSettings(w.ini).connection.tlsMode, ParseTlsMode(c.choice));
        Click(w.f.Find("connectBtn"));
        auto* words = w.f.Find<QLabel>("securityLbl");
        auto* lock = w.f.Find<QLabel>("securityIcon");
        EXPECT_EQ(w.f.Form.engine.connected, c.connects) << w.f.Form.statusPanel.Caption();
        if (!c.connects) {
            EXPECT_NE(w.f.Form.statusPanel.Caption().find("offers no TLS"), std::string::npos)
                << w.f.Form.statusPanel.Caption();
            EXPECT_FALSE(words->isVisible());
            continue;
        }
        EXPECT_EQ(words->text(), "Not encrypted");
        EXPECT_TRUE(words->isVisible() && lock->isVisible());
        EXPECT_FALSE(w.f.Form.SessionSecured());
        // Gone with the session.
        Click(w.f.Find("connectBtn"));
        EXPECT_FALSE(w.f.Form.engine.connected);
        EXPECT_FALSE(words->isVisible());
        EXPECT_EQ(words->text(), "");
    }
}

// A fingerprint is shown in one form, "SHA256:AB:CD:...", however the file holds it; a
// save that did not change it leaves it in the file as it was written there.
TEST(SetupPage, TheFingerprintIsShownWithColonsAndKeptAsStored) {
    std::string colons;
    for (int i = 0; i < 32; ++i)
        colons += (i ? ":" : "") + std::string("ab");
    const std::string handWritten = "sha256:" + colons;
    TSetupWindow w;
    {
        TIniFile ini(w.ini);
        ini.WriteString("FTP", "trustedCertificate", EncodeValue(handWritten));
        ini.UpdateFile();
    }
    w.f.Form.FormCreate(w.ini);
    auto* field = w.f.Find<QLineEdit>("trustedCertificateEdit");
    EXPECT_EQ(field->text().toStdString(),
              "SHA256:" + QString::fromStdString(colons).toUpper().toStdString());
    w.Type("serverEdit", "ftp.example.org");
    w.f.Window->TabSet()->setCurrentIndex(0);
    EXPECT_EQ(ReadSiteSettings(w.ini).connection.host, "ftp.example.org");
    EXPECT_EQ(DecodeValue(TIniFile(w.ini).ReadString("FTP", "trustedCertificate", "")),
              handWritten);
}
