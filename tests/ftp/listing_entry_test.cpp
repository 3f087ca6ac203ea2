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
