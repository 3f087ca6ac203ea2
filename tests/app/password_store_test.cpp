// Where the password is kept: the keyring when the site says so and one answers, the
// settings file otherwise; the password given for a run without a window before both.
#include "app/headless.h"
#include "app/main_form.h"
#include "app/password_store.h"
#include "app/settings.h"
#include "app/settings_codec.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"
#include "toolkit/profile.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

// One site's settings file with a password, the keyring choice as given.
class KeyringTest : public ::testing::Test {
protected:
    TTempTree temp;
    std::string ini = temp.Path("PELMORA.INI");
    TMemoryPasswordStore store;
    std::vector<std::string> statuses;

    void Configure(const std::vector<std::string>& assignments) {
        std::string error;
        ASSERT_TRUE(ConfigureSettings(ini, assignments, error)) << error;
    }
    std::string FilePassword() const {
        return DecodeValue(TIniFile(ini).ReadString("FTP", "password", ""));
    }
    // A form over the settings file, as the window opens it.
    std::unique_ptr<TForm1> Open(TPasswordStore* keyring) {
        auto form = std::make_unique<TForm1>();
        form->PasswordStore = keyring;
        form->statusPanel.Subscribe(
            [this, f = form.get()] { statuses.push_back(f->statusPanel.Caption()); });
        form->UseSites(TSites(ini), "Default");
        form->FormCreate(ini);
        return form;
    }
    size_t KeyringNotices() const {
        return std::count_if(statuses.begin(), statuses.end(), [](const std::string& s) {
            return s.find("keyring did not answer") != std::string::npos;
        });
    }
};

} // namespace

TEST_F(KeyringTest, TheKeyringTakesThePasswordAndTheFileKeepsNone) {
    Configure({"FTP.server=ftp.example.org", "FTP.userName=me", "FTP.password=s3cret",
               "FTP.passwordInKeyring=1"});
    Open(&store)->FormClose();
    EXPECT_EQ(FilePassword(), "");
    EXPECT_EQ(store.entries,
              (std::map<std::string, std::string>{{"Default/me@ftp.example.org", "s3cret"}}));

    // Read back from the keyring; a new account's password moves to its own key.
    auto form = Open(&store);
    EXPECT_EQ(form->setup.passwordEdit.Text(), "s3cret");
    EXPECT_TRUE(form->setup.keyringCheck.Checked());
    form->setup.userEdit.SetText("you");
    form->FormClose();
    EXPECT_EQ(store.entries,
              (std::map<std::string, std::string>{{"Default/you@ftp.example.org", "s3cret"}}));
    EXPECT_EQ(FilePassword(), "");

    // Turned off: the password is back in the file and nothing stays in the keyring.
    form = Open(&store);
    form->setup.keyringCheck.SetChecked(false);
    form->FormClose();
    EXPECT_EQ(FilePassword(), "s3cret");
    EXPECT_TRUE(store.entries.empty());
    EXPECT_EQ(KeyringNotices(), 0u);
}

TEST_F(KeyringTest, WithoutAKeyringThePasswordStaysInTheFileAndThatIsSaidOnce) {
    Configure({"FTP.server=ftp.example.org", "FTP.userName=me", "FTP.password=s3cret",
               "FTP.passwordInKeyring=1"});
    store.answers = false;
    for (TPasswordStore* keyring :
         {static_cast<TPasswordStore*>(&store), static_cast<TPasswordStore*>(nullptr)}) {
        statuses.clear();
        auto form = Open(keyring);
        form->setup.passwordEdit.SetText("n3w");
        form->FormClose();
        EXPECT_EQ(FilePassword(), "n3w");
        EXPECT_EQ(KeyringNotices(), 1u);
        Configure({"FTP.password=s3cret"});
    }
    // The choice is kept for a desktop that has one.
    EXPECT_TRUE(Open(&store)->setup.keyringCheck.Checked());
    // Off, as in every file from before: no keyring is asked, nothing is said.
    statuses.clear();
    Configure({"FTP.passwordInKeyring=0"});
    Open(&store)->FormClose();
    EXPECT_EQ(FilePassword(), "s3cret");
    EXPECT_EQ(KeyringNotices(), 0u);
}

TEST_F(KeyringTest, APasswordWrittenToTheFileSinceIsTheNewerOne) {
    Configure({"FTP.server=h", "FTP.userName=u", "FTP.password=", "FTP.passwordInKeyring=1"});
    store.entries["Default/u@h"] = "old";
    EXPECT_EQ(Open(&store)->setup.passwordEdit.Text(), "old");
    Configure({"FTP.password=changed"}); // as --configure FTP.password=- does
    auto form = Open(&store);
    EXPECT_EQ(form->setup.passwordEdit.Text(), "changed");
    form->FormClose();
    EXPECT_EQ(store.entries["Default/u@h"], "changed");
    EXPECT_EQ(FilePassword(), "");
}

// The password a run without a window logs in with: the one given for the run, then the
// keyring's when the site keeps it there and a keyring answers, then the file's.
TEST(HeadlessPassword, TheRunsOwnThenTheKeyringsThenTheFiles) {
    struct TCase {
        const char* name;
        std::optional<std::string> given;
        bool inKeyring;
        bool answers;
        const char* filePassword;
        const char* sent;
    };
    const TCase cases[] = {
        {"given wins", "pw-given", true, true, "", "pw-given"},
        {"keyring", std::nullopt, true, true, "", "pw-keyring"},
        {"no keyring answers", std::nullopt, true, false, "pw-file", "pw-file"},
        {"keyring not chosen", std::nullopt, false, true, "pw-file", "pw-file"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TTempTree temp;
        TFtpScriptServer server;
        temp.Dir("site");
        const std::string ini = temp.Path("PELMORA.INI");
        std::string error;
        ASSERT_TRUE(ConfigureSettings(
            ini,
            {"List.local=" + temp.Path("site"), "FTP.server=127.0.0.1",
             "FTP.port=" + std::to_string(server.Port()), "FTP.userName=web",
             std::string("FTP.password=") + c.filePassword,
             std::string("FTP.passwordInKeyring=") + (c.inKeyring ? "1" : "0"), "List.remote=/",
             "Options.load=0", "Options.compare=0", "Options.update=0", "Options.timeout=5"},
            error))
            << error;
        TMemoryPasswordStore store;
        store.entries["Work/web@127.0.0.1"] = "pw-keyring";
        store.answers = c.answers;
        THeadlessOptions options;
        options.password = c.given;
        options.passwordStore = &store;
        options.siteName = "Work";
        std::ostringstream out, err;
        EXPECT_EQ(RunHeadless(ini, options, out, err), 0) << out.str() << err.str();
        const auto commands = server.Commands();
        EXPECT_NE(std::find(commands.begin(), commands.end(), std::string("PASS ") + c.sent),
                  commands.end())
            << out.str() << err.str();
        EXPECT_EQ(out.str().find("keyring did not answer") != std::string::npos,
                  c.inKeyring && !c.answers)
            << out.str();
    }
}

// Where no Secret Service runs (CI, a server): the real keyring gives up at once, or at
// the latest after its time-out, and the password stays in the file.
TEST_F(KeyringTest, TheRealKeyringWithoutASecretServiceFailsFastAndFallsBack) {
    // No session bus to reach, whatever desktop the tests run on: a real keyring must not
    // be touched.
    const QByteArray savedBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/pelmora-test-bus");
    TKeyringPasswordStore keyring("pelmora-test", 2000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(keyring.Read("Default/me@h"), std::nullopt);
    EXPECT_FALSE(keyring.Available());
    EXPECT_FALSE(keyring.Problem().empty());
    EXPECT_FALSE(keyring.Write("Default/me@h", "x"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));

    Configure(
        {"FTP.server=h", "FTP.userName=me", "FTP.password=s3cret", "FTP.passwordInKeyring=1"});
    TKeyringPasswordStore fresh("pelmora-test", 2000);
    auto form = Open(&fresh);
    EXPECT_EQ(form->setup.passwordEdit.Text(), "s3cret");
    form->FormClose();
    EXPECT_EQ(FilePassword(), "s3cret");
    EXPECT_EQ(KeyringNotices(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(6000));
    if (savedBus.isNull())
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
        qputenv("DBUS_SESSION_BUS_ADDRESS", savedBus);
}

// A site's password in the keyring follows the site: to its new name, and out with it.
TEST_F(KeyringTest, ThePasswordFollowsItsSiteThroughRenameAndDelete) {
    auto form = Open(&store);
    std::string answer = "Shop";
    form->AskSiteName = [&answer](const std::string&, std::string& name) {
        name = answer;
        return true;
    };
    std::string asked;
    form->ConfirmSiteDelete = [&asked](const std::string& question) {
        asked = question;
        return true;
    };
    form->siteNewBtnClick();
    ASSERT_EQ(form->SiteName(), "Shop");
    form->setup.serverEdit.SetText("h");
    form->setup.userEdit.SetText("u");
    form->setup.passwordEdit.SetText("pw");
    form->setup.keyringCheck.SetChecked(true);
    ASSERT_TRUE(form->siteComboChange("Default"));
    EXPECT_EQ(store.entries, (std::map<std::string, std::string>{{"Shop/u@h", "pw"}}));
    EXPECT_EQ(form->setup.passwordEdit.Text(), "");

    ASSERT_TRUE(form->siteComboChange("shop"));
    EXPECT_EQ(form->setup.passwordEdit.Text(), "pw");
    answer = "Shop 2";
    form->siteRenameBtnClick();
    EXPECT_EQ(form->SiteName(), "Shop 2");
    EXPECT_EQ(form->SettingsFile(), temp.Path("sites/Shop 2.ini"));
    EXPECT_EQ(store.entries, (std::map<std::string, std::string>{{"Shop 2/u@h", "pw"}}));
    EXPECT_EQ(form->setup.siteCombo.Items(), (std::vector<std::string>{"Default", "Shop 2"}));

    form->siteDeleteBtnClick();
    EXPECT_NE(asked.find("\"Shop 2\""), std::string::npos) << asked;
    EXPECT_EQ(form->SiteName(), "Default");
    EXPECT_EQ(form->SettingsFile(), ini);
    EXPECT_TRUE(store.entries.empty());
    EXPECT_FALSE(std::filesystem::exists(temp.Path("sites/Shop 2.ini")));
    // The default site is never deleted, whoever presses.
    form->siteDeleteBtnClick();
    EXPECT_FALSE(form->setup.siteDeleteBtn.Enabled());
    EXPECT_EQ(form->setup.siteCombo.Items(), std::vector<std::string>{"Default"});
}
