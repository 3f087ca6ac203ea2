#include "app/command_line.h"
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/main_form.h"
#include "app/settings.h"
#include "app/settings_codec.h"
#include "tests/support/temp_tree.h"
#include "toolkit/profile.h"
#include "toolkit/random.h"

#include <gtest/gtest.h>

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
        EXPECT_EQ(form.Label5.Caption(), c.text) << label;
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
    EXPECT_EQ(form.Edit1.Text(), "abc");
    EXPECT_EQ(form.Label5.Caption(), std::string(84, 'x'));
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
        form.Label5.SetCaption(local);
        form.Edit4.SetText(remote);
        form.Edit3.SetText(std::string(300, 's'));
        form.FormClose();
    }
    TForm1 again;
    again.FormCreate(file);
    EXPECT_EQ(again.Label5.Caption(), local);
    EXPECT_EQ(again.Edit4.Text(), remote);
    EXPECT_EQ(again.Edit3.Text(), std::string(300, 's'));
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
        EXPECT_EQ(form.Edit1.Text(), "ftp.example.org");
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
    EXPECT_EQ(form.Edit1.Text(), "");
    EXPECT_EQ(form.Edit3.Text(), "");
    EXPECT_EQ(form.Edit4.Text(), "") << "the stored default, not the design-time text";
    EXPECT_EQ(form.Label5.Caption(), "");
    EXPECT_EQ(form.ftpPortSpin.Value(), 21);
    EXPECT_EQ(form.firewallSpin.Value(), 21);
    EXPECT_FALSE(form.firewallCheck.Checked());
    EXPECT_TRUE(form.CheckBox1.Checked());
    EXPECT_TRUE(form.CheckBox2.Checked());
    EXPECT_FALSE(form.CheckBox3.Checked());
    EXPECT_FALSE(form.CheckBox4.Checked());
    EXPECT_FALSE(form.CheckBox5.Checked());
    EXPECT_EQ(form.timeOutSpin.Value(), 30);
    EXPECT_EQ(form.Geometry.Width, 600);
    EXPECT_EQ(form.Geometry.Height, 438);
    EXPECT_EQ(form.Geometry.Top, 20);
    EXPECT_EQ(form.Geometry.Left, 20);
    EXPECT_EQ(form.dataModeEdit.Text(), "auto") << "a file without the key means auto";
}

TEST_F(FormSettingsTest, GarbledValuesFallBackAndRangesClamp) {
    Write("\x01\x02 binary\n[Options]\ntimeout=1000\ncompare=yes\nexit=0x1\n[FTP]\nport=70000\n"
          "server=not hex\nuserName=9D09B099C\n[Firewall]\nport=1\n[Options\ndelete\n"
          "[Screen]\nwidth=0x320\n");
    TForm1 form;
    form.FormCreate(Ini());
    EXPECT_EQ(form.timeOutSpin.Value(), 300);
    EXPECT_TRUE(form.CheckBox1.Checked()) << "unparsable boolean gives its default";
    EXPECT_TRUE(form.CheckBox4.Checked());
    EXPECT_EQ(form.ftpPortSpin.Value(), 65535);
    EXPECT_EQ(form.Edit1.Text(), "");
    EXPECT_EQ(form.Edit2.Text(), "abc");
    EXPECT_EQ(form.firewallSpin.Value(), 1);
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
        form.Edit1.SetText("ftp.example.org");
        form.Edit2.SetText("webmaster");
        form.Edit3.SetText("");
        form.Label5.SetCaption("/srv/site");
        form.Edit4.SetText("/htdocs");
        form.CheckBox5.SetChecked(true);
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
    EXPECT_EQ(again.Edit1.Text(), "ftp.example.org");
    EXPECT_EQ(again.Edit2.Text(), "webmaster");
    EXPECT_EQ(again.Edit3.Text(), "");
    EXPECT_EQ(again.Label5.Caption(), "/srv/site");
    EXPECT_EQ(again.Edit4.Text(), "/htdocs");
    EXPECT_TRUE(again.CheckBox5.Checked());
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
    EXPECT_EQ(form.Edit1.Text(), "127.0.0.1");
    EXPECT_EQ(form.ftpPortSpin.Value(), 2121);
    EXPECT_TRUE(form.CheckBox3.Checked());
    EXPECT_EQ(form.Label5.Caption(), "/srv/site");
    EXPECT_EQ(form.Edit3.Text(), "s3cret");
    EXPECT_TRUE(form.CheckBox2.Checked()) << "keys not named keep their (default) value";
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
        EXPECT_EQ(form.dataModeEdit.Text(), "passive");
        form.dataModeEdit.SetText("active");
        form.FormClose();
    }
    TForm1 again;
    again.FormCreate(Ini());
    EXPECT_EQ(again.dataModeEdit.Text(), "active");
    // Connecting hands the mode to the component (to nowhere: the connect itself fails).
    again.Edit1.SetText("127.0.0.1");
    again.ftpPortSpin.SetValue(1);
    again.ConnectToServer();
    EXPECT_EQ(again.Ftp1.Settings().dataMode, TDataMode::Active);

    // A word the program does not know, written by hand, reads as auto.
    Write("[FTP]\ndataMode=" + EncodeValue("sideways") + "\n");
    TForm1 odd;
    odd.FormCreate(Ini());
    EXPECT_EQ(odd.dataModeEdit.Text(), "auto");
}

TEST_F(FormSettingsTest, TlsModeAndTrustedCertificateAreCheckedStoredAndReachTheComponent) {
    std::string error;
    {
        TForm1 fresh;
        fresh.FormCreate(Ini());
        EXPECT_EQ(fresh.tlsEdit.Text(), "auto") << "a file without the key means auto";
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
    EXPECT_EQ(form.tlsEdit.Text(), "require");
    const std::string stored = "SHA256:" + std::string(64, 'A');
    EXPECT_EQ(form.trustedCertificateEdit.Text(), stored);
    form.Edit1.SetText("127.0.0.1");
    form.ftpPortSpin.SetValue(1);
    form.ConnectToServer();
    EXPECT_EQ(form.Ftp1.Settings().tlsMode, TTlsMode::Require);
    EXPECT_EQ(form.Ftp1.Settings().trustedCertificate, stored);
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
    EXPECT_NE(out.str().find("Local Directory Loaded - Press Connect\n"), std::string::npos)
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
    EXPECT_EQ(form.Edit3.Text(), tricky);
    EXPECT_EQ(form.Edit1.Text(), "good.example");

    Write("[FTP]\nserver=" + std::string(1 << 20, '9') +
          "\n[Options]\ntimeout=" + std::string(5000, '7') + "\n");
    TForm1 big;
    big.FormCreate(Ini());
    EXPECT_EQ(big.timeOutSpin.Value(), 30) << "a number too long to be one gives the default";
    EXPECT_LE(big.Edit1.Text().size(), 1023u / 3 + 1);
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
        EXPECT_EQ(form.Edit3.Text(), c.password) << c.input;
        EXPECT_EQ(form.Edit2.Text(), "-") << "other keys keep \"-\" as it stands";
        EXPECT_EQ(form.Edit1.Text(), "-");
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
