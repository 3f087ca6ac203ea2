#include "sync/ftp_session.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/local_settings.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <QTimer>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

// A logged-in session with the script server, as the engine holds one.
struct TSessionFixture {
    explicit TSessionFixture(uint32_t timeoutMs = 5000) {
        settings.host = "127.0.0.1";
        settings.port = server.Port();
        settings.user = "u";
        settings.password = "p";
        settings.dataMode = TDataMode::Active;
        settings.tlsMode = TTlsMode::Off;
        settings.timeoutMs = timeoutMs;
        session.OnLoggedIn = [this] { loggedIn = true; };
    }
    bool Connect() {
        session.BeginConnect(settings);
        return session.WaitForLogin() && loggedIn;
    }
    TFtpScriptServer server;
    TConnectionSettings settings;
    TFtpSession session;
    bool loggedIn = false;
};

std::vector<std::string> Names(const std::vector<TListedEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.push_back(e.name);
    return names;
}

} // namespace

TEST(RemoteSession, ListsTypedEntriesInWalkOrderAndKeepsTheLinesThatAreNone) {
    TSessionFixture f;
    f.server.SetListing("total 3\r\n-rw-r--r-- 1 o g 5 Jan  1  2020 b.html\r\n"
                        "drwxr-xr-x 2 o g 1 Jan  1  2020 zeta\r\n"
                        "drwxr-xr-x 2 o g 1 Jan  1  2020 ..\r\n"
                        "lrwxrwxrwx 1 o g 1 Jan  1  2020 a -> b.html\r\n");
    ASSERT_TRUE(f.Connect());
    std::vector<TListedEntry> entries;
    std::string here;
    ASSERT_EQ(f.session.List(entries, here), TOutcome::Done);
    EXPECT_EQ(Names(entries), (std::vector<std::string>{"zeta", "a", "b.html"}));
    EXPECT_EQ(entries[1].kind, TListedKind::Link);
    EXPECT_EQ(entries[1].linkTarget, "b.html");
    EXPECT_EQ(entries[2].size, 5);
    EXPECT_EQ(f.session.NotEntries(),
              (std::vector<std::string>{"total 3", "drwxr-xr-x 2 o g 1 Jan  1  2020 .."}));
    EXPECT_EQ(here, "/");
}

TEST(RemoteSession, ARefusalFailsOnlyItsOperationAndALostSessionIsLost) {
    TSessionFixture f(1000);
    f.server.On("MKD").Uses(1).Reply("550 Permission denied");
    f.server.On("DELE").Silent();
    ASSERT_TRUE(f.Connect());
    EXPECT_EQ(f.session.MakeDir("/x"), TOutcome::Failed);
    EXPECT_NE(f.session.FailureReason().find("550 Permission denied"), std::string::npos)
        << f.session.FailureReason();
    // The refusal's ready has come: the next command goes at once and succeeds.
    EXPECT_EQ(f.session.MakeDir("/y"), TOutcome::Done);
    EXPECT_EQ(f.session.ChangeDir("/y"), TOutcome::Done);
    const uint32_t start = GetTickCount();
    EXPECT_EQ(f.session.Delete("/y/a"), TOutcome::Lost);
    EXPECT_GE(GetTickCount() - start, 900u);
    EXPECT_EQ(f.session.FailureReason(), "No answer from the server for 1 seconds");
    EXPECT_FALSE(f.session.Component().Connected());
}

TEST(RemoteSession, StopEndsTheWaitAtOnce) {
    TSessionFixture f;
    f.server.On("RMD").Delay(3000).Reply("250 ok");
    ASSERT_TRUE(f.Connect());
    QTimer::singleShot(200, [&] { f.session.Stop(); });
    const uint32_t start = GetTickCount();
    EXPECT_EQ(f.session.RemoveDir("/d"), TOutcome::Stopped);
    EXPECT_LT(GetTickCount() - start, 2000u);
}

// A listing whose last line has no line end may have been cut short on the way, with the
// server's 226 after it: it is read again, and trusted only when the second reading ends
// whole or ends exactly as the first did (a server that leaves the last line end off).
TEST(RemoteSession, AListingEndedInTheMiddleOfALineIsReadAgain) {
    const std::string whole = "-rw-r--r-- 1 o g 5 Jan  1  2020 a.html\r\n"
                              "-rw-r--r-- 1 o g 5 Jan  1  2020 b.html\r\n";
    const std::string cut = "-rw-r--r-- 1 o g 5 Jan  1  2020 a.html\r\n-rw-r--r-- 1 o g 5 J";
    const std::string cutElsewhere = "-rw-r--r-- 1 o g 5 Jan  1  2020 a.html\r\n-rw-r--r-- 1";
    const std::string noEnd = "-rw-r--r-- 1 o g 5 Jan  1  2020 a.html\r\n"
                              "-rw-r--r-- 1 o g 5 Jan  1  2020 b.html";
    struct TCase {
        const char* name;
        std::string first, second;
        TOutcome outcome;
        std::vector<std::string> names;
        int lists;
    } cases[] = {
        {"whole at once", whole, whole, TOutcome::Done, {"a.html", "b.html"}, 1},
        {"cut, then whole", cut, whole, TOutcome::Done, {"a.html", "b.html"}, 2},
        {"no last line end, twice alike", noEnd, noEnd, TOutcome::Done, {"a.html", "b.html"}, 2},
        {"cut twice, elsewhere", cut, cutElsewhere, TOutcome::Failed, {}, 2},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSessionFixture f;
        // The latest rule is asked first.
        f.server.On("LIST").Uses(1).Listing({c.second});
        f.server.On("LIST").Uses(1).Listing({c.first});
        ASSERT_TRUE(f.Connect());
        std::vector<TListedEntry> entries;
        std::string here;
        EXPECT_EQ(f.session.List(entries, here), c.outcome);
        EXPECT_EQ(Names(entries), c.names);
        int lists = 0;
        for (const std::string& command : f.server.Commands())
            lists += command.rfind("LIST", 0) == 0;
        EXPECT_EQ(lists, c.lists);
        if (c.outcome == TOutcome::Failed) {
            EXPECT_NE(f.session.FailureReason().find("middle of a line"), std::string::npos);
        }
    }
}

// The one wait of every session: it runs on while the deadline moves on (the session shows
// signs of life), and gives up once it stays put.
TEST(WaitForSessions, RunsOnWhileTheDeadlineMovesAndEndsWhenItStays) {
    const uint32_t start = GetTickCount();
    uint32_t deadline = start + 150;
    bool done = false;
    QTimer::singleShot(100, [&] { deadline = GetTickCount() + 400; });
    QTimer::singleShot(350, [&] { done = true; });
    EXPECT_TRUE(WaitForSessions([&] { return done; }, [&] { return deadline; }));
    EXPECT_GE(GetTickCount() - start, 340u);

    const uint32_t again = GetTickCount();
    const uint32_t fixed = again + 100;
    bool never = false;
    EXPECT_FALSE(WaitForSessions([&] { return never; }, [&] { return fixed; }));
    EXPECT_GE(GetTickCount() - again, 95u);
    EXPECT_LT(GetTickCount() - again, 1000u);
}
