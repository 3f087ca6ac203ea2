#include "sync/listing_lines.h"
#include "toolkit/date_time.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pelmora;

TEST(SkipFields, CountsRunsOfBlanksAsOneSeparator) {
    struct Case {
        const char* line;
        int n;
        const char* rest;
        bool dir;
    };
    for (const Case& c : {
             Case{"drwxr-xr-x   2 owner  group   512 Jul 15  1996 my docs", 8, "my docs", true},
             Case{"-rw-r--r-- 1 o g 1234 Jan  5 10:42 index.html  ", 8, "index.html", false},
             Case{"total 12", 8, "", false},
             Case{"  leading", 1, "leading", false},
             Case{"Dir", 0, "Dir", true},
             Case{"a b c", 3, "", false},
         }) {
        const TSkipped s = SkipFields(c.line, c.n);
        EXPECT_EQ(s.rest, c.rest) << c.line;
        EXPECT_EQ(s.isDirectory, c.dir) << c.line;
    }
    EXPECT_EQ(SkipFields(std::string(300, 'x') + " tail", 1).rest, "")
        << "the line is cut to 255 characters first";
    EXPECT_EQ(RemoveSpaces(" my  docs "), "mydocs");
}

TEST(PrepareWorkList, RewritesDosLinesAndTracesThemInTheMemo) {
    TStringList list;
    TMemo memo;
    for (const char* line :
         {"07-15-96  10:30PM       <DIR>          images",
          "07-15-96  09:05AM                 1234 index.html",
          "01-02-03  12:15AM                    1 midnight.txt",
          "13-02-03  12:15PM                    2 noon.txt",
          "02-02-03  01:15PM       <DIR>          my docs",
          "07-15-96  10:30PM       <DIR>          .", "07-15-96  10:30PM       <DIR>          .."})
        list.Add(line);
    PrepareWorkList(list, memo);
    ASSERT_EQ(list.Count(), 7);
    EXPECT_TRUE(list.Sorted());
    // The emptied "." and ".." sort to the top; directories before files.
    EXPECT_EQ(list.Strings(0), "");
    EXPECT_EQ(list.Strings(1), "");
    EXPECT_EQ(list.Strings(2), "DIMAGES x x x 0 JUL 15 22:30 images");
    EXPECT_EQ(list.Strings(3), "DMYDOCS x x x 0 FEB 02 13:15 my docs");
    EXPECT_EQ(list.Strings(4), "FINDEX.HTML x x x 1234  JUL 15 9:05 index.html");
    EXPECT_EQ(list.Strings(5), "FMIDNIGHT.TXT x x x 1  JAN 02 0:15 midnight.txt");
    EXPECT_EQ(list.Strings(6), "FNOON.TXT x x x 2  JAN 02 12:15 noon.txt") << "month 13: JAN";
    EXPECT_EQ(memo.Lines().size(), 7u + 5u) << "a Raw line each, Processed only for entries";
    EXPECT_EQ(memo.Lines()[0], "Raw: 07-15-96  10:30PM       <DIR>          images");
    EXPECT_EQ(memo.Lines()[1], "Processed: DIMAGES x x x 0 JUL 15 22:30 images");
}

TEST(PrepareWorkList, PrefixesUnixLinesAndLeavesOutWhatCannotBeAnEntry) {
    TStringList list;
    TMemo memo;
    for (const char* line :
         {"total 3", "-rw-r--r--   1 owner    group       1234 Jan  5 10:42 index.html",
          "drwxr-xr-x   2 owner    group        512 Jul 15  1996 my docs",
          "drwxr-xr-x   2 owner    group        512 Jul 15  1996 .",
          "drwxr-xr-x   2 owner    group        512 Jul 15  1996 ..",
          "-rw-r--r--   1 owner    group          1 Jul 15  1996 a/b",
          "-rw-r--r--   1 owner    group          1 Jul 15  1996 Apple"})
        list.Add(line);
    PrepareWorkList(list, memo);
    std::vector<std::string> got;
    for (int i = 0; i < list.Count(); ++i)
        got.push_back(list.Strings(i));
    EXPECT_EQ(
        got, (std::vector<std::string>{
                 "", "", "", "Dmydocsdrwxr-xr-x   2 owner    group        512 Jul 15  1996 my docs",
                 "FApple-rw-r--r--   1 owner    group          1 Jul 15  1996 Apple",
                 "Findex.html-rw-r--r--   1 owner    group       1234 Jan  5 10:42 index.html",
                 "Ftotal 3"}));
    EXPECT_EQ(memo.Lines().size(), 3u) << "one Raw line per left-out name";
    EXPECT_EQ(SkipFields(got[6], 8).rest, "") << "the total line gives no name";
}

TEST(FillRemoteDetail, DatesEntriesFromTheirLine) {
    const int year = CurrentYear();
    struct Case {
        const char* line;
        int y, m, d, h, min;
        long long size;
    };
    for (const Case& c : {
             Case{"Dmydocsdrwxr-xr-x 2 o g 512 Jul 15 1996 my docs", 1996, 7, 15, 0, 0, 512},
             Case{"Findex.html-rw-r--r-- 1 o g 1234 Jan 5 10:42 index.html", year, 1, 5, 10, 42,
                  1234},
             Case{"Fa-rw-r--r-- 1 o g 7 Dec 31 23:59 a", year, 12, 31, 23, 59, 7},
             Case{"DIMAGES x x x 0 JUL 15 22:30 images", year, 7, 15, 22, 30, 0},
             Case{"FX x x x 12  Xyz 3 2001 x", 2001, 1, 3, 0, 0, 12},
         }) {
        TDetail e;
        FillRemoteDetail(e, kindFile, "n", c.line, "/dir");
        EXPECT_EQ(e.date, *EncodeDate(c.y, c.m, c.d) + *EncodeTime(c.h, c.min, 0)) << c.line;
        EXPECT_EQ(e.size, c.size) << c.line;
        EXPECT_EQ(e.dir, "/dir");
        EXPECT_EQ(e.name, "n");
    }
}

TEST(FillRemoteDetail, ImpossibleDatesGiveZeroInsteadOfEndingTheLoad) {
    for (const char* line : {"Fa x 1 o g 1 Feb 29 2023 a", "Fa x 1 o g 1 Apr 31 2020 a",
                             "Fa x 1 o g 1 Jan 36 2020 a", "Fa x 1 o g 1 Jan 5 30:10 a",
                             "Fa x 1 o g 1 Jan xx 2020 a", "Fa x 1 o g x Jan 5 year a", "Fa"}) {
        TDetail e;
        FillRemoteDetail(e, kindFile, "a", line, "");
        EXPECT_EQ(e.date, 0.0) << line;
    }
    TDetail unknownSize;
    FillRemoteDetail(unknownSize, kindFile, "a", "Fa x 1 o g big Jan 5 2020 a", "");
    EXPECT_EQ(unknownSize.size, -1);
}

TEST(EntryOfLine, NeverGivesANameThatLeavesTheDirectory) {
    struct Case {
        const char* line;
        const char* name;
    };
    for (const Case& c :
         {Case{"Fa x x x 1 JAN 1 1:00 page one.html", "page one.html"},
          Case{"Da x x x 1 JAN 1 1:00 ..", ""}, Case{"Da x x x 1 JAN 1 1:00 .", ""},
          Case{"Fa x x x 1 JAN 1 1:00 a/b", ""}, Case{"Fa x x x 1 JAN 1 1:00 ../../etc", ""}}) {
        EXPECT_EQ(EntryOfLine(c.line).rest, c.name) << c.line;
    }
    // A DOS line whose fields shift in the rewrite must not smuggle ".." in either.
    TStringList list;
    TMemo memo;
    list.Add("0AM                 1234 .                 1234 .");
    list.Add("07-15-96  10:30PM       <DIR>  ..      images");
    PrepareWorkList(list, memo);
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i)
        names.push_back(EntryOfLine(list.Strings(i)).rest);
    EXPECT_EQ(std::count(names.begin(), names.end(), "."), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), ".."), 0);
}
