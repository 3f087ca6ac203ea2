#include "app/exit_codes.h"
#include "app/sites.h"
#include "sync/sync_core.h"
#include "tests/app/site_sync.h"
#include "tests/support/temp_tree.h"
#include "toolkit/profile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include <unistd.h>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

// The user's clock zone for the length of a test; the servers stay in theirs.
class TUserZone {
public:
    explicit TUserZone(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TUserZone() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

void Touch(const fs::path& p, std::chrono::seconds fromNow) {
    fs::last_write_time(p, fs::file_time_type::clock::now() + fromNow);
}

bool Sends(const std::string& output) {
    for (const char* word : {"  upload ", "  refresh ", "  delete ", "  create ", "  remove "})
        if (output.find(word) != std::string::npos)
            return true;
    return false;
}

// Uploads a small site, then checks that a run after it sends nothing, that an edit of
// the same size is sent, and that nothing goes after that; `serverZone` is the zone the
// server lists in, in minutes east of UTC, which the first run learns.
void SyncEditSync(TRealFtpServer& server, int serverZone) {
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/css/style.css", "body{}");
    tree.File("site/generated.html", "made just now"); // the minute of the upload
    Touch(site / "index.html", -std::chrono::hours(72));
    Touch(site / "css/style.css", -std::chrono::hours(30 * 24));

    const std::string ini = tree.Path("PELMORA.INI");
    ConfigureSiteSync(ini, site, server);

    int status = -1;
    std::string output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
    // What was learnt of the server's clock is kept for the next run.
    EXPECT_TRUE(TIniFile(ini).ReadBool("FTP", "keepsTimes", false)) << output;
    EXPECT_EQ(TIniFile(ini).ReadInteger("FTP", "listingZone", 99), serverZone) << output;

    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_FALSE(Sends(output)) << "a site just uploaded goes again\n" << output;

    // The same size, edited a minute and a half after the upload.
    tree.File("site/index.html", "<h1>Hame</h1>");
    Touch(site / "index.html", std::chrono::seconds(90));
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("  refresh /index.html\n"), std::string::npos) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;

    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_FALSE(Sends(output)) << output;
}

// 2024-01-01 12:00:00 UTC, as a file's time: listed by date alone ("Jan  1  2024").
fs::file_time_type OldTime() {
    return fs::file_time_type::clock::from_sys(
        std::chrono::sys_seconds{std::chrono::seconds{1704110400}});
}

int Lines(const std::string& output, const std::string& start) {
    int count = 0;
    for (size_t at = output.find(start); at != std::string::npos; at = output.find(start, at + 1))
        ++count;
    return count;
}

} // namespace

// Most files of a real site are old: their listing gives the date alone, so the times
// cannot tell an edit that day from none. What the journal recorded of our own upload
// does: they go once, then never again until they change, even within the same second.
class OldFiles : public ::testing::TestWithParam<TRealServerKind> {};

TEST_P(OldFiles, AreSentOnceAndEveryEditOfThemAfter) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    for (const char* name : {"index.html", "about.html", "css/style.css", "img/logo.svg"}) {
        tree.File(std::string("site/") + name, std::string("content of ") + name);
        fs::last_write_time(site / name, OldTime());
    }
    const std::string ini = tree.Path("PELMORA.INI");
    ConfigureSiteSync(ini, site, server);

    int status = -1;
    std::string output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Lines(output, "  upload "), 4) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
    EXPECT_TRUE(fs::exists(SiteJournalFile(ini))) << SiteJournalFile(ini);
    for (int run = 2; run <= 3; ++run) {
        output = Sync(ini, status);
        ASSERT_EQ(status, 0) << output;
        EXPECT_FALSE(Sends(output)) << "run " << run << " sends old files again\n" << output;
    }

    // The same size, saved again within the same second.
    tree.File("site/index.html", "CONTENT OF index.html");
    fs::last_write_time(site / "index.html", OldTime() + std::chrono::milliseconds(250));
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("  refresh /index.html\n"), std::string::npos) << output;
    EXPECT_EQ(Lines(output, "  refresh "), 1) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_FALSE(Sends(output)) << output;

    // A journal that cannot be read: said once, and the times decide; the run succeeds.
    std::ofstream(SiteJournalFile(ini), std::ios::trunc) << std::string(8192, '?');
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Lines(output, "The publish journal "), 1) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
}

INSTANTIATE_TEST_SUITE_P(Servers, OldFiles, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

// Two runs of one site at once (cron overlapping itself, or cron and the window): the
// second says who holds the site, changes nothing, and exits with its own status.
TEST(OneRunPerSite, ASecondRunWhileTheFirstHoldsTheSiteDoesNothing) {
    TRealFtpServer server(TRealServerKind::Pyftpdlib);
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    const std::string ini = tree.Path("PELMORA.INI");
    ConfigureSiteSync(ini, site, server);
    // What is on the server already, and goes when a run deletes.
    std::ofstream(server.SiteOnDisk() + "/old.html") << "old";
    const auto before = Snapshot(server.SiteOnDisk());

    int status = -1;
    std::string output;
    {
        TSiteRunLock first;
        long holder = 0;
        ASSERT_EQ(first.Take(TSyncCore::RunLockFileFor(SiteJournalFile(ini)), holder, why),
                  TSiteRunLock::TResult::Taken)
            << why;
        output = Sync(ini, status);
        EXPECT_EQ(status, ToInt(TExitCode::Busy)) << output;
        EXPECT_NE(output.find("Another run of this site is in progress (pid " +
                              std::to_string(::getpid()) + ")"),
                  std::string::npos)
            << output;
        EXPECT_EQ(Snapshot(server.SiteOnDisk()), before) << output;
    }
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
}

class ChangeDetection : public ::testing::TestWithParam<std::tuple<TRealServerKind, const char*>> {
};

// Listings print the server's clock, to the minute; the user may live anywhere. An edit
// that keeps the size is still sent, and a site just uploaded is not sent again.
TEST_P(ChangeDetection, SameSizeEditsAreSentAndNothingElseInAnyZone) {
    const auto [kind, zone] = GetParam();
    TRealFtpServer server(kind);
    std::string why;
    {
        // Whatever zone the tests run in, this server lists in UTC.
        const TUserZone serverZone("UTC");
        ASSERT_TRUE(server.Start(why)) << why;
    }
    // Set after the server started: it keeps its own clock zone.
    const TUserZone userZone(zone);
    SyncEditSync(server, 0);
}

// This server lists in its own local time; started in India, it lists 5:30 ahead of UTC.
TEST(ChangeDetectionOfAServerInItsOwnZone, TheZoneIsLearntAndTheSameHolds) {
    TRealFtpServer server(TRealServerKind::PureFtpd);
    std::string why;
    {
        const TUserZone serverZone("Asia/Kolkata");
        ASSERT_TRUE(server.Start(why)) << why;
    }
    const TUserZone userZone("America/New_York");
    SyncEditSync(server, 330);
}

INSTANTIATE_TEST_SUITE_P(ServersAndZones, ChangeDetection,
                         ::testing::Combine(::testing::ValuesIn(AllRealServers),
                                            ::testing::Values("America/New_York", "Asia/Tokyo")),
                         [](const auto& info) {
                             std::string name = std::string(TestName(std::get<0>(info.param))) +
                                                "_" + std::get<1>(info.param);
                             for (char& c : name)
                                 if (c == '/')
                                     c = '_';
                             return name;
                         });
