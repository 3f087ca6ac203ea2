// The site selector on the Setup page: making a site, switching between sites, deleting.
#include "tests/ui/window_driver.h"

#include "app/settings_codec.h"
#include "app/sites.h"
#include "toolkit/profile.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <map>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

// Answers the next modal dialog of the site buttons: the name dialog with `name`, the
// question before a delete with Delete.
class TSiteDialogAnswer {
public:
    explicit TSiteDialogAnswer(QString name) {
        QObject::connect(&timer_, &QTimer::timeout, [this, name] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* input = qobject_cast<QInputDialog*>(modal);
                input && input->objectName() == "siteNameDialog") {
                asked_ = input->windowTitle();
                input->setTextValue(name);
                input->accept();
            } else if (auto* box = qobject_cast<QMessageBox*>(modal);
                       box && box->objectName() == "confirmSiteDelete") {
                asked_ = box->text();
                box->findChild<QAbstractButton*>("confirmSiteDeleteButton")->click();
            }
        });
        timer_.start(10);
    }
    QString Asked() const { return asked_; }

private:
    QTimer timer_;
    QString asked_;
};

QStringList Items(QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

std::string ServerIn(const std::string& file) {
    return DecodeValue(TIniFile(file).ReadString("FTP", "server", ""));
}

} // namespace

TEST(SiteSelector, CreatesSwitchesAndDeletesSitesAndTheControlsFollow) {
    TWindowFixture f;
    const std::string defaultFile = f.Temp.Path("pelmora/PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(defaultFile, {"FTP.server=default.example"}, error)) << error;
    f.Form.UseSites(TSites(defaultFile), "Default");
    f.Form.FormCreate(defaultFile);
    f.Window->TabSet1Change(2);
    auto* combo = f.Find<QComboBox>("siteCombo");
    auto* server = f.Find<QLineEdit>("serverEdit");
    auto* rename = f.Find<QAbstractButton>("siteRenameBtn");
    auto* remove = f.Find<QAbstractButton>("siteDeleteBtn");
    ASSERT_TRUE(combo && server && rename && remove);
    EXPECT_EQ(Items(combo), QStringList{"Default"});
    EXPECT_EQ(server->text(), "default.example");
    EXPECT_FALSE(rename->isEnabled()) << "the default site keeps its name";
    EXPECT_FALSE(remove->isEnabled()) << "the default site is never deleted";
    EXPECT_EQ(f.Find<QAbstractButton>("siteNewBtn")->text(), "&New");

    // New: a site of its own, empty, chosen at once; what the old one had is saved.
    server->setText("edited.example");
    emit server->textEdited(server->text());
    {
        TSiteDialogAnswer answer("  Work ");
        Click(f.Find<QAbstractButton>("siteNewBtn"));
        EXPECT_EQ(answer.Asked(), "New site");
    }
    EXPECT_EQ(Items(combo), (QStringList{"Default", "Work"}));
    EXPECT_EQ(combo->currentText(), "Work");
    EXPECT_EQ(server->text(), "");
    EXPECT_TRUE(rename->isEnabled());
    EXPECT_TRUE(remove->isEnabled());
    EXPECT_EQ(ServerIn(defaultFile), "edited.example");
    const std::string workFile = f.Temp.Path("pelmora/sites/Work.ini");
    ASSERT_TRUE(std::filesystem::exists(workFile));

    // Switching by the keyboard saves this site and shows the other one's settings.
    server->setText("work.example");
    emit server->textEdited(server->text());
    combo->setFocus();
    PressKey(combo, Qt::Key_Up);
    EXPECT_EQ(combo->currentText(), "Default");
    EXPECT_EQ(server->text(), "edited.example");
    EXPECT_EQ(ServerIn(workFile), "work.example");
    PressKey(combo, Qt::Key_Down);
    EXPECT_EQ(server->text(), "work.example");
    EXPECT_EQ(f.Form.SettingsFile(), workFile);

    // Delete asks, removes the file and goes back to the default site.
    {
        TSiteDialogAnswer answer("");
        Click(remove);
        EXPECT_TRUE(answer.Asked().contains("\"Work\"")) << answer.Asked().toStdString();
    }
    EXPECT_FALSE(std::filesystem::exists(workFile));
    EXPECT_EQ(Items(combo), QStringList{"Default"});
    EXPECT_EQ(server->text(), "edited.example");
    EXPECT_FALSE(remove->isEnabled());
    EXPECT_TRUE(f.Messages.empty());

    if (const char* dir = std::getenv("PELMORA_SCREENSHOTS"))
        combo->parentWidget()->grab().toImage().save(QString(dir) + "/setup_sites.png");
}

TEST(SiteSelector, TheKeyringChoiceIsOnTheSetupPageAndItsAltKeysAreItsOwn) {
    TWindowFixture f;
    auto* keyring = f.Find<QCheckBox>("keyringCheck");
    ASSERT_NE(keyring, nullptr);
    EXPECT_EQ(keyring->text(), "&Keep the password in the desktop's keyring");
    EXPECT_FALSE(keyring->isChecked());
    keyring->click();
    EXPECT_TRUE(f.Form.setup.keyringCheck.Checked());

    // The Setup page is on screen with the tabs and the buttons beside the trees.
    std::map<QChar, QString> taken;
    const auto take = [&taken](const QString& text) {
        const qsizetype amp = text.indexOf('&');
        ASSERT_TRUE(amp >= 0 && amp + 1 < text.size()) << text.toStdString();
        const QChar key = text.at(amp + 1).toLower();
        EXPECT_TRUE(taken.emplace(key, text).second)
            << text.toStdString() << " and " << taken[key].toStdString();
    };
    auto* tabs = f.Find<QTabBar>("TabSet1");
    for (int i = 0; i < tabs->count(); ++i)
        take(tabs->tabText(i));
    for (const char* name : {"refreshBtn", "changeLocalBtn", "siteNewBtn", "siteRenameBtn",
                             "siteDeleteBtn", "keyringCheck", "firewallCheck"})
        take(f.Find<QAbstractButton>(name)->text());
    take(f.Find<QLabel>("siteLabel")->text());
    EXPECT_EQ(f.Find<QLabel>("siteLabel")->buddy(), f.Find("siteCombo"));
}
