// FEAT at the login, MLSD listings, and setting and asking a file's time.
#include "ftp_fixture.h"

#include "tests/support/ftp_script_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

using TStrings = std::vector<std::string>;

constexpr int64_t Jan2 = 1577934245; // 2020-01-02 03:04:05 UTC

TStrings Lines(TStringList& list) {
    TStrings lines;
    for (int i = 0; i < list.Count(); ++i)
        lines.push_back(list.Strings(i));
    return lines;
}

TStrings FeatReply(const TStrings& features) {
    TStrings lines = {"211-Features:"};
    for (const auto& feature : features)
        lines.push_back(" " + feature);
    lines.push_back("211 End");
    return lines;
}

class FtpTimes : public ::testing::Test, public TRecordingFtp {
protected:
    void SetUp() override {
        settings.port = server.Port();
        settings.user = "web";
        settings.password = "secret";
        ftp.Options.useMlsd = true;
    }

    // Logs in to a server that lists these features (none: FEAT is not implemented).
    void LogIn(const TStrings& features = {}) {
        if (!features.empty())
            server.On("FEAT").Lines(FeatReply(features));
        ftp.Connect(settings);
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
        ASSERT_EQ(ftp.Status(), ftpCommandReady);
        events.clear();
        infos.clear();
        errorTexts.clear();
    }

    // The commands sent since the login (USER, PASS, SYST, FEAT).
    TStrings SinceLogin() const {
        const TStrings all = server.Commands();
        return all.size() > 4 ? TStrings(all.begin() + 4, all.end()) : TStrings{};
    }

    // Without the PORT argument, which changes with every listing.
    TStrings Verbs() const {
        TStrings verbs;
        for (const auto& command : SinceLogin())
            verbs.push_back(command.starts_with("PORT ") ? "PORT" : command);
        return verbs;
    }

    TFtpScriptServer server;
};

TEST_F(FtpTimes, FeatIsAskedOnceAfterTheLoginAndItsListIsKept) {
    server.On("FEAT")
        .Lines({"211-Extensions supported:", " MDTM", "mfmt", " MLST type*;size*;modify*;",
                " AUTH TLS", " SIZE", "211 End."})
        .Drip();
    ftp.Options.initialDirectory = "site";
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn"));
    Settle();
    EXPECT_EQ(server.Commands(), (TStrings{"USER web", "PASS secret", "SYST", "CWD site", "FEAT"}));
    EXPECT_EQ(events, (TStrings{"ready", "LoggedIn"}));
    EXPECT_EQ(InfoTexts(ftpLoggedIn), TStrings{"Logged in"});
    const TServerFeatures& f = ftp.Traits().features;
    EXPECT_TRUE(f.listed && f.mdtm && f.mfmt && f.mlsd && f.authTls && f.size);
    EXPECT_FALSE(f.utf8 || f.epsv);
    EXPECT_EQ(f.mlstFacts, "type*;size*;modify*;");
    // The login's last step before its ready, by name.
    EXPECT_NE(std::find(trace.begin(), trace.end(), "Reply InitialCwd -> Feat"), trace.end());
    EXPECT_NE(std::find(trace.begin(), trace.end(), "Reply Feat -> Idle"), trace.end());

    // Later operations do not ask again; a new session does, and forgets the old answer.
    ASSERT_TRUE(Perform([&] { ftp.MakeDir("x"); }));
    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available"));
    server.On("FEAT").Reply("211 No features");
    events.clear();
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn"));
    const TStrings all = server.Commands();
    EXPECT_EQ(std::count(all.begin(), all.end(), "FEAT"), 2);
    EXPECT_TRUE(ftp.Traits().features.listed);
    EXPECT_FALSE(ftp.Traits().features.mlsd || ftp.Traits().features.mfmt);
}

TEST_F(FtpTimes, FeatRefusedListsNothingAndTheLoginStands) {
    for (const char* refusal : {"500 Unknown command", "502 Not implemented", "421 Later"}) {
        server.On("FEAT").Uses(1).Reply(refusal);
        events.clear();
        ftp.Connect(settings);
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << refusal;
        Settle();
        EXPECT_EQ(events, (TStrings{"ready", "LoggedIn"})) << refusal;
        EXPECT_EQ(ftp.Traits().features, TServerFeatures()) << refusal;
        EXPECT_TRUE(ftp.Success()) << refusal;
        EXPECT_EQ(ftp.Status(), ftpCommandReady) << refusal;
        ftp.Quit();
        ASSERT_TRUE(WaitForEvent("available"));
    }
}

const std::string mlsdListing = "type=cdir;modify=20200102030405; /\r\n"
                                "type=pdir;modify=20200102030405; ..\r\n"
                                "type=file;size=3;modify=20200102030405; a b;c.txt\r\n"
                                "Type=Dir;Modify=20200102030406; sub\r\n"
                                "type=OS.unix=symlink;modify=20200102030407; link\r\n";

TEST_F(FtpTimes, MlsdListingGivesExactEntriesWhereOffered) {
    LogIn({"MLST type*;size*;modify*;"});
    server.On("MLSD").Listing({mlsdListing});
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(Verbs(), (TStrings{"PWD", "TYPE A", "PORT", "MLSD"}));
    EXPECT_TRUE(ftp.ListingByMlsd());
    EXPECT_EQ(ftp.Listing().Count(), 5) << "the raw lines stay as they came";
    EXPECT_EQ(Lines(ftp.Files()), TStrings{"a b;c.txt"});
    EXPECT_EQ(Lines(ftp.Directories()), (TStrings{"sub", "link"}));
    ASSERT_EQ(ftp.Entries().size(), 3u);
    EXPECT_EQ(ftp.Entries()[0].size, 3);
    EXPECT_EQ(ftp.Entries()[0].utcSeconds, Jan2);
    EXPECT_EQ(ftp.Entries()[1].utcSeconds, Jan2 + 1);
    EXPECT_EQ(ftp.Entries()[2].kind, TListedKind::Link);

    // Switched off (as it is unless the caller asks), the same server is listed with LIST.
    EXPECT_FALSE(TFtp().Options.useMlsd);
    ftp.Options.useMlsd = false;
    server.SetListing("-rw-r--r-- 1 o g 3 Jan  2  2020 a.txt\r\n");
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(Verbs().back(), "LIST -a");
    EXPECT_FALSE(ftp.ListingByMlsd());
    ASSERT_EQ(ftp.Entries().size(), 1u);
    EXPECT_FALSE(ftp.Entries()[0].utcSeconds.has_value());
}

TEST_F(FtpTimes, MlsdRefusedFallsBackToListForTheSession) {
    LogIn({"MLSD"});
    server.On("MLSD").Refuse("500 Unknown command.");
    server.SetListing("-rw-r--r-- 1 o g 3 Jan  2  2020 a.txt\r\n");
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(Verbs(), (TStrings{"PWD", "TYPE A", "PORT", "MLSD", "TYPE A", "PORT", "LIST -a"}));
    EXPECT_EQ(Lines(ftp.Files()), TStrings{"a.txt"});
    EXPECT_EQ(ftp.LastError(), ftpNoError);
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    const TStrings verbs = Verbs();
    EXPECT_EQ(verbs.back(), "LIST -a");
    EXPECT_EQ(std::count(verbs.begin(), verbs.end(), "MLSD"), 1);
}

// An empty or missing directory is no refusal of MLSD itself.
TEST_F(FtpTimes, MlsdEmptyDirectoryAnswerKeepsMlsd) {
    LogIn({"MLSD"});
    server.On("MLSD").Uses(1).Refuse("550 No such directory");
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_TRUE(ftp.Entries().empty());
    server.On("MLSD").Listing({mlsdListing});
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(Verbs().back(), "MLSD");
    EXPECT_EQ(ftp.Entries().size(), 3u);
}

struct TTimeCase {
    const char* what;
    TStrings features;
    std::vector<std::pair<std::string, std::string>> replies; // command word, reply
    TStrings sent;
    bool ok;
};

class FtpSetFileTime : public FtpTimes, public ::testing::WithParamInterface<TTimeCase> {};

TEST_P(FtpSetFileTime, SendsTheFormsTheServerTakes) {
    const TTimeCase& c = GetParam();
    LogIn(c.features);
    for (const auto& [verb, reply] : c.replies)
        server.On(verb).Reply(reply);
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("dir/a b.txt", Jan2); }));
    EXPECT_EQ(SinceLogin(), c.sent);
    if (c.ok) {
        EXPECT_EQ(events, (TStrings{"ready", "FileTimeSet"}));
    } else {
        EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "FileTimeSet"}));
        EXPECT_EQ(ftp.LastError(), ftpOperationFailed);
    }
    EXPECT_TRUE(ftp.Connected());
    EXPECT_EQ(ftp.Status(), ftpCommandReady);
}

const std::string mfmt = "MFMT 20200102030405 dir/a b.txt";
const std::string mdtm = "MDTM 20200102030405 dir/a b.txt";
const std::string site = "SITE UTIME 20200102030405 dir/a b.txt";
const std::string siteFull =
    "SITE UTIME dir/a b.txt 20200102030405 20200102030405 20200102030405 UTC";

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpSetFileTime,
    ::testing::Values(
        TTimeCase{"MfmtOffered",
                  {"MDTM", "MFMT"},
                  {{"MFMT", "213 Modify=20200102030405; dir/a b.txt"}},
                  {mfmt},
                  true},
        TTimeCase{"MdtmSetsTheTime",
                  {"MDTM"},
                  {{"MDTM", "213 File modification time set."}},
                  {mdtm},
                  true},
        // A server that takes the time for part of the name and knows no such file.
        TTimeCase{"MdtmRefusedThenSiteUtime",
                  {"MDTM"},
                  {{"MDTM", "550 /20200102030405 dir/a b.txt is not retrievable"},
                   {"SITE", "200 UTIME OK"}},
                  {mdtm, site},
                  true},
        // A reply that only tells some other time has set nothing.
        TTimeCase{"MdtmOnlyReportsATime",
                  {},
                  {{"MDTM", "213 19990101000000"}, {"SITE", "213 UTIME OK"}},
                  {mdtm, site},
                  true},
        // The time we sent, reported back: the file has that time, whichever way.
        TTimeCase{"MdtmEchoesOurTime", {}, {{"MDTM", "213 20200102030405"}}, {mdtm}, true},
        TTimeCase{"OnlyTheFullSiteUtime",
                  {},
                  {{"MDTM", "500 Unknown"}, {"SITE", "501 Wrong arguments"}},
                  {mdtm, site, siteFull},
                  false},
        TTimeCase{"MfmtRefusedAsUnknown",
                  {"MFMT"},
                  {{"MFMT", "502 Not here"}, {"MDTM", "213 File modification time set."}},
                  {mfmt, mdtm},
                  true},
        // Offered, then refused for this file: the file failed, not the command.
        TTimeCase{"MfmtRefusedForTheFile",
                  {"MFMT"},
                  {{"MFMT", "550 utime(dir/a b.txt): No such file"}},
                  {mfmt},
                  false},
        TTimeCase{"BusyServer", {}, {{"MDTM", "421 Busy, later"}}, {mdtm}, false}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(FtpTimes, AllFormsRefusedAreNotTriedAgainInTheSession) {
    LogIn();
    server.On("MDTM").Reply("550 Could not set file modification time.");
    server.On("SITE").Reply("500 Unknown SITE command.");
    EXPECT_TRUE(ftp.Traits().FileTimeSettable());
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("dir/a b.txt", Jan2); }));
    EXPECT_EQ(SinceLogin(), (TStrings{mdtm, site, siteFull}));
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "FileTimeSet"}));
    EXPECT_FALSE(ftp.Traits().FileTimeSettable());

    events.clear();
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("other.txt", Jan2); }));
    EXPECT_EQ(SinceLogin().size(), 3u) << "nothing more is sent";
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "FileTimeSet"}));
    EXPECT_EQ(ftp.Status(), ftpCommandReady);
    ASSERT_TRUE(Perform([&] { ftp.MakeDir("still-here"); }));
    EXPECT_EQ(SinceLogin().back(), "MKD still-here");
}

// Once a form has set a time, a later refusal is that file's and the form stays.
TEST_F(FtpTimes, RefusalAfterAFormWorkedFailsOnlyThatFile) {
    LogIn();
    server.On("MDTM").Reply("550 No such file");
    server.On("MDTM").Uses(1).Reply("213 File modification time set.");
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("a.txt", Jan2); }));
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("gone.txt", Jan2); }));
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("b.txt", Jan2); }));
    EXPECT_EQ(SinceLogin(), (TStrings{"MDTM 20200102030405 a.txt", "MDTM 20200102030405 gone.txt",
                                      "MDTM 20200102030405 b.txt"}));
    EXPECT_EQ(Count("error OperationFailed"), 2);
    EXPECT_TRUE(ftp.Traits().FileTimeSettable());
}

TEST_F(FtpTimes, UnsafeOrEmptyArgumentsAreNotSent) {
    LogIn({"MFMT"});
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("a\r\nDELE index.html", Jan2); }));
    ASSERT_TRUE(Perform([&] { ftp.SetFileTime("", Jan2); }));
    ASSERT_TRUE(Perform([&] { ftp.GetFileTime("a\nb"); }));
    EXPECT_EQ(SinceLogin(), TStrings{});
    EXPECT_EQ(Count("error OperationFailed"), 3);
    EXPECT_TRUE(ftp.Traits().FileTimeSettable());
}

TEST_F(FtpTimes, GetFileTimeReadsTheMdtmReply) {
    LogIn();
    struct TCase {
        std::string reply;
        std::optional<int64_t> time;
    };
    const TCase cases[] = {
        {"213 20200102030405", Jan2},        {"213 20200102030405.678", Jan2},
        {"213 2020010203040", std::nullopt}, {"213 20201302030405", std::nullopt},
        {"550 No such file", std::nullopt},
    };
    for (const TCase& c : cases) {
        server.On("MDTM").Uses(1).Reply(c.reply);
        events.clear();
        ASSERT_TRUE(Perform([&] { ftp.GetFileTime("dir/a b.txt"); })) << c.reply;
        EXPECT_EQ(SinceLogin().back(), "MDTM dir/a b.txt");
        EXPECT_EQ(ftp.LastFileTime(), c.time) << c.reply;
        EXPECT_EQ(Count("error OperationFailed"), c.time ? 0 : 1) << c.reply;
        EXPECT_EQ(events.back(), "FileTimeReceived") << c.reply;
    }
}

} // namespace
} // namespace pelmora::testing
