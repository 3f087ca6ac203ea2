// The window's answer to a server certificate that fails verification: the dialog with
// what the certificate says of itself, the trust that it stores, and the change of a
// trusted certificate, against a real server that demands TLS.
#include "app/settings.h"
#include "app/settings_codec.h"
#include "app/ui/certificate_dialog.h"
#include "tests/support/eventually.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/ui/window_driver.h"
#include "toolkit/profile.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdlib>
#include <memory>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

// Answers the certificate dialog whenever it appears, with "Trust this certificate" when
// `trust`, else with Cancel, and keeps what it showed last.
class TCertificateAnswer {
public:
    explicit TCertificateAnswer(bool trust) {
        QObject::connect(&timer_, &QTimer::timeout, [this, trust] {
            auto* dialog = qobject_cast<ui::TCertificateDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            ++shown;
            title = dialog->windowTitle().toStdString();
            heading = dialog->Heading()->text().toStdString();
            details = dialog->Details()->text().toStdString();
            if (const char* dir = std::getenv("PELMORA_SCREENSHOTS"))
                dialog->grab().toImage().save(QString(dir) + "/" +
                                              dialog->windowTitle().toLower().replace(' ', '_') +
                                              ".png");
            (trust ? dialog->TrustButton() : dialog->CancelButton())->click();
        });
        timer_.start(10);
    }
    int shown = 0;
    std::string title, heading, details;

private:
    QTimer timer_;
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string StoredTrust(const std::string& ini) {
    return DecodeValue(TIniFile(ini).ReadString("FTP", "trustedCertificate", ""));
}

// Replaces the line edit's text as typing would.
void TypeInto(QLineEdit* edit, const std::string& text) {
    edit->setFocus();
    edit->selectAll();
    if (text.empty()) {
        PressKey(edit, Qt::Key_Backspace);
        return;
    }
    for (const char c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(c)));
        QApplication::sendEvent(edit, &press);
    }
}

class CertificateTrust : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(MakeTestCertificate(tree.Dir("certs"), "first", first, why)) << why;
        ASSERT_TRUE(MakeTestCertificate(tree.Dir("certs"), "second", second, why)) << why;
        ASSERT_NE(first.fingerprint, second.fingerprint);
        tree.File("site/index.html", "<h1>Home</h1>");
    }

    // A window over a settings file for `server`, TLS required, that only connects.
    void OpenWindow(const TRealFtpServer& server, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> settings = {"List.local=" + tree.Path("site"),
                                             "FTP.server=127.0.0.1",
                                             "FTP.port=" + std::to_string(server.Port()),
                                             "FTP.userName=" + server.User(),
                                             "FTP.password=" + server.Password(),
                                             "List.remote=" + server.SiteDir(),
                                             "FTP.tls=require",
                                             "Options.load=0",
                                             "Options.compare=0",
                                             "Options.timeout=20"};
        settings.insert(settings.end(), extra.begin(), extra.end());
        std::string why;
        ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;
        window = std::make_unique<TWindowFixture>(tree.Path("site"));
        window->Form.FormCreate(ini);
    }

    void Connect() { Click(window->Find("connectBtn")); }
    // Ends the session, and waits for the server's goodbye: a connect before it is refused.
    void Disconnect() {
        ASSERT_TRUE(window->Form.engine.connected);
        Connect();
        ASSERT_FALSE(window->Form.engine.connected);
        ASSERT_TRUE(
            Eventually([this] { return FtpOf(window->Form).Socket->Handle == INVALID_SOCKET; }));
    }
    std::string Status() const { return window->Form.statusPanel.Caption(); }
    std::string FieldText() const {
        return window->Find<QLineEdit>("trustedCertificateEdit")->text().toStdString();
    }

    TTempTree tree;
    TTestCertificate first, second;
    std::string ini = tree.Path("PELMORA.INI");
    std::unique_ptr<TWindowFixture> window;
};

} // namespace

// Cancel stores nothing and stays unconnected with the reason; Trust stores the
// fingerprint in the Setup field and the settings file and connects; the next connect
// asks nothing.
TEST_F(CertificateTrust, CancelRefusesTrustStoresAndConnectsAndTheNextConnectAsksNothing) {
    TRealFtpServer server(TRealServerKind::Vsftpd);
    server.EnableTls(first);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    OpenWindow(server);
    const std::string digits = first.fingerprint.substr(7); // "AB:CD:..."
    const std::string stored = CompactFingerprint(first.fingerprint);
    {
        TCertificateAnswer cancel(false);
        Connect();
        EXPECT_EQ(cancel.shown, 1);
        EXPECT_EQ(cancel.title, "Untrusted certificate");
        EXPECT_TRUE(Has(cancel.heading, "127.0.0.1")) << cancel.heading;
        EXPECT_TRUE(Has(cancel.heading, "self-signed certificate")) << cancel.heading;
        // Subject, issuer (the same, self-signed), both ends of the validity, fingerprint.
        EXPECT_TRUE(Has(cancel.details, digits)) << cancel.details;
        EXPECT_TRUE(Has(cancel.details, "Subject:</td><td>CN=localhost<")) << cancel.details;
        EXPECT_TRUE(Has(cancel.details, "Issuer:</td><td>CN=localhost<")) << cancel.details;
        EXPECT_TRUE(Has(cancel.details, "Valid from:</td><td>20")) << cancel.details;
        EXPECT_TRUE(Has(cancel.details, "Valid until:</td><td>20")) << cancel.details;
    }
    EXPECT_FALSE(window->Form.engine.connected);
    EXPECT_EQ(window->Find<QPushButton>("connectBtn")->text(), "&Connect");
    EXPECT_TRUE(Has(Status(), "is not trusted (self-signed certificate; " + first.fingerprint))
        << Status();
    EXPECT_EQ(FieldText(), "");
    EXPECT_EQ(StoredTrust(ini), "");

    {
        TCertificateAnswer trust(true);
        Connect();
        EXPECT_EQ(trust.shown, 1);
    }
    ASSERT_TRUE(window->Form.engine.connected) << Status();
    EXPECT_EQ(Status(), "Connected - ready");
    EXPECT_TRUE(Has(FtpOf(window->Form).Traits().securityInUse, "trusted by fingerprint"));
    // Shown with colons, as the dialog shows it; kept without, as --configure keeps it.
    EXPECT_EQ(window->Form.setup.trustedCertificateEdit.Text(), first.fingerprint);
    EXPECT_EQ(FieldText(), first.fingerprint);
    EXPECT_EQ(StoredTrust(ini), stored);
    // The status bar tells an encrypted session, with a padlock.
    auto* security = window->Find<QLabel>("securityLbl");
    auto* lock = window->Find<QLabel>("securityIcon");
    const std::string words = security->text().toStdString();
    EXPECT_TRUE(words.starts_with("Encrypted (TLS 1.")) << words;
    EXPECT_TRUE(words.ends_with(", trusted by fingerprint)")) << words;
    EXPECT_TRUE(security->isVisible() && lock->isVisible());
    EXPECT_FALSE(lock->pixmap().isNull());
    EXPECT_TRUE(window->Form.SessionSecured());

    Disconnect();
    {
        TCertificateAnswer none(false);
        Connect();
        EXPECT_EQ(none.shown, 0);
    }
    EXPECT_TRUE(window->Form.engine.connected) << Status();
    EXPECT_EQ(StoredTrust(ini), stored);
}

// The server's certificate is not the one trusted any more: the dialog says it changed
// and names the one trusted until now; Cancel keeps the old trust and stays unconnected,
// Trust replaces it.
TEST_F(CertificateTrust, AChangedCertificateIsAnnouncedAsAChange) {
    TRealFtpServer server(TRealServerKind::Vsftpd);
    server.EnableTls(first);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    OpenWindow(server, {"FTP.trustedCertificate=" + first.fingerprint});
    Connect();
    ASSERT_TRUE(window->Form.engine.connected) << Status();
    Disconnect();

    // The host's new certificate, on the same address and port.
    server.EnableTls(second);
    ASSERT_TRUE(server.Restart(why)) << why;
    {
        TCertificateAnswer cancel(false);
        Connect();
        EXPECT_EQ(cancel.shown, 1);
        EXPECT_EQ(cancel.title, "Certificate changed");
        EXPECT_TRUE(Has(cancel.heading, "CHANGED since you trusted it")) << cancel.heading;
        EXPECT_TRUE(Has(cancel.heading, first.fingerprint.substr(7))) << cancel.heading;
        EXPECT_TRUE(Has(cancel.details, second.fingerprint.substr(7))) << cancel.details;
    }
    EXPECT_FALSE(window->Form.engine.connected);
    EXPECT_TRUE(Has(Status(), "is NOT the one trusted")) << Status();
    EXPECT_TRUE(Has(Status(), second.fingerprint)) << Status();
    EXPECT_EQ(StoredTrust(ini), CompactFingerprint(first.fingerprint));
    EXPECT_EQ(FieldText(), first.fingerprint);

    {
        TCertificateAnswer trust(true);
        Connect();
        EXPECT_EQ(trust.shown, 1);
    }
    EXPECT_TRUE(window->Form.engine.connected) << Status();
    EXPECT_EQ(StoredTrust(ini), CompactFingerprint(second.fingerprint));
}

// What the user types in the Setup field is stored as --configure stores it; cleared
// means none; a text that is no fingerprint keeps the stored one and says so.
TEST(SetupPage, TrustedCertificateFieldIsStoredAsConfigureStoresIt) {
    const std::string upper = "SHA256:" + std::string(62, 'A') + "0F";
    std::string colons;
    for (size_t i = 0; i < 64; i += 2)
        colons += (i ? ":" : "") + std::string(i == 62 ? "0f" : "aa");
    struct TCase {
        std::string typed, stored;
        bool refused;
    };
    const TCase cases[] = {
        {"sha256:" + colons, upper, false},
        {" " + colons + " ", upper, false},
        {"", "", false},
        {"SHA256:12:34", upper, true},
    };
    TTempTree settings;
    const std::string ini = settings.Path("PELMORA.INI");
    std::string why;
    ASSERT_TRUE(ConfigureSettings(ini, {"FTP.trustedCertificate=" + upper}, why)) << why;
    for (const TCase& c : cases) {
        TWindowFixture f;
        f.Form.FormCreate(ini);
        auto* field = f.Find<QLineEdit>("trustedCertificateEdit");
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->text().toStdString(), DisplayFingerprint(StoredTrust(ini)));
        TypeInto(field, c.typed);
        EXPECT_EQ(f.Form.setup.trustedCertificateEdit.Text(), c.typed);
        f.Form.SaveSettings();
        EXPECT_EQ(StoredTrust(ini), c.stored) << c.typed;
        EXPECT_EQ(f.Messages.size(), c.refused ? 1u : 0u) << c.typed;
        if (!c.refused) {
            EXPECT_EQ(f.Form.setup.trustedCertificateEdit.Text(), DisplayFingerprint(c.stored))
                << c.typed;
        }
        // Back to the one value for the next case.
        ASSERT_TRUE(ConfigureSettings(ini, {"FTP.trustedCertificate=" + upper}, why)) << why;
    }
}
