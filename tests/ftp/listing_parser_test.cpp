#include "ftp/listing_parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace pelmora {

void PrintTo(const TListedEntry& e, std::ostream* os) {
    *os << KindName(e.kind) << " '" << e.name << "' form " << static_cast<int>(e.form) << " size "
        << e.size << " " << e.year << "-" << e.month << "-" << e.day << " " << e.hour << ":"
        << e.minute << (e.linkTarget.empty() ? "" : " -> " + e.linkTarget);
}

namespace {

using K = TListedKind;
using F = TListingForm;

struct TRow {
    TFTPServerType type;
    std::string line;
    std::optional<TListedEntry> entry; // nothing: the line describes no entry
};

void PrintTo(const TRow& row, std::ostream* os) {
    *os << row.type << " '" << row.line << "'";
}

TListedEntry Entry(std::string name, K kind, F form, long long size, int year, int month, int day,
                   int hour = 0, int minute = 0, std::string target = "") {
    TListedEntry e;
    e.name = std::move(name);
    e.kind = kind;
    e.form = form;
    e.size = size;
    e.year = year;
    e.month = month;
    e.day = day;
    e.hour = hour;
    e.minute = minute;
    e.linkTarget = std::move(target);
    return e;
}

class ListingParserTable : public ::testing::TestWithParam<TRow> {};

TEST_P(ListingParserTable, GivesTheWholeEntry) {
    const TRow& row = GetParam();
    TListingParser parser(row.type);
    EXPECT_EQ(parser.Parse(row.line), row.entry);
}

// UNIX-like servers: every line through ParseListedEntry, whose own table has the finer
// cases; what matters here is that each of these server types reaches it, DOS lines too.
const TRow unixRows[] = {
    {ftpstUNIX, "total 12", std::nullopt},
    {ftpstUNIX, "", std::nullopt},
    {ftpstUNIX, "drwxr-xr-x   2 web    staff      512 Jan  1 12:00 docs",
     Entry("docs", K::Directory, F::Unix, 512, 0, 1, 1, 12, 0)},
    {ftpstUNIX, "-rw-r--r--    1 web    staff     1234 Mar 15  2019 index.html",
     Entry("index.html", K::File, F::Unix, 1234, 2019, 3, 15)},
    {ftpstUNIX, "lrwxrwxrwx 1 web staff 11 Feb 2 09:30 current -> release-1.2",
     Entry("current", K::Link, F::Unix, 11, 0, 2, 2, 9, 30, "release-1.2")},
    {ftpstUNIX, "lrwxrwxrwx 1 web staff 9 Jan 1 12:00 old name -> new name",
     Entry("old name", K::Link, F::Unix, 9, 0, 1, 1, 12, 0, "new name")},
    {ftpstUNIX, "-rw-r--r-- 1 web staff 9 Jan 1 12:00 my  summer photos.jpg",
     Entry("my  summer photos.jpg", K::File, F::Unix, 9, 0, 1, 1, 12, 0)},
    {ftpstUNIX, "-rw-r--r-- 1 web staff 220 Jan 1 12:00 .htaccess",
     Entry(".htaccess", K::File, F::Unix, 220, 0, 1, 1, 12, 0)},
    // Names that must never be sent back, and lines without a date, are no entries.
    {ftpstUNIX, "drwxr-xr-x 2 web staff 4096 Jan 1 12:00 .", std::nullopt},
    {ftpstUNIX, "drwxr-xr-x 9 web staff 4096 Jan 1 12:00 ..", std::nullopt},
    {ftpstUNIX, "-rw-r--r-- 1 web staff 9 Jan 1 12:00 odd\rname", std::nullopt},
    {ftpstUNIX, "-rw-r--r-- 1 web staff 9 yesterday my file", std::nullopt},
    {ftpstUNIX, "frw-r--r-- [web] 1 77 Jun 30 1999 notes.txt",
     Entry("notes.txt", K::Other, F::Unix, 77, 1999, 6, 30)},
    {ftpstDefault, "-rw-r--r-- 1 a b 5 Jan 1 12:00 default.txt",
     Entry("default.txt", K::File, F::Unix, 5, 0, 1, 1, 12, 0)},
    {ftpstDefault, "07-15-96  10:30PM       <DIR>          images",
     Entry("images", K::Directory, F::Dos, -1, 1996, 7, 15, 22, 30)},
    {ftpstULTRIX, "drwxr-xr-x 1 a b 5 Jan 1 12:00 u",
     Entry("u", K::Directory, F::Unix, 5, 0, 1, 1, 12, 0)},
    {ftpstU5000, "07-15-96  09:05AM                 1234 index.html",
     Entry("index.html", K::File, F::Dos, 1234, 1996, 7, 15, 9, 5)},
    {ftpstSINTFTPD, "crw-r--r-- 1 a b 5 Jan 1 12:00 tty",
     Entry("tty", K::Other, F::Unix, 5, 0, 1, 1, 12, 0)},
};
INSTANTIATE_TEST_SUITE_P(Unix, ListingParserTable, ::testing::ValuesIn(unixRows));

const TRow otherRows[] = {
    {ftpstVmsMultinet, "INDEX.HTML;3          5/6    1-JAN-2000 12:00:00 [WEB]",
     Entry("INDEX.HTML", K::File, F::Vms, 5, 2000, 1, 1, 12, 0)},
    {ftpstVmsUcx, "SUBDIR.DIR;1  1/3  2-FEB-2001 08:00:00 [WEB] (RWE,RWE,,)",
     Entry("SUBDIR", K::Directory, F::Vms, 1, 2001, 2, 2, 8, 0)},
    // Fields we cannot read do not cost the entry its name.
    {ftpstVmsUcx, "ODD.TXT;1 many 1-XYZ-2001 noon [WEB]",
     Entry("ODD.TXT", K::File, F::Vms, -1, 0, 0, 0)},
    {ftpstVmsUcx, "Total of 2 files, 6/9 blocks.", std::nullopt},
    {ftpstVM, "PROFILE  EXEC  V  72  5  1  1/12/99 10:11:12  -",
     Entry("PROFILE.EXEC", K::File, F::Vm, 72, 1999, 1, 12, 10, 11)},
    {ftpstVM, "", std::nullopt},
    {ftpstVM, "LONELY", std::nullopt},
    {ftpstVMVPS, "X  HTML  1234 a b c 12:00 01/02/99 z",
     Entry(".HTML", K::File, F::Vm, 1234, 1999, 1, 2, 12, 0)},
    {ftpstVMVPS, "Dataset totals: 3 files", std::nullopt},
    {ftpstVMVPS, "A B C D 10 rf trks used", std::nullopt},
    {ftpstVMVPS, "LIMIT = 5", std::nullopt},
    {ftpstVMVPS, "A B 1 track limit", std::nullopt},
    {ftpstNCSA, "-rw-r--r-- 1 a b 5 Jan 1 12:00 file", std::nullopt},
    {ftpstAutoDetect, "drwxr-xr-x 1 a b 5 Jan 1 12:00 dir", std::nullopt},
    {ftpstMVS, "drwxr-xr-x 1 a b 5 Jan 1 12:00 dir", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(OtherServers, ListingParserTable, ::testing::ValuesIn(otherRows));

TEST(VmsListing, LoneNameIsJoinedWithTheNextLineOfTheSameListingOnly) {
    TListingParser parser(ftpstVmsMultinet);
    EXPECT_EQ(parser.Parse("A_VERY_LONG_FILE_NAME.HTML;12"), std::nullopt);
    EXPECT_EQ(parser.Parse("   9/12  3-MAR-2003 10:00:00 [WEB]"),
              Entry("A_VERY_LONG_FILE_NAME.HTML", K::File, F::Vms, 9, 2003, 3, 3, 10, 0));
    // Joined once: the next line stands alone again.
    EXPECT_EQ(parser.Parse("   9/12  3-MAR-2003 10:00:00 [WEB]"), std::nullopt);

    EXPECT_EQ(parser.Parse("LONG.DIR;1"), std::nullopt);
    TListingParser nextListing(ftpstVmsUcx);
    EXPECT_EQ(nextListing.Parse(" 1/3 1-JAN-2000 00:00:00 [X]"), std::nullopt);
    EXPECT_EQ(parser.Parse(" 1/3 1-JAN-2000 00:00:00 [X]"),
              Entry("LONG", K::Directory, F::Vms, 1, 2000, 1, 1));
}

} // namespace
} // namespace pelmora
