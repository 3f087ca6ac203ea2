#include "ftp/listing_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmora {
namespace {

struct TRow {
    TFTPServerType type;
    std::string line;
    bool recognised;
    std::string name;
    bool isDirectory;
    std::string size;
    std::string date;
};

void PrintTo(const TRow& row, std::ostream* os) {
    *os << row.type << " '" << row.line << "'";
}

class ParseListingLineTable : public ::testing::TestWithParam<TRow> {};

TEST_P(ParseListingLineTable, GivesTheEntry) {
    const TRow& row = GetParam();
    std::string pending;
    TListingEntry entry;
    ASSERT_EQ(ParseListingLine(row.type, row.line, entry, pending), row.recognised);
    if (!row.recognised)
        return;
    EXPECT_EQ(entry.Name, row.name);
    EXPECT_EQ(entry.IsDirectory, row.isDirectory);
    EXPECT_EQ(entry.Size, row.size);
    EXPECT_EQ(entry.Date, row.date);
}

const TRow unixRows[] = {
    {ftpstUNIX, "total 12", false, "", false, "", ""},
    {ftpstUNIX, "", false, "", false, "", ""},
    {ftpstUNIX, "drwxr-xr-x   2 web    staff      512 Jan  1 12:00 docs", true, "docs", true, "512",
     "Jan 1 12:00"},
    {ftpstUNIX, "drwxr-xr-x 2 web staff 512 Jan 1 12:00 docs", true, "docs", true, "512",
     "Jan 1 12:00"},
    {ftpstUNIX, "-rw-r--r--    1 web    staff     1234 Mar 15  2019 index.html", true, "index.html",
     false, "1234", "Mar 15 2019"},
    {ftpstUNIX, "lrwxrwxrwx 1 web staff 11 Feb 2 09:30 current -> release-1.2", true, "current",
     true, "11", "Feb 2 09:30"},
    {ftpstUNIX, "drwxr-xr-x 2 web staff 4096 Jan 1 12:00 .", true, ".", true, "4096",
     "Jan 1 12:00"},
    {ftpstUNIX, "drwxr-xr-x 9 web staff 4096 Jan 1 12:00 ..", true, "..", true, "4096",
     "Jan 1 12:00"},
    {ftpstUNIX, "-rw-r--r-- 1 web staff 220 Jan 1 12:00 .htaccess", true, ".htaccess", false, "220",
     "Jan 1 12:00"},
    // A name with blanks in it comes out whole, its own runs of blanks kept.
    {ftpstUNIX, "-rw-r--r-- 1 web staff 9 Jan 1 12:00 my  summer photos.jpg", true,
     "my  summer photos.jpg", false, "9", "Jan 1 12:00"},
    {ftpstUNIX, "lrwxrwxrwx 1 web staff 9 Jan 1 12:00 old name -> new name", true, "old name", true,
     "9", "Jan 1 12:00"},
    // Owners and groups named like months; a listing without a group; trailing blanks.
    {ftpstUNIX, "-rw-r--r-- 1 jan may 7 Feb  3 09:05 x", true, "x", false, "7", "Feb 3 09:05"},
    {ftpstUNIX, "-rw-r--r-- 1 may 1 12 Mar  4  2019 Jan 1 12:00 y", true, "Jan 1 12:00 y", false,
     "12", "Mar 4 2019"},
    {ftpstUNIX, "drwxr-xr-x 2 o g 4096 Dec 10 12:00 docs ", true, "docs ", true, "4096",
     "Dec 10 12:00"},
    // Without a date we can find, the name is the last word.
    {ftpstUNIX, "-rw-r--r-- 1 web staff 9 yesterday my file", true, "file", false, "9",
     "yesterday my "},
    {ftpstUNIX, "frw-r--r-- [web] 1 77 Jun 30 1999 notes.txt", true, "notes.txt", false, "77",
     "Jun 30 1999"},
    {ftpstDefault, "-rw-r--r-- 1 a b 5 Jan 1 12:00 default.txt", true, "default.txt", false, "5",
     "Jan 1 12:00"},
    {ftpstULTRIX, "drwxr-xr-x 1 a b 5 Jan 1 12:00 u", true, "u", true, "5", "Jan 1 12:00"},
    {ftpstSINTFTPD, "crw-r--r-- 1 a b 5 Jan 1 12:00 tty", false, "", false, "", ""},
};
INSTANTIATE_TEST_SUITE_P(Unix, ParseListingLineTable, ::testing::ValuesIn(unixRows));

const TRow otherRows[] = {
    {ftpstVmsMultinet, "INDEX.HTML;3          5/6    1-JAN-2000 12:00:00 [WEB]", true, "INDEX.HTML",
     false, "5/6", "1-JAN-2000 12:00:00"},
    {ftpstVmsUcx, "SUBDIR.DIR;1  1/3  2-FEB-2001 08:00:00 [WEB] (RWE,RWE,,)", true, "SUBDIR", true,
     "1/3", "2-FEB-2001 08:00:00"},
    {ftpstVmsUcx, "Total of 2 files, 6/9 blocks.", false, "", false, "", ""},
    {ftpstVM, "PROFILE  EXEC  V  72  5  1  1/12/99 10:11:12  -", true, "PROFILE.EXEC", false, "72",
     "1/12/99 10:11:12"},
    {ftpstVM, "", false, "", false, "", ""},
    {ftpstVMVPS, "X  HTML  1234 a b c 12:00 01/02/99 z", true, ".HTML", false, "1234",
     "01/02/99 12:00"},
    {ftpstVMVPS, "Dataset totals: 3 files", false, "", false, "", ""},
    {ftpstVMVPS, "A B C D 10 rf trks used", false, "", false, "", ""},
    {ftpstVMVPS, "LIMIT = 5", false, "", false, "", ""},
    {ftpstVMVPS, "A B 1 track limit", false, "", false, "", ""},
    {ftpstNCSA, "-rw-r--r-- 1 a b 5 Jan 1 12:00 file", false, "", false, "", ""},
    {ftpstAutoDetect, "drwxr-xr-x 1 a b 5 Jan 1 12:00 dir", false, "", false, "", ""},
    {ftpstMVS, "drwxr-xr-x 1 a b 5 Jan 1 12:00 dir", false, "", false, "", ""},
};
INSTANTIATE_TEST_SUITE_P(OtherServers, ParseListingLineTable, ::testing::ValuesIn(otherRows));

TEST(ListingWords, WordAtNeedsABlankAfterTheWord) {
    EXPECT_EQ(WordAt("a  b   c", 0), "a");
    EXPECT_EQ(WordAt("a  b   c", 1), "b");
    EXPECT_EQ(WordAt("a  b   c", 2), "");
    EXPECT_EQ(WordAt("a  b   c ", 2), "c");
    EXPECT_EQ(WordAt("a b", 7), "");
    EXPECT_EQ(WordAt(" lead x", 0), "");
    EXPECT_EQ(WordAt(" lead x", 1), "lead");
}

TEST(ListingWords, NameFieldTakesTheLastWordBeforeAnArrow) {
    EXPECT_EQ(NameField("a b c  "), "c");
    EXPECT_EQ(NameField("x link -> target"), "link");
    EXPECT_EQ(NameField("single"), "single");
    EXPECT_EQ(NameField("a " + std::string(1500, 'n')).size(), 999u);
}

TEST(VmsListing, LoneNameIsJoinedWithTheNextLine) {
    std::string pending;
    TListingEntry entry;
    EXPECT_FALSE(
        ParseListingLine(ftpstVmsMultinet, "A_VERY_LONG_FILE_NAME.HTML;12", entry, pending));
    EXPECT_EQ(pending, "A_VERY_LONG_FILE_NAME.HTML;12");
    ASSERT_TRUE(
        ParseListingLine(ftpstVmsMultinet, "   9/12  3-MAR-2003 10:00:00 [WEB]", entry, pending));
    EXPECT_EQ(entry.Name, "A_VERY_LONG_FILE_NAME.HTML");
    EXPECT_EQ(entry.Size, "9/12");
    EXPECT_EQ(entry.Date, "3-MAR-2003 10:00:00");
    EXPECT_TRUE(pending.empty());
}

TEST(VmsListing, ProgramWideOverloadUsesPendingVmsLine) {
    PendingVmsLine.clear();
    TListingEntry entry;
    EXPECT_FALSE(ParseListingLine(ftpstVmsUcx, "LONG.DIR;1", entry));
    EXPECT_EQ(PendingVmsLine, "LONG.DIR;1");
    ASSERT_TRUE(ParseListingLine(ftpstVmsUcx, " 1/3 1-JAN-2000 00:00:00 [X]", entry));
    EXPECT_EQ(entry.Name, "LONG");
    EXPECT_TRUE(entry.IsDirectory);
    EXPECT_TRUE(PendingVmsLine.empty());
}

} // namespace
} // namespace pelmora
