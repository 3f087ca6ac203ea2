#include "ftp/listing_entry.h"

#include <gtest/gtest.h>

using namespace pelmora;

namespace {

struct TRow {
    const char* line;
    const char* name; // nullptr: the line describes no entry
    TListedKind kind = TListedKind::File;
    long long size = -1;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    const char* target = "";
};

using K = TListedKind;

void Check(const TRow& r, TListingForm form) {
    const auto e = ParseListedEntry(r.line);
    if (r.name == nullptr) {
        EXPECT_FALSE(e.has_value()) << r.line << " gave " << e->name;
        return;
    }
    ASSERT_TRUE(e.has_value()) << r.line;
    EXPECT_EQ(e->name, r.name) << r.line;
    EXPECT_EQ(e->kind, r.kind) << r.line;
    EXPECT_EQ(e->form, form) << r.line;
    EXPECT_EQ(e->size, r.size) << r.line;
    EXPECT_EQ(e->linkTarget, r.target) << r.line;
    EXPECT_EQ((std::vector<int>{e->year, e->month, e->day, e->hour, e->minute}),
              (std::vector<int>{r.year, r.month, r.day, r.hour, r.minute}))
        << r.line;
}

} // namespace

TEST(ListedEntry, UnixLinesGiveTheNameByTheFieldsPlaces) {
    const TRow rows[] = {
        {"-rw-r--r--   1 owner    group       1234 Jan  5 10:42 index.html", "index.html", K::File,
         1234, 0, 1, 5, 10, 42},
        {"drwxr-xr-x   2 owner    group        512 Jul 15  1996 my docs", "my docs", K::Directory,
         512, 1996, 7, 15},
        // Blanks at either end of a name and inside it are the name's own.
        {"drwxr-xr-x 2 o g 4096 Dec 10 12:00 docs ", "docs ", K::Directory, 4096, 0, 12, 10, 12, 0},
        {"-rw-r--r-- 1 o g 5 Dec 10 12:00  lead", " lead", K::File, 5, 0, 12, 10, 12, 0},
        {"-rw-r--r-- 1 o g 5 Dec 10  2020 two  blanks", "two  blanks", K::File, 5, 2020, 12, 10},
        // Owners and groups named like months, numbers, or missing altogether.
        {"-rw-r--r-- 1 jan may 7 Feb  3 09:05 x", "x", K::File, 7, 0, 2, 3, 9, 5},
        {"-rw-r--r-- 1 may 1 12 Mar  4  2019 Jan 1 12:00 y", "Jan 1 12:00 y", K::File, 12, 2019, 3,
         4},
        {"-rw-r--r-- 1 1001 1001 99 Apr 30 23:59 z.txt", "z.txt", K::File, 99, 0, 4, 30, 23, 59},
        {"-rw-r--r-- 1 jan 100 Jan  1 12:00 nogroup", "nogroup", K::File, 100, 0, 1, 1, 12, 0},
        {"drwxr-xr-x folder 0 Jan 1 12:00 nolinks", "nolinks", K::Directory, 0, 0, 1, 1, 12, 0},
        // Arrows: only a link line has a target.
        {"-rw-r--r-- 1 o g 3 Jan  1  2020 a->b", "a->b", K::File, 3, 2020, 1, 1},
        {"-rw-r--r-- 1 o g 3 Jan  1  2020 a -> b", "a -> b", K::File, 3, 2020, 1, 1},
        {"lrwxrwxrwx 1 o g 10 Jan  1  2020 home.html -> index.html", "home.html", K::Link, 10, 2020,
         1, 1, 0, 0, "index.html"},
        {"prw-r--r-- 1 o g 0 Jan  1  2020 fifo", "fifo", K::Other, 0, 2020, 1, 1},
        {"-rw-r--r--+ 1 o g 1 Jan  1  2020 acl", "acl", K::File, 1, 2020, 1, 1},
        // Bytes that are not UTF-8 pass as they are.
        {"-rw-r--r-- 1 o g 1 Jan  1  2020 caf\xe9.html", "caf\xe9.html", K::File, 1, 2020, 1, 1},
        // Lines that name nothing, or nothing that may be sent back.
        {"total 12", nullptr},
        {"", nullptr},
        {"drwxr-xr-x 2 o g 512 Jul 15  1996 .", nullptr},
        {"drwxr-xr-x 2 o g 512 Jul 15  1996 ..", nullptr},
        {"-rw-r--r-- 1 o g 1 Jul 15  1996 a/b", nullptr},
        {"-rw-r--r-- 1 o g 1 Jul 15  1996 ../../etc", nullptr},
        {"-rw-r--r-- 1 o g 1 Jul 15  1996", nullptr},
        {"-rw-r--r-- 1 o g 1 Jul 15  1996 ", nullptr},
        {"-rw-r--r-- 1 o g 1 Jul 32  1996 x", nullptr},
        {"hello world this is not a listing", nullptr},
    };
    for (const TRow& r : rows)
        Check(r, TListingForm::Unix);
}

TEST(ListedEntry, DosLinesGiveDirectoriesSizesAndTwelveHourTimes) {
    const TRow rows[] = {
        {"07-15-96  09:05AM                 1234 index.html", "index.html", K::File, 1234, 1996, 7,
         15, 9, 5},
        {"07-15-96  10:30PM       <DIR>          images", "images", K::Directory, -1, 1996, 7, 15,
         22, 30},
        {"01-02-03  12:15AM       <DIR>          my docs", "my docs", K::Directory, -1, 2003, 1, 2,
         0, 15},
        {"01-02-2024  12:15PM                    2 noon.txt", "noon.txt", K::File, 2, 2024, 1, 2,
         12, 15},
        {"07-15-96  09:05AM                    1  lead", " lead", K::File, 1, 1996, 7, 15, 9, 5},
        {"07-15-96  21:05 1 plain", "plain", K::File, 1, 1996, 7, 15, 21, 5},
        {"07-15-96  10:30PM       <DIR>          .", nullptr},
        {"13-02-03  12:15PM                    2 bad-month.txt", nullptr},
        {"07-15-96  13:05PM                    2 bad-hour.txt", nullptr},
        {"0AM                 1234 .                 1234 .", nullptr},
    };
    for (const TRow& r : rows)
        Check(r, TListingForm::Dos);
}

namespace {

struct TMlsdRow {
    const char* line;
    const char* name; // nullptr: the line describes no entry
    TListedKind kind = TListedKind::File;
    long long size = -1;
    std::optional<int64_t> utc = std::nullopt;
    const char* target = "";
};

} // namespace

TEST(ListedEntry, MlsdFactsGiveKindSizeAndExactTime) {
    constexpr int64_t jan2 = 1577934245; // 2020-01-02 03:04:05 UTC
    const TMlsdRow rows[] = {
        {"type=file;size=1234;modify=20200102030405; index.html", "index.html", K::File, 1234,
         jan2},
        // Facts in any case and order; a fraction of a second is dropped.
        {"Modify=20200102030405.123;Size=7;Type=File; a", "a", K::File, 7, jan2},
        {"TYPE=DIR;SIZD=4096;MODIFY=20200102030405;UNIX.mode=0755; images", "images", K::Directory,
         4096, jan2},
        // A name is every byte after the first blank: blanks, ';' and '=' its own.
        {"type=file;size=1; my page; v=2.html ", "my page; v=2.html ", K::File, 1},
        {"type=file;size=1;  lead", " lead", K::File, 1},
        // Without a size, or with a date that is no date: the entry stands without them.
        {"type=file;modify=20200102030405; nosize", "nosize", K::File, -1, jan2},
        {"type=file;size=2;modify=20201302030405; badmonth", "badmonth", K::File, 2},
        {"type=file;size=2;modify=2020010203; short", "short", K::File, 2},
        {"type=file;size=x2;modify=20210229000000; feb29", "feb29", K::File},
        {"type=OS.unix=symlink;size=9; link", "link", K::Link, 9},
        {"type=OS.unix=slink:/var/www/index.html; home", "home", K::Link, -1, std::nullopt,
         "/var/www/index.html"},
        // What we cannot tell is left alone.
        {"size=3; untyped", "untyped", K::Other, 3},
        {"type=OS.unix=chr-13/29; tty", "tty", K::Other},
        {" nofacts", "nofacts", K::Other},
        // The directory itself, its parent, and names that reach elsewhere.
        {"type=cdir;modify=20200102030405; /site", nullptr},
        {"type=pdir; ..", nullptr},
        {"Type=CDir; .", nullptr},
        {"type=file; .", nullptr},
        {"type=file; a/b", nullptr},
        {"type=file;size=1;", nullptr},
        {"type=file; ", nullptr},
        {"", nullptr},
    };
    for (const TMlsdRow& r : rows) {
        const auto e = ParseMlsdEntry(r.line);
        if (r.name == nullptr) {
            EXPECT_FALSE(e.has_value()) << r.line << " gave " << e->name;
            continue;
        }
        ASSERT_TRUE(e.has_value()) << r.line;
        EXPECT_EQ(e->name, r.name) << r.line;
        EXPECT_EQ(e->kind, r.kind) << r.line;
        EXPECT_EQ(e->form, TListingForm::Mlsd) << r.line;
        EXPECT_EQ(e->size, r.size) << r.line;
        EXPECT_EQ(e->utcSeconds, r.utc) << r.line;
        EXPECT_EQ(e->linkTarget, r.target) << r.line;
        // The date parts tell the same time in UTC, for readers that know no other.
        if (r.utc)
            EXPECT_EQ((std::vector<int>{e->year, e->month, e->day, e->hour, e->minute}),
                      (std::vector<int>{2020, 1, 2, 3, 4}))
                << r.line;
        else
            EXPECT_EQ(e->month, 0) << r.line;
    }
}

TEST(ListedEntry, MlsdNamesWithNulOrLineEndsAreRefused) {
    EXPECT_FALSE(ParseMlsdEntry(std::string("type=file;size=1; a\0b", 21)).has_value());
    EXPECT_FALSE(ParseMlsdEntry("type=file;size=1; a\r").has_value());
    EXPECT_FALSE(ParseMlsdEntry("type=file;size=1; a\nb").has_value());
}

// Readers of raw listing lines get MLSD entries from ParseListedEntry too, and nothing
// of LIST's forms is taken for facts.
TEST(ListedEntry, ListedEntryReadsMlsdFactLines) {
    const auto e = ParseListedEntry("type=dir;modify=20200102030405; my docs");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->name, "my docs");
    EXPECT_EQ(e->kind, TListedKind::Directory);
    EXPECT_EQ(e->utcSeconds, 1577934245);
    EXPECT_FALSE(ParseListedEntry("type=cdir; .").has_value());
    EXPECT_FALSE(ParseListedEntry("-rw-r--r-- 1 o g 3 Jan  1  2020 x")->utcSeconds.has_value());
}

TEST(ListedDate, UtcSecondsAndBackAgree) {
    struct TCase {
        TListedDate date;
        int64_t seconds;
    };
    const TCase cases[] = {
        {{1970, 1, 1, 0, 0, 0}, 0},
        {{1969, 12, 31, 23, 59, 59}, -1},
        {{2000, 2, 29, 12, 0, 0}, 951825600},
        {{2038, 1, 19, 3, 14, 8}, 2147483648},
        {{2024, 12, 31, 23, 59, 59}, 1735689599},
    };
    for (const TCase& c : cases) {
        const TListedDate& d = c.date;
        EXPECT_EQ(UtcSecondsOf(d.year, d.month, d.day, d.hour, d.minute, d.second), c.seconds);
        EXPECT_EQ(DateOfUtcSeconds(c.seconds), c.date) << c.seconds;
    }
    EXPECT_FALSE(UtcSecondsOf(2023, 2, 29, 0, 0, 0).has_value());
    EXPECT_FALSE(UtcSecondsOf(2024, 4, 31, 0, 0, 0).has_value());
    EXPECT_FALSE(UtcSecondsOf(2024, 1, 1, 24, 0, 0).has_value());
    EXPECT_FALSE(UtcSecondsOf(0, 1, 1, 0, 0, 0).has_value());
}

TEST(ListedDate, YearlessDateIsThisYearUnlessMoreThanADayAhead) {
    const auto at = [](int y, int mo, int d, int h, int mi) {
        return *UtcSecondsOf(y, mo, d, h, mi, 0);
    };
    struct TCase {
        int64_t now;
        int month, day, hour, minute;
        int year;
    };
    const TCase cases[] = {
        {at(2025, 6, 15, 12, 0), 3, 1, 9, 0, 2025},
        {at(2025, 6, 15, 12, 0), 12, 31, 23, 59, 2024},
        // Up to a day ahead is this year: a server's clock or zone may run ahead of ours.
        {at(2025, 6, 15, 12, 0), 6, 16, 12, 0, 2025},
        {at(2025, 6, 15, 12, 0), 6, 16, 12, 1, 2024},
        // Around New Year.
        {at(2025, 1, 1, 0, 30), 12, 31, 23, 50, 2024},
        {at(2025, 1, 1, 0, 30), 1, 1, 0, 10, 2025},
        {at(2024, 12, 31, 23, 0), 1, 1, 10, 0, 2024},
        {at(2024, 12, 31, 23, 0), 12, 31, 22, 0, 2024},
        {at(2025, 12, 31, 12, 0), 1, 1, 0, 0, 2025},
        // Feb 29 only in a leap year: the latest one that is not ahead.
        {at(2024, 3, 10, 0, 0), 2, 29, 8, 0, 2024},
        {at(2024, 2, 28, 12, 0), 2, 29, 8, 0, 2024},
        {at(2024, 2, 27, 12, 0), 2, 29, 8, 0, 2020},
        {at(2027, 1, 5, 0, 0), 2, 29, 8, 0, 2024},
    };
    for (const TCase& c : cases) {
        const TListedDate d = ResolveListedYear(c.month, c.day, c.hour, c.minute, c.now);
        EXPECT_EQ(d, (TListedDate{c.year, c.month, c.day, c.hour, c.minute, 0}))
            << c.month << "-" << c.day << " at " << c.now;
    }
}
