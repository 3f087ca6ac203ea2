#include "sync/listing_lines.h"
#include "toolkit/date_time.h"

#include <gtest/gtest.h>

using namespace pelmora;

TEST(ReadListing, DirectoriesFirstThenNamesAndTracesWhatIsNoEntry) {
    TStringList lines;
    for (const char* line :
         {"total 4", "-rw-r--r-- 1 o g 1 Jan  1  2020 b.html",
          "-rw-r--r-- 1 o g 1 Jan  1  2020 a.html", "drwxr-xr-x 2 o g 1 Jan  1  2020 zeta",
          "-rw-r--r-- 1 o g 1 Jan  1  2020 A.html", "drwxr-xr-x 2 o g 1 Jan  1  2020 .."})
        lines.Add(line);
    TMemo memo;
    const auto entries = ReadListing(lines, memo);
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "A.html", "a.html", "b.html"}));
    EXPECT_EQ(memo.Lines(),
              (std::vector<std::string>{"Not an entry: total 4",
                                        "Not an entry: drwxr-xr-x 2 o g 1 Jan  1  2020 .."}));
    EXPECT_FALSE(DosListing(entries));
}

TEST(FillRemoteDetail, DatesKindsAndSizes) {
    const int year = CurrentYear();
    struct Case {
        const char* line;
        uint8_t kind;
        int y, m, d, h, min;
        long long size;
    };
    for (const Case& c : {
             Case{"drwxr-xr-x 2 o g 512 Jul 15  1996 my docs", kindDirectory, 1996, 7, 15, 0, 0,
                  -1},
             Case{"-rw-r--r-- 1 o g 1234 Jan  5 10:42 index.html", kindFile, year, 1, 5, 10, 42,
                  1234},
             Case{"-rw-r--r-- 1 o g 7 Dec 31 23:59 a", kindFile, year, 12, 31, 23, 59, 7},
             Case{"lrwxrwxrwx 1 o g 7 Dec 31 23:59 l -> a", kindLink, year, 12, 31, 23, 59, -1},
             Case{"07-15-96  10:30PM       <DIR>          images", kindDirectory, 1996, 7, 15, 22,
                  30, -1},
         }) {
        const auto listed = ParseListedEntry(c.line);
        ASSERT_TRUE(listed) << c.line;
        TDetail e;
        FillRemoteDetail(e, *listed, "/dir");
        EXPECT_EQ(e.kind, c.kind) << c.line;
        EXPECT_EQ(e.date, *EncodeDate(c.y, c.m, c.d) + *EncodeTime(c.h, c.min, 0)) << c.line;
        EXPECT_EQ(e.size, c.size) << c.line;
        EXPECT_EQ(e.dir, "/dir");
    }
    // A date that cannot be built leaves 0, so the local copy counts as newer.
    for (const char* line :
         {"-rw-r--r-- 1 o g 1 Feb 29  2023 a", "-rw-r--r-- 1 o g 1 Apr 31  2020 a"}) {
        TDetail e;
        FillRemoteDetail(e, *ParseListedEntry(line), "");
        EXPECT_EQ(e.date, 0.0) << line;
    }
}
