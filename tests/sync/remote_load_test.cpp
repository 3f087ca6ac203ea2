#include "sync/sync_core.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/local_settings.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"
#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>

#include <QTimer>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

class TRemoteForm : public TRecordedEngine {
public:
    TRemoteForm() { options.timeoutMs = 5000; }

    bool Connect(uint16_t port, const std::string& user = "user", const std::string& pass = "pw") {
        ClearStatus();
        return LogIn(LocalServer(port, user, pass), 5000);
    }
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (int i = 0; i < remoteList.Count(); ++i)
            keys.push_back(remoteList.Strings(i));
        return keys;
    }
    const TDetail& Entry(int i) const { return *static_cast<TDetail*>(remoteList.Objects(i)); }
    bool Said(const std::string& status) const { return view.Said(status); }
};

std::vector<std::string> Cwds(const TFtpScriptServer& server) {
    std::vector<std::string> cwds;
    for (const auto& c : server.Commands())
        if (c.rfind("CWD ", 0) == 0)
            cwds.push_back(c.substr(4));
    return cwds;
}

} // namespace

TEST(RemoteLoad, WalksDosListingsDirectoriesFirstAndTracesThem) {
    TFtpScriptServer server;
    server.On("SYST").Reply("215 Windows_NT");
    ListingsInOrder(server, {{"07-15-96  09:05AM                 1234 index.html",
                              "07-15-96  10:30PM       <DIR>          images",
                              "07-15-96  10:30PM       <DIR>          .",
                              "01-02-03  12:15AM       <DIR>          Apps"},
                             {"02-01-99  01:15PM                   10 setup.exe"},
                             {"07-15-96  10:30PM                    5 logo.gif"}});
    TRemoteForm form;
    ASSERT_TRUE(form.Connect(server.Port()));
    form.options.remoteRoot = "/webftp";
    form.RefreshRemote();
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/Apps", "/Apps/setup.exe", "/images",
                                                     "/images/logo.gif", "/index.html"}));
    // Each directory is entered by its absolute path; the session ends in the root.
    EXPECT_EQ(Cwds(server),
              (std::vector<std::string>{"/webftp", "/webftp/Apps", "/webftp/images", "/webftp"}));
    EXPECT_EQ(form.view.statuses.back(), "Remote Directory Loaded: 5");
    EXPECT_TRUE(form.view.Enabled(TSyncAction::Compare));
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Stop));
    EXPECT_FALSE(form.remoteLoading);
    const TDetail& setup = form.Entry(1);
    EXPECT_EQ(setup.dir, "/Apps");
    EXPECT_EQ(setup.date, *EncodeDate(1999, 2, 1) + *EncodeTime(13, 15, 0));
    EXPECT_EQ(setup.size, 10);
    const auto& memo = form.view.traces;
    EXPECT_NE(std::find(memo.begin(), memo.end(),
                        "Not an entry: 07-15-96  10:30PM       <DIR>          ."),
              memo.end());
    // Node i is entry i, and each node sits under its directory's node.
    ASSERT_EQ(form.remoteTree.Count(), 5);
    EXPECT_EQ(form.remoteTree.Node(1).Parent, 0);
    EXPECT_EQ(form.remoteTree.Node(4).Parent, TTreeModel::NoNode);
    EXPECT_EQ(form.remoteTree.Node(2).StateIndex, markDirectory);
    EXPECT_EQ(form.remoteTree.Node(4).StateIndex, markFile);
}

TEST(RemoteLoad, WalksUnixListingsAndEntersNamesWithBlanks) {
    TFtpScriptServer server;
    ListingsInOrder(server, {{"total 3", "-rw-r--r--   1 o g 1234 Jan  5 10:42 index.html",
                              "drwxr-xr-x   2 o g  512 Jul 15  1996 my docs",
                              "drwxr-xr-x   2 o g  512 Jul 15  1996 .",
                              "drwxr-xr-x   2 o g  512 Jul 15  1996 .."},
                             {"-rw-r--r--   1 o g 1 Dec 31 23:59 later this year.txt"}});
    TRemoteForm form;
    ASSERT_TRUE(form.Connect(server.Port()));
    form.options.remoteRoot = "/";
    ASSERT_TRUE(form.LoadRemoteDirectory());
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/my docs", "/my docs/later this year.txt",
                                                     "/index.html"}));
    EXPECT_EQ(Cwds(server), (std::vector<std::string>{"/", "/my docs", "/"}));
    EXPECT_EQ(form.Entry(0).time,
              (TEntryTime{*UtcSecondsOf(1996, 7, 15, 0, 0, 0), TTimePrecision::Day}));
    const int64_t now = std::time(nullptr);
    EXPECT_EQ(
        form.Entry(1).time,
        (TEntryTime{*UtcSecondsOf(ResolveListedYear(12, 31, 23, 59, now).year, 12, 31, 23, 59, 0),
                    TTimePrecision::Minute}))
        << "a date more than a day ahead of the server's now is last year's";
    const auto commands = server.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "LIST -a"), commands.end())
        << "UNIX servers are asked for their dot-files too";
}

// VMS and VM servers list blocks or records and upper-case names: what sync takes of
// them must never make a file look changed or a local file look deleted.
TEST(RemoteLoad, VmsAndVmListingsMatchWithoutCaseAndNeverWithoutNames) {
    struct Case {
        const char* system;
        std::vector<std::string> listing;
        std::vector<std::string> keys; // empty: the listing is refused
    };
    for (const Case& c : {
             Case{"215 VMS MULTINET V4.2",
                  {"INDEX.HTML;3          5/6    1-JAN-2000 12:00:00 [WEB]"},
                  {"/INDEX.HTML"}},
             Case{"215 VM/CMS",
                  {"PROFILE  EXEC  V  72  5  1  1/12/99 10:11:12  -"},
                  {"/PROFILE.EXEC"}},
             Case{"215 VM/VPS", {"X  HTML  1234 a b c 12:00 01/02/99 z"}, {}},
         }) {
        TFtpScriptServer server;
        server.On("SYST").Reply(c.system);
        ListingsInOrder(server, {c.listing});
        TRemoteForm form;
        ASSERT_TRUE(form.Connect(server.Port())) << c.system;
        form.options.remoteRoot = "/";
        form.RefreshRemote();
        EXPECT_EQ(form.Keys(), c.keys) << c.system;
        if (c.keys.empty()) {
            EXPECT_EQ(form.view.statuses.back(), "Could not list the remote directory /: the "
                                                 "listing does not name every file");
            EXPECT_FALSE(form.remoteLoad.complete);
            EXPECT_FALSE(form.view.Enabled(TSyncAction::Compare));
            continue;
        }
        EXPECT_TRUE(form.caseFolding) << c.system;
        EXPECT_EQ(form.Entry(0).size, -1) << c.system;
        EXPECT_TRUE(form.remoteLoad.complete) << c.system;
    }
}

TEST(RemoteLoad, StopKeepsWhatWasFoundAndLeavesCompareDisabled) {
    TFtpScriptServer server;
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b",
                      "-rw-r--r-- 1 o g 1 Jul 15 1996 c"},
                     {"-rw-r--r-- 1 o g 1 Jul 15 1996 a1"}});
    server.On("CWD").Arg("/b").Delay(3000).Reply("250 ok");
    TRemoteForm form;
    ASSERT_TRUE(form.Connect(server.Port()));
    form.options.remoteRoot = "/";
    // Stop while the walk waits for the slow CWD /b: what comes before /b's content in
    // the tree is kept, and nothing after it.
    QTimer::singleShot(600, [&] {
        form.session.Stop();
        form.userStop = true;
    });
    const uint32_t start = GetTickCount();
    form.RefreshRemote();
    EXPECT_LT(GetTickCount() - start, 2500u) << "Stop ends the wait at once";
    EXPECT_EQ(form.view.statuses.back(), "Directory Load Stopped");
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/a1", "/b"}));
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Compare));
    EXPECT_FALSE(form.remoteLoading);
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Stop));
}

TEST(RemoteLoad, AFailedListingEndsTheLoadAndIsNeverAnEmptyDirectory) {
    TFtpScriptServer server;
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "-rw-r--r-- 1 o g 1 Jul 15 1996 z"}});
    server.On("LIST").Refuse("425 Cannot open data connection");
    // The refusal above comes first; the root listing after it is never asked for.
    TRemoteForm form;
    ASSERT_TRUE(form.Connect(server.Port()));
    form.options.remoteRoot = "/";
    form.RefreshRemote();
    EXPECT_EQ(form.view.statuses.back().rfind("Could not list the remote directory /: ", 0), 0u)
        << form.view.statuses.back();
    EXPECT_TRUE(form.Keys().empty());
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Compare));
    EXPECT_FALSE(form.remoteLoading);
}

// Refused by its absolute path, the directory is entered again by its name from its
// parent, so that the server's refusal names it as a walk by names would.
TEST(RemoteLoad, ASubdirectoryThatCannotBeEnteredKeepsItsEntryAndTheWalkGoesOn) {
    TFtpScriptServer server;
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b"},
                     {"drwxr-xr-x 2 o g 1 Jul 15 1996 locked", "-rw-r--r-- 1 o g 1 Jul 15 1996 a1"},
                     {"-rw-r--r-- 1 o g 1 Jul 15 1996 b1"}});
    server.On("CWD").Arg("/a/locked").Reply("550 No access to /a/locked");
    server.On("CWD").Arg("locked").Reply("550 No access");
    server.On("PWD").Uses(1).Reply("257 \"/\" is current");
    server.On("PWD").Uses(1).Reply("257 \"/a\" is current");
    TRemoteForm form;
    ASSERT_TRUE(form.Connect(server.Port()));
    form.options.remoteRoot = "/";
    ASSERT_TRUE(form.LoadRemoteDirectory());
    // The walk goes on with the siblings after the directory it could not enter.
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/locked", "/a/a1", "/b", "/b/b1"}));
    EXPECT_EQ(Cwds(server),
              (std::vector<std::string>{"/", "/a", "/b", "/a/locked", "/a", "locked", "/"}));
    EXPECT_FALSE(form.remoteLoad.complete);
    EXPECT_EQ(form.remoteLoad.unlisted, (std::vector<std::string>{"/a/locked"}));
    ASSERT_EQ(form.remoteLoad.problems.size(), 1u);
    EXPECT_EQ(form.remoteLoad.problems[0], "Could not enter /a/locked: 550 No access");
    EXPECT_EQ(form.recurseLevel, 0);
}

// A root typed relative is walked by absolute paths once its listing names it; where the
// server names it otherwise, the walk goes by names, climbing with "..", and a level it
// cannot climb from leaves what it cannot reach unknown rather than read elsewhere.
TEST(RemoteLoad, ARelativeRootIsWalkedByAbsolutePathsOrByNames) {
    struct Case {
        const char* name;
        const char* pwd;
        bool climbRefused;
        std::vector<std::string> cwds;
        std::vector<std::string> keys;
        std::vector<std::string> unlisted;
    };
    for (const Case& c : {
             Case{"named absolute",
                  "257 \"/site\" is current",
                  false,
                  {"site", "/site/a", "/site/b", "/site"},
                  {"/a", "/a/a1", "/b", "/b/b1"},
                  {}},
             Case{"named otherwise",
                  "257 \"DISK:[SITE]\" is current",
                  false,
                  {"site", "a", "..", "b", ".."},
                  {"/a", "/a/a1", "/b", "/b/b1"},
                  {}},
             Case{"cannot climb",
                  "257 \"DISK:[SITE]\" is current",
                  true,
                  {"site", "a", "..", ".."},
                  {"/a", "/a/a1", "/b"},
                  {"/b"}},
         }) {
        SCOPED_TRACE(c.name);
        TFtpScriptServer server;
        ListingsInOrder(server,
                        {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b"},
                         {"-rw-r--r-- 1 o g 1 Jul 15 1996 a1"},
                         {"-rw-r--r-- 1 o g 1 Jul 15 1996 b1"}});
        server.On("PWD").Reply(c.pwd);
        if (c.climbRefused)
            server.On("CWD").Arg("..").Uses(1).Reply("550 No");
        TRemoteForm form;
        ASSERT_TRUE(form.Connect(server.Port()));
        form.options.remoteRoot = "site";
        ASSERT_TRUE(form.LoadRemoteDirectory());
        EXPECT_EQ(Cwds(server), c.cwds);
        EXPECT_EQ(form.Keys(), c.keys);
        EXPECT_EQ(form.remoteLoad.unlisted, c.unlisted);
        EXPECT_EQ(form.remoteLoad.complete, c.unlisted.empty());
        EXPECT_TRUE(form.RemoteRootKnown()) << "the session ends in the root";
    }
}

TEST(RemoteLoad, AMissingRootKeepsThePreviousTree) {
    TFtpScriptServer server;
    server.On("CWD").Arg("/missing").Reply("550 No such directory");
    TRemoteForm form;
    ASSERT_TRUE(form.Connect(server.Port()));
    form.options.remoteRoot = "/";
    ASSERT_TRUE(form.LoadRemoteDirectory());
    const auto before = form.Keys();
    form.options.remoteRoot = "/missing";
    form.RefreshRemote();
    EXPECT_EQ(form.view.statuses.back().rfind("Could not enter the remote directory /missing: ", 0),
              0u)
        << form.view.statuses.back();
    EXPECT_EQ(form.Keys(), before);
    form.connected = false;
    form.RefreshRemote();
    EXPECT_EQ(form.view.statuses.back(), "Not Connected to Remote Site");
}

class RealServerLoad : public ::testing::TestWithParam<TRealServerKind> {};

TEST_P(RealServerLoad, TheRemoteTreeIsWhatIsOnTheServer) {
    TRealFtpServer real(GetParam());
    std::string why;
    ASSERT_TRUE(real.Start(why)) << why;
    namespace fs = std::filesystem;
    const fs::path site = real.SiteOnDisk();
    fs::create_directories(site / "docs" / "my img");
    fs::create_directories(site / "empty");
    for (const char* f : {"index.html", ".htaccess", "docs/a.txt", "docs/my img/logo.png"})
        std::ofstream(site / f) << f;
    TRemoteForm form;
    ASSERT_TRUE(form.Connect(real.Port(), real.User(), real.Password()));
    form.options.remoteRoot = real.SiteDir();
    ASSERT_TRUE(form.LoadRemoteDirectory()) << form.view.statuses.back();
    EXPECT_EQ(form.Keys(),
              (std::vector<std::string>{"/docs", "/docs/my img", "/docs/my img/logo.png",
                                        "/docs/a.txt", "/empty", "/.htaccess", "/index.html"}))
        << real.Name();
    EXPECT_EQ(form.Entry(6).size, 10);
    EXPECT_EQ(form.Entry(6).kind, kindFile);
    EXPECT_EQ(form.Entry(1).dir, "/docs");
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerLoad, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

// A server that lists in its local time (nine hours east) and answers MDTM in that time
// too, as if it were UTC. The probe reads the zone as 0 from it: where our uploads proved
// 540, that answer is caught out, said in the trace, and MDTM is not asked again in the
// session; where nothing proved a zone, the probe's word is all there is.
TEST(RemoteLoad, AnMdtmProbeNeverOverrulesAZoneOurUploadsProved) {
    const auto text = [](std::time_t t, const char* format) {
        std::tm utc{};
        gmtime_r(&t, &utc);
        char out[64];
        std::strftime(out, sizeof out, format, &utc);
        return std::string(out);
    };
    const std::time_t exact = std::time(nullptr) / 60 * 60 - 3600 + 12;
    const std::time_t wall = exact + 9 * 3600; // the server's clock
    for (const bool proven : {true, false}) {
        SCOPED_TRACE(proven ? "proven by uploads" : "not proven");
        TFtpScriptServer server;
        server.On("FEAT").Lines({"211-Features:", " MDTM", "211 End"});
        server.SetListing(Lines({"-rw-r--r-- 1 o g 5 " + text(wall, "%b %e %H:%M") + " a.html"}));
        server.On("MDTM").Reply("213 " + text(wall, "%Y%m%d%H%M%S"));
        TRemoteForm form;
        form.options.listingZone = 540;
        form.options.listingZoneProven = proven;
        ASSERT_TRUE(form.Connect(server.Port()));
        form.options.remoteRoot = "/www";
        form.RefreshRemote();
        form.RefreshRemote();
        ASSERT_EQ(form.Keys(), std::vector<std::string>{"/a.html"});
        const auto commands = server.Commands();
        const auto mdtms = std::count_if(commands.begin(), commands.end(),
                                         [](const auto& c) { return c.starts_with("MDTM"); });
        const bool caught =
            std::any_of(form.view.traces.begin(), form.view.traces.end(), [](const std::string& t) {
                return t ==
                       "MDTM of /www/a.html puts the listing 0 minutes from UTC, where the files "
                       "Pelmora uploaded showed 540: the server's MDTM answers are not "
                       "trusted for the rest of the session";
            });
        EXPECT_EQ(caught, proven) << ::testing::PrintToString(form.view.traces);
        if (proven) {
            EXPECT_EQ(form.options.listingZone, 540);
            EXPECT_EQ(form.Entry(0).time.utc, exact / 60 * 60);
            EXPECT_EQ(mdtms, 1);
        } else {
            EXPECT_EQ(form.options.listingZone, 0);
            EXPECT_EQ(mdtms, 2);
        }
    }
}
