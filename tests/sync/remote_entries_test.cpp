#include "ftp/listing_entry.h"
#include "sync/remote_entries.h"
#include "toolkit/date_time.h"

#include <gtest/gtest.h>

using namespace pelmora;

TEST(SortEntries, DirectoriesFirstThenNamesCaseBlindThenBytes) {
    std::vector<TListedEntry> entries;
    for (const char* line :
         {"-rw-r--r-- 1 o g 1 Jan  1  2020 b.html", "-rw-r--r-- 1 o g 1 Jan  1  2020 a.html",
          "drwxr-xr-x 2 o g 1 Jan  1  2020 zeta", "-rw-r--r-- 1 o g 1 Jan  1  2020 A.html"})
        entries.push_back(*ParseListedEntry(line));
    SortEntries(entries);
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "A.html", "a.html", "b.html"}));
}

TEST(RemoteEntries, ServersThatIgnoreCaseAndListingsThatNameNoFile) {
    TListedEntry unix, dos, vms, vm, vps;
    dos.form = TListingForm::Dos;
    vms.form = TListingForm::Vms;
    vm.form = vps.form = TListingForm::Vm;
    unix.name = dos.name = vms.name = "INDEX.HTML";
    vm.name = "PROFILE.EXEC";
    vps.name = ".EXEC";
    EXPECT_FALSE(CaseBlindListing({unix}));
    for (const TListedEntry& e : {dos, vms, vm})
        EXPECT_TRUE(CaseBlindListing({unix, e})) << e.name;
    EXPECT_TRUE(NamesEveryEntry({unix, dos, vms, vm}));
    EXPECT_FALSE(NamesEveryEntry({vm, vps}));
}

TEST(FillRemoteDetail, TimesInUtcKindsAndSizes) {
    // Listed by a server two hours east of UTC, loaded on 1 June 2026 at noon UTC.
    const TListingClock clock{120, *UtcSecondsOf(2026, 6, 1, 12, 0, 0)};
    constexpr auto Day = TTimePrecision::Day;
    constexpr auto Minute = TTimePrecision::Minute;
    struct Case {
        const char* line;
        uint8_t kind;
        int y, m, d, h, min;
        TTimePrecision precision;
        long long size;
    };
    for (const Case& c : {
             Case{"drwxr-xr-x 2 o g 512 Jul 15  1996 my docs", kindDirectory, 1996, 7, 14, 22, 0,
                  Day, -1},
             Case{"-rw-r--r-- 1 o g 1234 Jan  5 10:42 index.html", kindFile, 2026, 1, 5, 8, 42,
                  Minute, 1234},
             Case{"-rw-r--r-- 1 o g 7 Dec 31 23:59 a", kindFile, 2025, 12, 31, 21, 59, Minute, 7},
             Case{"lrwxrwxrwx 1 o g 7 Jun  2 13:30 l -> a", kindLink, 2026, 6, 2, 11, 30, Minute,
                  -1},
             Case{"07-15-96  10:30PM       <DIR>          images", kindDirectory, 1996, 7, 15, 20,
                  30, Minute, -1},
         }) {
        const auto listed = ParseListedEntry(c.line);
        ASSERT_TRUE(listed) << c.line;
        TDetail e;
        FillRemoteDetail(e, *listed, "/dir", clock);
        EXPECT_EQ(e.kind, c.kind) << c.line;
        EXPECT_EQ(e.time, (TEntryTime{*UtcSecondsOf(c.y, c.m, c.d, c.h, c.min, 0), c.precision}))
            << c.line;
        EXPECT_EQ(e.date, LocalDateTimeOf(e.time.utc)) << "shown in the user's clock";
        EXPECT_EQ(e.size, c.size) << c.line;
        EXPECT_EQ(e.dir, "/dir");
    }
    // Blocks and record lengths are no byte counts: the size stays unknown.
    for (const TListingForm form : {TListingForm::Vms, TListingForm::Vm}) {
        TListedEntry listed;
        listed.name = "A.TXT";
        listed.form = form;
        listed.size = 4;
        TDetail e;
        FillRemoteDetail(e, listed, "");
        EXPECT_EQ(e.kind, kindFile);
        EXPECT_EQ(e.size, -1);
    }
    // A date that cannot be built leaves 0, so the local copy counts as newer.
    for (const char* line :
         {"-rw-r--r-- 1 o g 1 Feb 29  2023 a", "-rw-r--r-- 1 o g 1 Apr 31  2020 a"}) {
        TDetail e;
        FillRemoteDetail(e, *ParseListedEntry(line), "");
        EXPECT_EQ(e.time.precision, TTimePrecision::Unknown) << line;
        EXPECT_EQ(e.date, 0.0) << line;
    }
}
