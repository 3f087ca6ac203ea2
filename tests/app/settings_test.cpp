#include "app/command_line.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/main_form.h"
#include "app/settings.h"
#include "app/settings_codec.h"
#include "app/site_settings.h"
#include "tests/support/temp_tree.h"
#include "toolkit/profile.h"
#include "toolkit/random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace pelmora;
using pelmora::testing::ReadFile;
using pelmora::testing::TTempTree;

namespace {} // namespace

TEST(SettingsCodec, EncodesWithTheRunsFixedFillersAndDecodesAnyFiller) {
    SetRandomSeed(0);
    EXPECT_EQ(EncodeValue("abc"), "9D09B099C");
    EXPECT_EQ(DecodeValue("9DE9B7991"), "abc");
    EXPECT_EQ(DecodeValue("9D09B099C"), "abc");
    EXPECT_EQ(DecodeValue("9D09B"), "ab") << "a trailing pair still decodes";
    EXPECT_EQ(DecodeValue("9D09B09"), "ab") << "a single trailing character does not";
    EXPECT_EQ(EncodeValue(""), "");
    EXPECT_EQ(DecodeValue(""), "");
    EXPECT_EQ(ByteToHex(0x9D), "9D");
    SetRandomSeed(0);
}

namespace {

// The decoder of the versions before the long form, as they read a settings file: the
// value cut to 1023 characters, then groups of two digits and a filler.
std::string EarlierVersionReads(const std::string& file, const char* section, const char* key) {
    const std::string coded = TIniFile(file).ReadString(section, key, "");
    std::string result;
    int k = 1;
    for (size_t i = 0; i + 1 < coded.size(); i += 3, ++k) {
        const size_t h = std::string_view("0123456789ABCDEF").find(coded[i]);
        const size_t l = std::string_view("0123456789ABCDEF").find(coded[i + 1]);
        if (h == std::string_view::npos || l == std::string_view::npos)
            return {};
        const int v = (static_cast<int>(h * 16 + l) + k) ^ 255;
        if (v < 0 || v > 255)
            return {};
        result += static_cast<char>(v);
    }
    return result;
}

} // namespace

TEST(SettingsCodec, StoresAnyTextAndKeepsTheClassicFormWhereItFits) {
    std::string everyByte;
    for (int i = 0; i < 600; ++i)
        everyByte += static_cast<char>(i % 256);
    struct Case {
        std::string text;
        bool classic;
    };
    const Case cases[] = {
        {"", true},
        {"ftp.example.org", true},
        {"p@ss w0rd!\"=[]", true},
        {std::string("a\0b\r\n[FTP]", 10), true},
        {std::string(84, '~'), true}, // the longest
        {std::string(85, 'a'), false},
        {"/home/alexandra/Documents/Clients/bakery-on-the-corner/website/2026-redesign/"
         "public_html",
         false},
        {"/home/user/café", true},
        {"/srv/www/clients/" + std::string(40, 'x') + "/Café", false}, // é past position 60
        {"\xfe\x01", true}, // 254 at position 1: exactly the limit
        {"\xff", false},    // one past it
        {"ab\xfc", true},   // 252 at position 3: the limit again
        {"ab\xfd", false},
        {"/site/\xff\xfe\x80 not UTF-8", false},
        {everyByte, false}, // positions past 255 wrap
        {std::string(4096, 'p'), false},
    };
    TTempTree tree;
    const std::string file = tree.Path("PELMORA.INI");
    for (const Case& c : cases) {
        const std::string label = c.text.substr(0, 40);
        EXPECT_EQ(FitsClassicForm(c.text), c.classic) << label;
        const std::string coded = EncodeValue(c.text);
        EXPECT_EQ(!coded.empty() && coded.front() == '~', !c.classic) << label;
        EXPECT_EQ(DecodeValue(coded), c.text) << label;

        // Through the file, as --configure writes it and the window and an earlier version
        // read it: the earlier version sees exactly the classic values and none of the others.
        std::string error;
        ASSERT_TRUE(ConfigureSettings(file, {"List.local=" + c.text}, error)) << error;
        TForm1 form;
        form.FormCreate(file);
        EXPECT_EQ(form.localRootLabel.Caption(), c.text) << label;
        EXPECT_EQ(EarlierVersionReads(file, "List", "local"), c.classic ? c.text : "") << label;
    }
}

TEST(SettingsCodec, ReadsWhatEarlierVersionsWroteAndRejectsBrokenValues) {
    SetRandomSeed(0);
    TTempTree tree;
    const std::string file = tree.Path("PELMORA.INI");
    // Written by an earlier version: classic values, one of them exactly 84 characters.
    std::string at84;
    for (int i = 0; i < 84; ++i)
        at84 += ByteToHex(static_cast<uint8_t>(255 - 'x' - (i + 1))) + "7";
    std::ofstream(file) << "[FTP]\nserver=9D09B099C\n[List]\nlocal=" << at84 << "\n";
    TForm1 form;
    form.FormCreate(file);
    EXPECT_EQ(form.setup.serverEdit.Text(), "abc");
    EXPECT_EQ(form.localRootLabel.Caption(), std::string(84, 'x'));
    SetRandomSeed(0);

    for (const char* broken : {"~9", "~9G", "~ 9D", "~9d", "~~9D"})
        EXPECT_EQ(DecodeValue(broken), "") << broken;
    EXPECT_EQ(DecodeValue("~"), "");
    for (const char* garbage : {"9d09b099c", "ZZ0", "9D0 9B", "\n\n\n", "FF0"})
        EXPECT_EQ(DecodeValue(garbage), "") << garbage;
}

TEST(SettingsCodec, TheWindowKeepsALongLocalDirectoryAcrossAQuit) {
    TTempTree tree;
    const std::string file = tree.Path("PELMORA.INI");
    const std::string local = "/home/alexandra/Documents/Clients/bakery-on-the-corner/website/"
                              "2026-redesign/public_html";
    const std::string remote = "/srv/www/clients/" + std::string(40, 'x') + "/Café";
    {
        TForm1 form;
        form.FormCreate(file);
        form.SetLocalRoot(local);
        form.remoteRootEdit.SetText(remote);
        form.setup.passwordEdit.SetText(std::string(300, 's'));
        form.FormClose();
    }
    TForm1 again;
    again.FormCreate(file);
    EXPECT_EQ(again.localRootLabel.Caption(), local);
    EXPECT_EQ(again.remoteRootEdit.Text(), remote);
    EXPECT_EQ(again.setup.passwordEdit.Text(), std::string(300, 's'));
}

TEST(SettingsCodec, ConfigureThroughASymbolicLinkWritesTheFileItLeadsTo) {
    namespace fs = std::filesystem;
    TTempTree tree;
    fs::create_directories(tree.Path("sync"));
    struct Case {
        const char* what;
        bool targetExists;
        bool chain;
    };
    for (const Case& c : {Case{"an existing file", true, false}, Case{"no file yet", false, false},
                          Case{"a link to a link", true, true}}) {
        SCOPED_TRACE(c.what);
        const std::string target = tree.Path("sync/pelmora.ini");
        const std::string link = tree.Path("PELMORA.INI");
        fs::remove(target);
        fs::remove(link);
        fs::remove(tree.Path("middle.ini"));
        if (c.targetExists)
            std::ofstream(target) << "[Keep]\nthis=that\n";
        if (c.chain) {
            fs::create_symlink("sync/pelmora.ini", tree.Path("middle.ini"));
            fs::create_symlink(tree.Path("middle.ini"), link);
        } else {
            fs::create_symlink("sync/pelmora.ini", link);
        }
        std::string error;
        ASSERT_TRUE(ConfigureSettings(link, {"FTP.server=ftp.example.org"}, error)) << error;
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link),
                  c.chain ? fs::path(tree.Path("middle.ini")) : fs::path("sync/pelmora.ini"));
        struct stat info {};
        ASSERT_EQ(::lstat(target.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        TForm1 form;
        form.FormCreate(link);
        EXPECT_EQ(form.setup.serverEdit.Text(), "ftp.example.org");
        if (c.targetExists) {
            EXPECT_NE(ReadFile(target).find("this=that"), std::string::npos);
        }
        for (const auto& entry : fs::directory_iterator(tree.Path("sync")))
            EXPECT_EQ(entry.path(), fs::path(target)) << "no temporary copy is left";
    }
}

class FormSettingsTest : public ::testing::Test {
protected:
    std::string Ini() { return tree.Path("PELMORA.INI"); }
    void Write(const std::string& text) { std::ofstream(Ini(), std::ios::binary) << text; }
    TTempTree tree;
};

TEST_F(FormSettingsTest, FirstStartShowsTheDefaults) {
    TForm1 form;
    form.FormCreate(Ini());
    EXPECT_EQ(form.setup.serverEdit.Text(), "");
    EXPECT_EQ(form.setup.passwordEdit.Text(), "");
    EXPECT_EQ(form.remoteRootEdit.Text(), "") << "the stored default, not the design-time text";
    EXPECT_EQ(form.localRootLabel.Caption(), "");
    EXPECT_EQ(form.setup.ftpPortSpin.Value(), 21);
    EXPECT_EQ(form.setup.firewallSpin.Value(), 21);
    EXPECT_FALSE(form.setup.firewallCheck.Checked());
    EXPECT_TRUE(form.onConnect.compareOnConnectCheck.Checked());
    EXPECT_TRUE(form.onConnect.loadOnConnectCheck.Checked());
    EXPECT_FALSE(form.onConnect.updateOnConnectCheck.Checked());
    EXPECT_FALSE(form.onConnect.exitWhenDoneCheck.Checked());
    EXPECT_FALSE(form.deleteRemoteCheck.Checked());
    EXPECT_EQ(form.timeOutSpin.Value(), 30);
    EXPECT_EQ(form.Geometry.Width, 600);
    EXPECT_EQ(form.Geometry.Height, 438);
    EXPECT_EQ(form.Geometry.Top, 20);
    EXPECT_EQ(form.Geometry.Left, 20);
    EXPECT_EQ(form.setup.dataModeEdit.Text(), "auto") << "a file without the key means auto";
}

TEST_F(FormSettingsTest, GarbledValuesFallBackAndRangesClamp) {
    Write("\x01\x02 binary\n[Options]\ntimeout=1000\ncompare=yes\nexit=0x1\n[FTP]\nport=70000\n"
          "server=not hex\nuserName=9D09B099C\n[Firewall]\nport=1\n[Options\ndelete\n"
          "[Screen]\nwidth=0x320\n");
    TForm1 form;
    form.FormCreate(Ini());
    EXPECT_EQ(form.timeOutSpin.Value(), 300);
    EXPECT_TRUE(form.onConnect.compareOnConnectCheck.Checked())
        << "unparsable boolean gives its default";
    EXPECT_TRUE(form.onConnect.exitWhenDoneCheck.Checked());
    EXPECT_EQ(form.setup.ftpPortSpin.Value(), 65535);
    EXPECT_EQ(form.setup.serverEdit.Text(), "");
    EXPECT_EQ(form.setup.userEdit.Text(), "abc");
    EXPECT_EQ(form.setup.firewallSpin.Value(), 1);
    EXPECT_EQ(form.Geometry.Width, 800);

    Write("[Options]\ntimeout=1\n");
    TForm1 low;
    low.FormCreate(Ini());
    EXPECT_EQ(low.timeOutSpin.Value(), 5);
}

TEST_F(FormSettingsTest, CloseWritesEveryKeyAndTheNextStartReadsThemBack) {
    Write("; my notes\n[Unknown]\nkeep=me\n");
    {
        TForm1 form;
        form.FormCreate(Ini());
        form.setup.serverEdit.SetText("ftp.example.org");
        form.setup.userEdit.SetText("webmaster");
        form.setup.passwordEdit.SetText("");
        form.SetLocalRoot("/srv/site");
        form.remoteRootEdit.SetText("/htdocs");
        form.deleteRemoteCheck.SetChecked(true);
        form.timeOutSpin.SetText("45");
        form.Geometry = {700, 500, 30, 40};
        form.FormClose();
    }
    const std::string text = ReadFile(Ini());
    EXPECT_NE(text.find("; my notes\n[Unknown]\nkeep=me\n"), std::string::npos);
    EXPECT_NE(text.find("[FTP]\nserver="), std::string::npos);
    EXPECT_NE(text.find("password=\nport=21\n"), std::string::npos) << "empty password";
    EXPECT_NE(text.find("timeout=45\n"), std::string::npos);
    EXPECT_EQ(text.find("webmaster"), std::string::npos) << "texts are stored encoded";
    struct stat st {};
    ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    TForm1 again;
    again.FormCreate(Ini());
    EXPECT_EQ(again.setup.serverEdit.Text(), "ftp.example.org");
    EXPECT_EQ(again.setup.userEdit.Text(), "webmaster");
    EXPECT_EQ(again.setup.passwordEdit.Text(), "");
    EXPECT_EQ(again.localRootLabel.Caption(), "/srv/site");
    EXPECT_EQ(again.remoteRootEdit.Text(), "/htdocs");
    EXPECT_TRUE(again.deleteRemoteCheck.Checked());
    EXPECT_EQ(again.timeOutSpin.Value(), 45);
    EXPECT_EQ(again.Geometry.Width, 700);
    EXPECT_EQ(again.Geometry.Left, 40);
}

TEST_F(FormSettingsTest, ConfigureWritesOnlyTheNamedKeysOrNothingAtAll) {
    std::string error;
    ASSERT_TRUE(ConfigureSettings(Ini(),
                                  {"ftp.SERVER=127.0.0.1", "FTP.port=2121", "Options.update=true",
                                   "List.local=/srv/site", "FTP.password=s3cret"},
                                  error))
        << error;
    const std::string before = ReadFile(Ini());
    EXPECT_EQ(before.find("s3cret"), std::string::npos);
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"FTP.port=21", "FTP.nothing=1"},
          {"FTP.port=70000"},
          {"Options.exit=maybe"},
          {"noequals"}}) {
        EXPECT_FALSE(ConfigureSettings(Ini(), bad, error)) << bad.back();
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(ReadFile(Ini()), before) << "a refused configure changes nothing";
    }
    TForm1 form;
    form.FormCreate(Ini());
    EXPECT_EQ(form.setup.serverEdit.Text(), "127.0.0.1");
    EXPECT_EQ(form.setup.ftpPortSpin.Value(), 2121);
    EXPECT_TRUE(form.onConnect.updateOnConnectCheck.Checked());
    EXPECT_EQ(form.localRootLabel.Caption(), "/srv/site");
    EXPECT_EQ(form.setup.passwordEdit.Text(), "s3cret");
    EXPECT_TRUE(form.onConnect.loadOnConnectCheck.Checked())
        << "keys not named keep their (default) value";
}

TEST_F(FormSettingsTest, DataModeTakesItsThreeWordsAndReachesTheComponent) {
    std::string error;
    ASSERT_TRUE(ConfigureSettings(Ini(), {"ftp.DATAMODE=Passive"}, error)) << error;
    const std::string before = ReadFile(Ini());
    for (const char* bad : {"FTP.dataMode=pasv", "FTP.dataMode=", "FTP.dataMode=active "}) {
        EXPECT_FALSE(ConfigureSettings(Ini(), {bad}, error)) << bad;
        EXPECT_EQ(error, "The value of FTP.dataMode must be auto, passive or active") << bad;
        EXPECT_EQ(ReadFile(Ini()), before) << bad;
    }
    {
        TForm1 form;
        form.FormCreate(Ini());
        EXPECT_EQ(form.setup.dataModeEdit.Text(), "passive");
        form.setup.dataModeEdit.SetText("active");
        form.FormClose();
    }
    TForm1 again;
    again.FormCreate(Ini());
    EXPECT_EQ(again.setup.dataModeEdit.Text(), "active");
    // Connecting hands the mode to the component (to nowhere: the connect itself fails).
    again.setup.serverEdit.SetText("127.0.0.1");
    again.setup.ftpPortSpin.SetValue(1);
    again.ConnectToServer();
    EXPECT_EQ(again.engine.session.Settings().dataMode, TDataMode::Active);

    // A word the program does not know, written by hand, reads as auto.
    Write("[FTP]\ndataMode=" + EncodeValue("sideways") + "\n");
    TForm1 odd;
    odd.FormCreate(Ini());
    EXPECT_EQ(odd.setup.dataModeEdit.Text(), "auto");
}

TEST_F(FormSettingsTest, TlsModeAndTrustedCertificateAreCheckedStoredAndReachTheComponent) {
    std::string error;
    {
        TForm1 fresh;
        fresh.FormCreate(Ini());
        EXPECT_EQ(fresh.setup.tlsEdit.Text(), "auto") << "a file without the key means auto";
    }
    const std::string digest(64, 'a');
    ASSERT_TRUE(
        ConfigureSettings(Ini(), {"FTP.tls=Require", "FTP.trustedCertificate=" + digest}, error))
        << error;
    const std::string before = ReadFile(Ini());
    for (const std::string& bad : {std::string("FTP.tls=on"), std::string("FTP.tls="),
                                   std::string("FTP.trustedCertificate=SHA256:ab"),
                                   "FTP.trustedCertificate=" + std::string(64, 'g')}) {
        EXPECT_FALSE(ConfigureSettings(Ini(), {bad}, error)) << bad;
        EXPECT_EQ(ReadFile(Ini()), before) << bad;
    }
    TForm1 form;
    form.FormCreate(Ini());
    EXPECT_EQ(form.setup.tlsEdit.Text(), "require");
    const std::string stored = "SHA256:" + std::string(64, 'A');
    // Shown with colons; what reaches the session is as the file keeps it.
    EXPECT_EQ(form.setup.trustedCertificateEdit.Text(), DisplayFingerprint(stored));
    form.setup.serverEdit.SetText("127.0.0.1");
    form.setup.ftpPortSpin.SetValue(1);
    form.ConnectToServer();
    EXPECT_EQ(form.engine.session.Settings().tlsMode, TTlsMode::Require);
    EXPECT_EQ(form.engine.session.Settings().trustedCertificate, stored);
}

TEST(CommandLine, ParsesModesAndRefusesWhatItDoesNotKnow) {
    auto parse = [](std::vector<std::string> args) { return ParseCommandLine(args); };
    EXPECT_EQ(parse({}).Mode, TCommandLine::Window);
    const TCommandLine h = parse({"--settings", "x.ini", "--headless"});
    EXPECT_EQ(h.Mode, TCommandLine::Headless);
    EXPECT_EQ(h.SettingsFile, "x.ini");
    const TCommandLine c = parse({"--configure", "FTP.server=a", "FTP.port=1", "--settings=y"});
    EXPECT_EQ(c.Mode, TCommandLine::Configure);
    EXPECT_EQ(c.Assignments, (std::vector<std::string>{"FTP.server=a", "FTP.port=1"}));
    EXPECT_EQ(c.SettingsFile, "y");
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--bogus"},
                                                {"--settings"},
                                                {"--configure"},
                                                {"--headless", "--configure", "a=b"}})
        EXPECT_EQ(parse(bad).Mode, TCommandLine::UsageError);
    EXPECT_EQ(parse({"--version"}).Mode, TCommandLine::Version);
}

TEST(CommandLine, TakesTheOptionsOfAHeadlessRunAndOnlyWithIt) {
    auto parse = [](std::vector<std::string> args) { return ParseCommandLine(args); };
    const TCommandLine plain = parse({"--headless"});
    EXPECT_FALSE(plain.DryRun);
    EXPECT_EQ(plain.Output, TOutputLevel::Normal);
    EXPECT_FALSE(plain.MaxDelete.has_value());
    const TCommandLine h =
        parse({"--dry-run", "-q", "--headless", "--log-file", "run.log", "--exclude", "*.bak",
               "--exclude=drafts/", "--max-delete", "35", "--quiet"});
    EXPECT_EQ(h.Mode, TCommandLine::Headless);
    EXPECT_TRUE(h.DryRun);
    EXPECT_EQ(h.Output, TOutputLevel::Quiet);
    EXPECT_EQ(h.LogFile, "run.log");
    EXPECT_EQ(h.Excludes, (std::vector<std::string>{"*.bak", "drafts/"}));
    EXPECT_EQ(h.MaxDelete, 35);
    EXPECT_EQ(parse({"--headless", "--max-delete=-1"}).MaxDelete, -1);
    EXPECT_EQ(parse({"--headless", "--max-delete=0"}).MaxDelete, 0);
    EXPECT_EQ(parse({"--headless", "--verbose", "-v"}).Output, TOutputLevel::Verbose);

    const TCommandLine alone = parse({"--dry-run"});
    EXPECT_EQ(alone.Mode, TCommandLine::UsageError);
    EXPECT_EQ(alone.Error, "--dry-run is only for --headless");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--configure", "FTP.port=21", "--exclude", "x"},
          {"--settings", "a.ini", "-v"},
          {"--headless", "-q", "-v"},
          {"--headless", "--max-delete", "x"},
          {"--headless", "--max-delete", "-2"},
          {"--headless", "--max-delete", "3x"},
          {"--headless", "--max-delete=99999999999999999999"},
          {"--headless", "--max-delete"},
          {"--headless", "--exclude"},
          {"--headless", "--exclude="},
          {"--headless", "--log-file"}})
        EXPECT_EQ(parse(bad).Mode, TCommandLine::UsageError) << bad.back();
}

TEST(CommandLine, HelpListsTheHeadlessOptionsAndEveryExitStatus) {
    std::ostringstream help;
    PrintUsage(help);
    for (const char* option : {"--dry-run", "--quiet", "--verbose", "--log-file FILE",
                               "--exclude PATTERN", "--max-delete N", "PELMORA_PASSWORD"})
        EXPECT_NE(help.str().find(option), std::string::npos) << option;
    std::set<std::string_view> names;
    for (TExitCode code : allExitCodes) {
        const std::string line =
            "\n  " + std::to_string(ToInt(code)) + (ToInt(code) < 10 ? "    " : "  ");
        EXPECT_NE(help.str().find(line + std::string(ExitCodeMeaning(code)) + "\n"),
                  std::string::npos)
            << ToInt(code);
        names.insert(ExitCodeName(code));
    }
    EXPECT_EQ(names.size(), std::size(allExitCodes)) << "every name tells its code apart";
    // Every key --configure takes, each as a whole word (FTP.tls is not found in FTP.tlsSeen).
    for (const TSetting& s : SettingKeys) {
        const std::string key = std::string(s.Section) + "." + s.Key;
        EXPECT_TRUE(help.str().find(" " + key + ",") != std::string::npos ||
                    help.str().find(" " + key + "\n") != std::string::npos)
            << key;
    }
}

TEST(Headless, ScansTheLocalTreeAndLeavesTheSettingsAsTheyWere) {
    TTempTree tree;
    tree.File("site/index.html", "<p>");
    tree.File("site/css/a.css", "a");
    const std::string ini = tree.Path("PELMORA.INI");
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini, {"List.local=" + tree.Path("site")}, error));
    const std::string before = ReadFile(ini);
    std::ostringstream out, err;
    // No server is set up, so the connect that follows the scan stops at its check: a
    // settings error.
    EXPECT_EQ(RunHeadless(ini, out, err), 2);
    EXPECT_EQ(err.str(),
              "pelmora: Supply FTP server details under SETUP below; see pelmora --help\n");
    EXPECT_NE(out.str().find("Local: 2 files in 2 directories (" + tree.Path("site") + ")\n"),
              std::string::npos)
        << out.str();
    EXPECT_EQ(out.str().find("Loading Local Directory: "), std::string::npos)
        << "no counter lines\n"
        << out.str();
    EXPECT_EQ(ReadFile(ini), before) << "nothing learnt, nothing written";

    std::ostringstream out2, err2;
    ASSERT_TRUE(ConfigureSettings(ini, {"List.local=" + tree.Path("gone")}, error));
    EXPECT_EQ(RunHeadless(ini, out2, err2), 3);
    EXPECT_EQ(err2.str(), "Could not change to local directory: " + tree.Path("gone") + "\n");
}

TEST_F(FormSettingsTest, ValuesHoldingLineBreaksOrSectionTextStayInsideTheirKey) {
    std::string error;
    const std::string tricky = "pw\n[FTP]\nserver=evil.example";
    ASSERT_TRUE(
        ConfigureSettings(Ini(), {"FTP.password=" + tricky, "FTP.server=good.example"}, error))
        << error;
    const std::string text = ReadFile(Ini());
    EXPECT_EQ(text.find("evil"), std::string::npos);
    EXPECT_EQ(text.find("[FTP]\n[FTP]"), std::string::npos);
    TForm1 form;
    form.FormCreate(Ini());
    EXPECT_EQ(form.setup.passwordEdit.Text(), tricky);
    EXPECT_EQ(form.setup.serverEdit.Text(), "good.example");

    Write("[FTP]\nserver=" + std::string(1 << 20, '9') +
          "\n[Options]\ntimeout=" + std::string(5000, '7') + "\n");
    TForm1 big;
    big.FormCreate(Ini());
    EXPECT_EQ(big.timeOutSpin.Value(), 30) << "a number too long to be one gives the default";
    EXPECT_LE(big.setup.serverEdit.Text().size(), 1023u / 3 + 1);
}

TEST_F(FormSettingsTest, APasswordGivenAsDashIsReadFromInputAndNothingElseIs) {
    struct Case {
        std::string input, password;
    };
    for (const Case& c : {Case{"s3cret\n", "s3cret"}, Case{"two words\r\nnext line\n", "two words"},
                          Case{"no line end", "no line end"}, Case{"\n", ""}, Case{"-\n", "-"}}) {
        std::vector<std::string> assignments{"ftp.PASSWORD=-", "FTP.userName=-", "FTP.server=-"};
        std::istringstream in(c.input);
        std::ostringstream prompt;
        std::string error;
        ASSERT_TRUE(ReadPasswordFromInput(assignments, in, -1, prompt, error)) << error;
        EXPECT_EQ(prompt.str(), "") << "no prompt when the input is no terminal";
        ASSERT_TRUE(ConfigureSettings(Ini(), assignments, error)) << error;
        TForm1 form;
        form.FormCreate(Ini());
        EXPECT_EQ(form.setup.passwordEdit.Text(), c.password) << c.input;
        EXPECT_EQ(form.setup.userEdit.Text(), "-") << "other keys keep \"-\" as it stands";
        EXPECT_EQ(form.setup.serverEdit.Text(), "-");
    }

    const std::string before = ReadFile(Ini());
    std::vector<std::string> assignments{"FTP.password=-"};
    std::istringstream empty;
    std::ostringstream prompt;
    std::string error;
    EXPECT_FALSE(ReadPasswordFromInput(assignments, empty, -1, prompt, error));
    EXPECT_NE(error.find("standard input"), std::string::npos) << error;

    // Without "-" nothing is read.
    std::vector<std::string> literal{"FTP.password=--", "FTP.password"};
    std::istringstream untouched("kept\n");
    ASSERT_TRUE(ReadPasswordFromInput(literal, untouched, -1, prompt, error));
    EXPECT_EQ(literal, (std::vector<std::string>{"FTP.password=--", "FTP.password"}));
    std::string rest;
    std::getline(untouched, rest);
    EXPECT_EQ(rest, "kept");
    EXPECT_EQ(ReadFile(Ini()), before);
}

namespace {

// Input that notes whether the terminal echoed while the line was taken from it.
class TEchoProbe : public std::streambuf {
public:
    TEchoProbe(int terminal, std::string text) : terminal_(terminal), text_(std::move(text)) {}
    bool echoWhileRead = true;

protected:
    int_type underflow() override {
        if (gptr() != nullptr)
            return traits_type::eof();
        struct termios t {};
        ::tcgetattr(terminal_, &t);
        echoWhileRead = (t.c_lflag & ECHO) != 0;
        setg(text_.data(), text_.data(), text_.data() + text_.size());
        return traits_type::to_int_type(text_[0]);
    }

private:
    int terminal_;
    std::string text_;
};

} // namespace

TEST(CommandLine, APasswordTypedAtATerminalIsPromptedForAndNotEchoed) {
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    TEchoProbe probe(slave, "typed\n");
    std::istream in(&probe);
    std::ostringstream prompt;
    std::string error;
    std::vector<std::string> assignments{"FTP.password=-"};
    ASSERT_TRUE(ReadPasswordFromInput(assignments, in, slave, prompt, error)) << error;
    EXPECT_EQ(assignments[0], "FTP.password=typed");
    EXPECT_EQ(prompt.str(), "Password: \n");
    EXPECT_FALSE(probe.echoWhileRead);
    struct termios after {};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo is back on afterwards";
    ::close(slave);
    ::close(master);
}

namespace {

// Every key's value off its default: texts with blanks at both ends, bytes that are no
// UTF-8 and one too long for the classic form.
TSiteSettings EveryKeySet() {
    TSiteSettings s;
    s.connection.host = "ftp.example.org";
    s.connection.user = " web master ";
    s.connection.password = "p\xff\xfe\x80 not UTF-8=[FTP]";
    s.connection.port = 2121;
    s.connection.useFirewall = true;
    s.connection.firewallHost = "proxy.example";
    s.connection.firewallPort = 2100;
    s.connection.dataMode = TDataMode::Passive;
    s.connection.tlsMode = TTlsMode::Require;
    s.connection.trustedCertificate = "SHA256:" + std::string(64, 'A');
    s.connection.tlsSeenBefore = true;
    s.connection.protocol = TProtocol::Sftp;
    s.connection.sftpHostKey = "SHA256:" + std::string(43, 'h');
    s.connection.sftpKeyFile = "/home/web master/.ssh/site key";
    s.connection.timeoutMs = s.sync.timeoutMs = 45000;
    s.sync.localRoot = "/srv/" + std::string(300, 'x') + "/Café";
    s.sync.remoteRoot = " /htdocs ";
    s.sync.mayDelete = true;
    s.sync.listingZone = -300;
    s.sync.remoteKeepsOurTimes = true;
    s.sync.listingZoneProven = true;
    s.sync.maxDelete = 35;
    s.sync.atomic = false;
    s.sync.connections = 6;
    s.steps = {false, false, true, true};
    s.passwordInKeyring = true;
    s.screen = {700, 500, 30, 40, true};
    return s;
}

bool SameStored(const TSettingValue& a, const TSettingValue& b) {
    return a.text == b.text && a.number == b.number && a.stored == b.stored;
}

// Written by the window before its settings were one value, from EveryKeySet's values
// (a password and a local directory of their own), with Options.maxDelete=35 set by
// --configure first.
const char* const EarlierWindowFile = R"([Options]
maxDelete=35
compare=0
load=0
update=1
exit=1
delete=1
timeout=45
atomic=0
connections=6

[FTP]
server=9808908CCCD395481A9748A28658968F1C578317FC890
userName=87498D9A58EB99486A84C92A844
password=~DE8D9BDB8786F9D7
port=2121
dataMode=8E89C089B88991B83A938
listingZone=60
keepsTimes=1
zoneProven=1
tls=8C398A8B886E91987E933
trustedCertificate=ABAB54BB1C9BC57C3DBE7B68B5EB4AB35B20B1AB0EAFBAEBAD2AC2ABDAABA98A8CA7AA64A51A49A34A2DA12A049F89EE9D29C29B49A299898797496295994B93B9219119008F18EB8DC8C58B98A689B88787586C85C8428318218108027FA7E37D87C37B57AC794784779
passwordInKeyring=1
tlsSeen=1
protocol=8B097088C8B3

[Firewall]
server=8E28B48D683381CCB49377F295D88484B87E8D7
port=2100
active=1

[List]
local=~CF958D8E95CA978B917D93858E7F8FC0AA7E89767D847A7373B6A177797C726B6BAE7A7A6F74665EA96666A65E696BA26B5E5A5D655799506163515A4E5C918D8E8B868E48545452434C4D4583413B4D4244494C42353B3B
remote=CFD95C8809728B2967850

[Screen]
width=700
height=500
top=30
left=40

[SFTP]
hostKey=AB4B5ABB4C92C55C36BE18F78E18DC8C08B48AD89588B87486A85C84A8348228148067F37EC7D47C77B27AD79478B77E76775D74C7307227127076F06E86D06CB6B96AB69A68867366A658
keyFile=CFE9598DE8E395ACA481192B947D5D8779287FE7DA8B57D0BFABFE79B78B822BA275D7EB72880CC4A7847D1689
)";

} // namespace

TEST(SiteSettings, AValueWrittenReadsBackTheSameThroughALinkToo) {
    namespace fs = std::filesystem;
    const TSiteSettings value = EveryKeySet();
    for (const TSetting& key : SettingKeys)
        EXPECT_FALSE(SameStored(key.Place.Get(value), key.Place.Get(TSiteSettings{})))
            << key.Section << "." << key.Key << " is at its default: the round trip misses it";
    TTempTree tree;
    fs::create_directories(tree.Path("real"));
    const std::string link = tree.Path("PELMORA.INI");
    fs::create_symlink("real/pelmora.ini", link);
    WriteSiteSettings(link, value);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadSiteSettings(link), value);
    EXPECT_EQ(ReadSiteSettings(tree.Path("real/pelmora.ini")), value);
    const std::string text = ReadFile(link);
    for (const char* plain : {"web master", "htdocs", "xxxxxxxx", "proxy"})
        EXPECT_EQ(text.find(plain), std::string::npos) << plain << ": texts are stored encoded";

    // Unset, the cap keeps what the file holds: nothing, or a word that is no number.
    TSiteSettings noCap = value;
    noCap.sync.maxDelete.reset();
    std::string held = ReadFile(link);
    held.replace(held.find("maxDelete=35"), 12, "maxDelete=some");
    std::ofstream(link, std::ios::binary) << held;
    WriteSiteSettings(link, noCap);
    EXPECT_EQ(ReadSiteSettings(link), noCap);
    EXPECT_NE(ReadFile(link).find("maxDelete=some\n"), std::string::npos);
}

TEST(SiteSettings, AFileTheEarlierWindowWroteReadsTheSameAndIsWrittenAsItWas) {
    TTempTree tree;
    const std::string file = tree.Path("PELMORA.INI");
    std::ofstream(file, std::ios::binary) << EarlierWindowFile;
    TSiteSettings expected = EveryKeySet();
    expected.connection.user = "webmaster";
    expected.connection.password = " pa ss\xff ";
    expected.sync.localRoot = "/home/alexandra/Documents/Clients/bakery-on-the-corner/website/"
                              "2026-redesign/public_html";
    expected.sync.remoteRoot = "/htdocs";
    expected.sync.listingZone = 60;
    const TSiteSettings read = ReadSiteSettings(file);
    EXPECT_EQ(read, expected);

    // Written again: line for line the same, the classic fillers apart (they are random).
    WriteSiteSettings(file, read);
    std::istringstream before(EarlierWindowFile), after(ReadFile(file));
    std::string was, is;
    while (std::getline(before, was)) {
        ASSERT_TRUE(std::getline(after, is)) << "missing: " << was;
        const size_t eq = was.find('=');
        if (eq == std::string::npos || was == is)
            EXPECT_EQ(is, was);
        else
            EXPECT_EQ(DecodeValue(is.substr(eq + 1)), DecodeValue(was.substr(eq + 1))) << was;
        EXPECT_EQ(is.substr(0, eq), was.substr(0, eq));
    }
    EXPECT_FALSE(std::getline(after, is)) << "more than before: " << is;
}

TEST(SiteSettings, AMissingFileGivesTheDefaultsAndAnUnwritableFolderThrows) {
    namespace fs = std::filesystem;
    TTempTree tree;
    const TSiteSettings defaults = ReadSiteSettings(tree.Path("none/PELMORA.INI"));
    EXPECT_EQ(defaults, TSiteSettings{}) << "the value's defaults are the table's";
    EXPECT_FALSE(defaults.screen.sizeStored);
    EXPECT_FALSE(defaults.sync.mayDelete);
    EXPECT_EQ(defaults.sync.connections, 4);
    EXPECT_FALSE(defaults.sync.maxDelete.has_value());

    // A folder that cannot be made, as any user meets it.
    tree.File("plain", "a file, not a folder");
    EXPECT_THROW(WriteSiteSettings(tree.Path("plain/PELMORA.INI"), EveryKeySet()), EProfileError);
    // A folder that cannot be written to: only a user other than root meets it.
    if (::geteuid() != 0) {
        fs::create_directories(tree.Path("locked"));
        const std::string file = tree.Path("locked/PELMORA.INI");
        WriteSiteSettings(file, TSiteSettings{});
        const std::string before = ReadFile(file);
        ::chmod(tree.Path("locked").c_str(), 0500);
        EXPECT_THROW(WriteSiteSettings(file, EveryKeySet()), EProfileError);
        ::chmod(tree.Path("locked").c_str(), 0700);
        EXPECT_EQ(ReadFile(file), before);
    }
}

TEST(SiteSettings, ShowTellsTheValuesARunUses) {
    TTempTree tree;
    const std::string file = tree.Path("PELMORA.INI");
    std::ofstream(file) << "[Options]\ntimeout=1000\nmaxDelete=x\nconnections=0\n[FTP]\nport=-4\n"
                        << "dataMode=" << EncodeValue("sideways")
                        << "\npassword=" << EncodeValue("pw") << "\n";
    const std::vector<std::string> lines = SettingsLines(file);
    ASSERT_EQ(lines.size(), SettingKeys.size());
    for (const char* line : {"Options.timeout=300", "Options.maxDelete=", "Options.connections=1",
                             "FTP.port=0", "FTP.dataMode=auto", "FTP.password=(set)",
                             "FTP.tls=auto", "Options.load=1", "List.local="})
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

TEST_F(FormSettingsTest, TheWindowShowsOneValueAndHandsItToTheEngineWhenWorkStarts) {
    tree.File("site/index.html", "<p>");
    TSiteSettings value = EveryKeySet();
    value.passwordInKeyring = false; // no keyring here
    value.sync.localRoot = tree.Path("site");
    WriteSiteSettings(Ini(), value);
    TForm1 form;
    form.FormCreate(Ini());
    EXPECT_EQ(form.site, value);
    EXPECT_EQ(form.setup.userEdit.Text(), " web master ");
    EXPECT_EQ(form.localRootLabel.Caption(), tree.Path("site"));
    EXPECT_EQ(form.setup.dataModeEdit.Text(), "passive");
    EXPECT_EQ(form.engine.options.listingZone, -300);
    EXPECT_FALSE(form.engine.options.atomic);
    EXPECT_EQ(form.engine.options.maxDelete, 35);

    // A control is a view: the engine takes what it says when work starts, and what the
    // engine learnt meanwhile is kept.
    form.remoteRootEdit.SetText("/elsewhere");
    form.connectionsSpin.SetValue(2);
    EXPECT_EQ(form.engine.options.remoteRoot, " /htdocs ");
    form.engine.options.listingZone = 120;
    form.FormActivate();
    EXPECT_EQ(form.engine.options.remoteRoot, "/elsewhere");
    EXPECT_EQ(form.engine.options.connections, 2);
    EXPECT_EQ(form.engine.options.listingZone, 120);
    form.FormClose();
    TSiteSettings expected = value;
    expected.sync.remoteRoot = "/elsewhere";
    expected.sync.connections = 2;
    expected.sync.listingZone = 120;
    EXPECT_EQ(ReadSiteSettings(Ini()), expected);
}
