#include "sync/compare.h"
#include "sync/publish_journal.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

using namespace pelmora;
using pelmora::testing::TRecordedEngine;
using pelmora::testing::TTempTree;

namespace {

constexpr int64_t Jan1st2024 = 1704067200; // 2024-01-01 00:00 UTC
constexpr TEntryTime DateOnly{Jan1st2024, TTimePrecision::Day};

TJournalRow Row() {
    TJournalRow row;
    row.localSize = 120;
    row.localMtimeNs = (Jan1st2024 + 3600) * 1000000000LL + 123456789;
    row.remoteSize = 120;
    row.remoteListed = DateOnly;
    return row;
}

TJournalSides SidesOf(const TJournalRow& row) {
    return {row.localSize, row.localMtimeNs, row.remoteSize, row.remoteListed};
}

// A database another program holds: an open connection of its own.
struct TOtherConnection {
    explicit TOtherConnection(const std::string& file) { sqlite3_open(file.c_str(), &db); }
    ~TOtherConnection() { sqlite3_close(db); }
    int Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
    sqlite3* db = nullptr;
};

} // namespace

TEST(PublishJournal, UnchangedOnlyWhenBothSidesAreAsRecorded) {
    const TJournalRow row = Row();
    struct TCase {
        const char* what;
        void (*change)(TJournalSides&);
        TJournalVerdict expected;
    };
    const TCase cases[] = {
        {"both sides as recorded", [](TJournalSides&) {}, TJournalVerdict::Unchanged},
        {"an edit within the same second", [](TJournalSides& s) { s.localMtimeNs += 1; },
         TJournalVerdict::Changed},
        {"a local file of another size", [](TJournalSides& s) { s.localSize += 1; },
         TJournalVerdict::Changed},
        {"a server copy of another size", [](TJournalSides& s) { s.remoteSize -= 1; },
         TJournalVerdict::Changed},
        {"a server copy listed on another day",
         [](TJournalSides& s) { s.remoteListed.utc += 86400; }, TJournalVerdict::Changed},
        {"a server copy listed to the minute now",
         [](TJournalSides& s) {
             s.remoteListed = {Jan1st2024 + 600, TTimePrecision::Minute};
         },
         TJournalVerdict::Changed},
    };
    for (const TCase& c : cases) {
        TJournalSides now = SidesOf(row);
        c.change(now);
        EXPECT_EQ(JudgeByJournal(&row, now), c.expected) << c.what;
    }
    EXPECT_EQ(JudgeByJournal(nullptr, SidesOf(row)), TJournalVerdict::NoRow);

    // Recorded to the minute; six months on the listing shows the date alone.
    TJournalRow recent = row;
    recent.remoteListed = {Jan1st2024 + 13 * 3600 + 5 * 60, TTimePrecision::Minute};
    TJournalSides later = SidesOf(recent);
    later.remoteListed = DateOnly;
    EXPECT_EQ(JudgeByJournal(&recent, later), TJournalVerdict::Unchanged);
    later.remoteListed.utc += 86400;
    EXPECT_EQ(JudgeByJournal(&recent, later), TJournalVerdict::Changed);
}

// An old file listed by its date alone cannot be told from an edit that day by the times:
// the journal tells. Directories, files without a row and deletes are the time rules'.
TEST(PublishJournal, DecidesTheCompareOfFilesItHasRowsFor) {
    TStringList local(false, true), remote(false, true);
    const auto add = [](TStringList& list, const char* path, uint8_t kind, TEntryTime time,
                        long long size, int64_t ns = 0) {
        const std::string p = path;
        auto* d = new TDetail;
        d->kind = kind;
        d->dir = p.substr(0, p.rfind('/'));
        d->name = p.substr(p.rfind('/') + 1);
        d->time = time;
        d->size = size;
        d->mtimeNs = ns;
        list.Add(p, d);
    };
    const TJournalRow row = Row();
    const TEntryTime localTime{row.localMtimeNs / 1000000000, TTimePrecision::Second};
    // The server lists in its zone, 60 minutes east: the engine holds the time in UTC.
    const TEntryTime listed{Jan1st2024 - 3600, TTimePrecision::Day};
    add(local, "/old.html", kindFile, localTime, 120, row.localMtimeNs);
    add(local, "/edited.html", kindFile, localTime, 120, row.localMtimeNs + 1000);
    add(local, "/unknown.html", kindFile, localTime, 120, row.localMtimeNs);
    add(local, "/dir", kindDirectory, localTime, -1);
    add(remote, "/old.html", kindFile, listed, 120);
    add(remote, "/edited.html", kindFile, listed, 120);
    add(remote, "/unknown.html", kindFile, listed, 120);
    add(remote, "/dir", kindDirectory, listed, -1);
    add(remote, "/gone.html", kindFile, listed, 5);
    TJournalRows rows;
    for (const char* key : {"/old.html", "/edited.html", "/dir", "/gone.html"})
        rows[key] = row;

    TCompareRules rules;
    rules.journal = &rows;
    rules.listingZone = 60;
    const TComparison c = CompareLists(local, remote, rules);
    EXPECT_EQ(c.local[0].action, actionRemain) << "unchanged since our upload";
    EXPECT_EQ(c.local[1].action, actionUpdate) << "an edit the times cannot see";
    EXPECT_EQ(c.local[2].action, actionUpdate) << "no row: the time rules cannot tell";
    EXPECT_EQ(c.local[3].action, actionRemain);
    EXPECT_EQ(c.remote[4].action, actionDelete) << "as without the journal";

    rules.listingZone = 0; // read in another zone, the listing is not what was recorded
    EXPECT_EQ(CompareLists(local, remote, rules).local[0].action, actionUpdate);
    rules.journal = nullptr;
    EXPECT_EQ(CompareLists(local, remote, rules).local[0].action, actionUpdate);
}

TEST(PublishJournal, KeepsRowsPerPlaceAcrossOpens) {
    TTempTree tree;
    const std::string file = tree.Path("state/pelmora/site.db"); // its folders are made
    TJournalRow exact = Row();
    exact.remoteListed = {Jan1st2024 + 77, TTimePrecision::Second};
    exact.remoteExact = Jan1st2024 + 77;
    const std::string latin1 = std::string("/caf\xe9.html");
    std::string why;
    {
        TPublishJournal journal;
        ASSERT_TRUE(journal.Open(file, "user@host:21 /www", why)) << why;
        ASSERT_TRUE(journal.Record("/a.html", Row(), why)) << why;
        ASSERT_TRUE(journal.Record(latin1, exact, why)) << why;
        ASSERT_TRUE(journal.Record("/a.html", exact, why)) << why; // replaced
    }
    TPublishJournal journal;
    ASSERT_TRUE(journal.Open(file, "user@host:21 /www", why)) << why;
    TJournalRows rows;
    ASSERT_TRUE(journal.ReadRows(rows, why)) << why;
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows.at("/a.html"), exact);
    EXPECT_EQ(rows.at(latin1), exact);
    EXPECT_FALSE(rows.at(latin1).remoteListed.precision == TTimePrecision::Day);

    ASSERT_TRUE(journal.Open(file, "user@other:21 /www", why)) << why;
    ASSERT_TRUE(journal.ReadRows(rows, why)) << why;
    EXPECT_TRUE(rows.empty()) << "another server's rows say nothing of this one";

    TOtherConnection other(file);
    sqlite3_stmt* mode = nullptr;
    sqlite3_prepare_v2(other.db, "PRAGMA journal_mode", -1, &mode, nullptr);
    ASSERT_EQ(sqlite3_step(mode), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal");
    sqlite3_finalize(mode);
}

TEST(PublishJournal, ADamagedLockedOrNewerDatabaseIsRefusedWithAReason) {
    TTempTree tree;
    std::string why;
    TPublishJournal journal;

    const std::string damaged = tree.File("damaged.db", std::string(4096, 'x'));
    EXPECT_FALSE(journal.Open(damaged, "p", why));
    EXPECT_FALSE(journal.IsOpen());
    EXPECT_NE(why.find("not a database"), std::string::npos) << why;

    // Held by another program before it was ever ours: it cannot even be set up.
    const std::string held = tree.Path("held.db");
    {
        TOtherConnection other(held);
        ASSERT_EQ(other.Exec("CREATE TABLE t(x); BEGIN EXCLUSIVE; INSERT INTO t VALUES(1)"),
                  SQLITE_OK);
        EXPECT_FALSE(journal.Open(held, "p", why));
        EXPECT_NE(why.find("locked"), std::string::npos) << why;
    }

    // Ours, then written by another program while a run records.
    const std::string busy = tree.Path("busy.db");
    ASSERT_TRUE(journal.Open(busy, "p", why)) << why;
    {
        TOtherConnection other(busy);
        ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; DELETE FROM published"), SQLITE_OK);
        EXPECT_FALSE(journal.Record("/a.html", Row(), why));
        EXPECT_FALSE(journal.IsOpen());
        EXPECT_NE(why.find("locked"), std::string::npos) << why;
    }

    const std::string later = tree.Path("later.db");
    {
        TOtherConnection other(later);
        ASSERT_EQ(other.Exec("PRAGMA user_version=7"), SQLITE_OK);
    }
    EXPECT_FALSE(journal.Open(later, "p", why));
    EXPECT_NE(why.find("later version"), std::string::npos) << why;
}

// A journal that cannot be read leaves the compare to the times, says so once, and never
// fails the compare.
TEST(PublishJournal, TheEngineFallsBackToTheTimesWithOneWarning) {
    TTempTree tree;
    TSyncOptions options;
    options.journalFile = tree.File("site-00000000.db", "this is no database at all");
    TRecordedEngine engine(options);
    // The server's copy is the newer: by the times it stays.
    for (const int64_t time : {Jan1st2024 + 3600, Jan1st2024 + 7200}) {
        auto* entry = new TDetail;
        entry->kind = kindFile;
        entry->name = "a.html";
        entry->time = {time, TTimePrecision::Second};
        entry->size = 3;
        const bool local = time == Jan1st2024 + 3600;
        engine.AddEntry(local ? engine.localList : engine.remoteList,
                        local ? engine.localTree : engine.remoteTree, entry, TTreeModel::NoNode);
    }

    engine.AnalyseLists();
    engine.AnalyseLists();
    EXPECT_EQ(static_cast<const TDetail*>(engine.localList.Objects(0))->action, actionRemain);
    const auto warnings =
        std::count_if(engine.view.statuses.begin(), engine.view.statuses.end(),
                      [](const std::string& s) { return s.starts_with("The publish journal "); });
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(engine.Status(), "Files Compared. Ready for Transfer");
}

TEST(SiteRunLock, OneHolderAtATimeNamedByItsProcess) {
    TTempTree tree;
    const std::string file = tree.Path("state/site.lock");
    long holder = -1;
    std::string why;
    TSiteRunLock first, second;
    ASSERT_EQ(first.Take(file, holder, why), TSiteRunLock::TResult::Taken) << why;
    EXPECT_EQ(second.Take(file, holder, why), TSiteRunLock::TResult::Busy);
    EXPECT_EQ(holder, static_cast<long>(::getpid()));
    EXPECT_FALSE(second.Held());
    first.Release();
    EXPECT_EQ(second.Take(file, holder, why), TSiteRunLock::TResult::Taken) << why;

    const std::string underAFile = tree.File("plain") + "/site.lock";
    EXPECT_EQ(first.Take(underAFile, holder, why), TSiteRunLock::TResult::Unavailable);
    EXPECT_FALSE(why.empty());
}
