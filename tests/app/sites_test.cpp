// Sites: names and their files, the list, create, rename and delete, and how the command
// line picks one.
#include "app/command_line.h"
#include "app/sites.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace pelmora;
using pelmora::testing::TTempTree;
namespace fs = std::filesystem;

namespace {

class SitesTest : public ::testing::Test {
protected:
    TTempTree temp;
    TSites sites{temp.Path("pelmora/PELMORA.INI")};

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const TSiteInfo& site : sites.List())
            names.push_back(site.Name);
        return names;
    }
    TSiteInfo Make(const std::string& name) {
        std::string error;
        const auto site = sites.Create(name, error);
        EXPECT_TRUE(site) << error;
        return site.value_or(TSiteInfo{});
    }
};

} // namespace

TEST_F(SitesTest, WithoutASitesFolderThereIsTheDefaultSiteInPelmoraIni) {
    ASSERT_FALSE(fs::exists(sites.Folder()));
    const std::vector<TSiteInfo> list = sites.List();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Name, "Default");
    EXPECT_TRUE(list[0].IsDefault);
    EXPECT_EQ(list[0].File, temp.Path("pelmora/PELMORA.INI"));
    EXPECT_EQ(sites.Find("default")->File, list[0].File);
    EXPECT_EQ(sites.Folder(), temp.Path("pelmora/sites"));
}

TEST_F(SitesTest, NamesAreTrimmedKeptInTheirCaseAndToldApartWithoutIt) {
    const TSiteInfo work = Make("  Work site \t");
    EXPECT_EQ(work.Name, "Work site");
    EXPECT_EQ(work.File, temp.Path("pelmora/sites/Work site.ini"));
    struct stat st {};
    ASSERT_EQ(::stat(work.File.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a settings file may hold a password";

    std::string error;
    EXPECT_FALSE(sites.Create("work SITE", error));
    EXPECT_NE(error.find("\"Work site\" already"), std::string::npos) << error;
    EXPECT_EQ(sites.Find(" WORK site ")->File, work.File);

    // Café and CAFÉ are one name; the file name holds only plain ASCII.
    const TSiteInfo cafe = Make("Café ☕");
    EXPECT_EQ(fs::path(cafe.File).filename(), "Caf%C3%A9 %E2%98%95.ini");
    EXPECT_FALSE(sites.Create("CAFÉ ☕", error));
    Make("alpha");
    EXPECT_EQ(Names(), (std::vector<std::string>{"Default", "alpha", "Café ☕", "Work site"}));
}

TEST_F(SitesTest, NamesThatCannotBeAreRefusedWithAReason) {
    const std::pair<std::string, const char*> refused[] = {
        {"a/b", "\"/\""},
        {"   ", "needs a name"},
        {"tab\tin", "printable"},
        {"line\nbreak", "printable"},
        {std::string("nul\0x", 5), "printable"},
        {"bad \xff utf", "printable"},
        {"DEFAULT", "PELMORA.INI"},
        {std::string(100, '\xe2'), "printable"},
        {std::string(90, '?'), "too long"},
    };
    for (const auto& [name, why] : refused) {
        std::string error;
        EXPECT_FALSE(sites.Create(name, error)) << name;
        EXPECT_NE(error.find(why), std::string::npos) << name << ": " << error;
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"Default"});
}

TEST_F(SitesTest, FileNamesStayInTheFolderAndLeadBackToTheName) {
    for (const std::string name :
         {".hidden", "..", "100%", "a.b-c_d", "back\\slash", "~me", "日本語のサイト", "x:y*z?"}) {
        const std::string file = SiteFileName(name);
        EXPECT_NE(file.front(), '.') << name;
        EXPECT_EQ(file.find('/'), std::string::npos) << name;
        EXPECT_EQ(SiteNameOfFile(file), name) << file;
    }
    // Files made by hand keep their names; files no site could have are not sites.
    EXPECT_EQ(SiteNameOfFile("my site.ini"), "my site");
    EXPECT_EQ(SiteNameOfFile("50%.ini"), "50%");
    EXPECT_EQ(SiteNameOfFile("50%4.ini"), "50%4");
    for (const char* other :
         {"notes.txt", ".ini", " lead.ini", "Default.ini", "%2F.ini", "a%0Ab.ini"})
        EXPECT_EQ(SiteNameOfFile(other), std::nullopt) << other;

    temp.File("pelmora/sites/notes.txt", "x");
    temp.File("pelmora/sites/by hand.ini", "[FTP]\n");
    temp.Dir("pelmora/sites/folder.ini");
    EXPECT_EQ(Names(), (std::vector<std::string>{"Default", "by hand"}));
}

TEST_F(SitesTest, RenameMovesTheFileAndRefusesTakenNamesAndTheDefault) {
    const TSiteInfo a = Make("Alpha");
    const TSiteInfo b = Make("Beta");
    std::string error;
    EXPECT_FALSE(sites.Rename("Alpha", " beta ", error));
    EXPECT_NE(error.find("\"Beta\" already"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(a.File) && fs::exists(b.File));
    EXPECT_FALSE(sites.Rename("Default", "Main", error));
    EXPECT_FALSE(sites.Rename("Alpha", "Default", error));
    EXPECT_FALSE(sites.Rename("Alpha", "a/b", error));
    EXPECT_FALSE(sites.Rename("Gamma", "Delta", error));

    temp.File("pelmora/sites/Alpha.ini", "[FTP]\nserver=kept\n");
    const auto upper = sites.Rename("alpha", "ALPHA", error);
    ASSERT_TRUE(upper) << "a change of case is a rename: " << error;
    EXPECT_EQ(upper->Name, "ALPHA");
    EXPECT_FALSE(fs::exists(a.File));
    EXPECT_EQ(pelmora::testing::ReadFile(upper->File), "[FTP]\nserver=kept\n");
    EXPECT_EQ(Names(), (std::vector<std::string>{"Default", "ALPHA", "Beta"}));
}

TEST_F(SitesTest, DeleteRemovesASitesFileButNeverTheDefault) {
    temp.File("pelmora/PELMORA.INI", "[FTP]\n");
    const TSiteInfo gone = Make("Gone");
    std::string error;
    EXPECT_FALSE(sites.Delete("Default", error));
    EXPECT_NE(error.find("cannot be deleted"), std::string::npos);
    EXPECT_TRUE(fs::exists(temp.Path("pelmora/PELMORA.INI")));
    EXPECT_FALSE(sites.Delete("Nothing", error));
    EXPECT_TRUE(sites.Delete(" gone", error)) << error;
    EXPECT_FALSE(fs::exists(gone.File));
    EXPECT_EQ(Names(), std::vector<std::string>{"Default"});
}

TEST_F(SitesTest, TheCommandLinePicksASiteOrASettingsFile) {
    const TSiteInfo work = Make("Work");
    const std::string defaultFile = temp.Path("pelmora/PELMORA.INI");
    struct TCase {
        std::vector<std::string> args;
        std::string file;  // empty: no run
        std::string error; // found in the usage error
    };
    const TCase cases[] = {
        {{}, defaultFile, ""},
        {{"--headless"}, defaultFile, ""},
        {{"--site", "Default"}, defaultFile, ""},
        {{"--site", "Work", "--headless"}, work.File, ""},
        {{"--configure", "FTP.port=21", "--site= work "}, work.File, ""},
        {{"--site", "Nope"}, "", "no site named \"Nope\" (the sites: Default, Work"},
        {{"--site"}, "", "--site needs a site name"},
        {{"--site", "  "}, "", "--site needs a site name"},
        {{"--site", "Work", "--settings", "x.ini"}, "", "--site and --settings"},
        {{"--settings=x.ini", "--site=Work"}, "", "--site and --settings"},
        {{"--settings", "x.ini"}, "x.ini", ""},
        {{"--site", "Work", "--show"}, work.File, ""},
        {{"--configure", "FTP.port=21", "--show"}, defaultFile, ""},
        {{"--show", "--headless"}, "", "--show goes alone or with --configure"},
        {{"--list-sites", "--site", "Work"}, "", "--list-sites lists every site"},
        {{"--list-sites", "--headless"}, "", "cannot be combined"},
        // A name to be made is taken as typed: not trimmed, and never with a slash.
        {{"--site", " New", "--configure", "FTP.port=21"}, "", "cannot begin or end with a blank"},
        {{"--site", "a/b", "--configure", "FTP.port=21"}, "", "\"/\""},
        {{"--site", "Nope", "--show"}, "", "no site named \"Nope\""},
    };
    for (const TCase& c : cases) {
        std::string shown;
        for (const auto& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        const TCommandLine cl = ParseCommandLine(c.args);
        std::string error = cl.Error;
        TRunSite site;
        const bool ok = cl.Mode != TCommandLine::UsageError && ResolveSite(cl, sites, site, error);
        if (c.file.empty()) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(site.SettingsFile, c.file);
        EXPECT_EQ(site.FromSites, c.args.empty() || c.args[0] != "--settings");
    }
    TRunSite made;
    std::string why;
    const TCommandLine configure =
        ParseCommandLine({"--site", "Shop", "--configure", "FTP.port=21"});
    ASSERT_TRUE(ResolveSite(configure, sites, made, why)) << why;
    EXPECT_TRUE(made.ToMake);
    EXPECT_EQ(made.Name, "Shop");
    EXPECT_EQ(made.SettingsFile, "");
    EXPECT_EQ(ParseCommandLine({"--show"}).Mode, TCommandLine::Show);
    EXPECT_EQ(ParseCommandLine({"--list-sites"}).Mode, TCommandLine::ListSites);
    EXPECT_TRUE(ParseCommandLine({"--configure", "FTP.port=21", "--show"}).ShowSettings);

    TRunSite named;
    std::string error;
    ASSERT_TRUE(ResolveSite(ParseCommandLine({"--settings", "x.ini"}), sites, named, error));
    EXPECT_EQ(named.Name, (fs::current_path() / "x.ini").string())
        << "a file stands for its site by its full path";
}
