// Hostile servers and bad input, through the whole program as it runs without a window.
// Every row must end within its time-out, not crash, send nothing it should not, and
// leave the server and the disk as the row says.
#include "app/headless.h"
#include "app/settings.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

using namespace pelmora;
using namespace pelmora::testing;

// Rows name only the fields they need; the rest stay empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

constexpr int AnyStatus = -1;

struct TFaultRow {
    const char* name;
    std::function<void(TFtpScriptServer&)> script;
    int status = 0;                           // expected exit status, or AnyStatus
    std::vector<std::string> mustSend;        // command lines that must be among those sent
    std::vector<std::string> mustNotSend;     // prefixes of command lines never sent
    std::vector<std::string> stored;          // local files that end up stored whole on the server
    std::vector<std::string> notStored;       // local files of which no part may be stored
    std::string said;                         // a line the run prints
    std::map<std::string, std::string> files; // the local site; index.html when empty
};

std::string Str(std::string_view s) {
    return std::string(s);
}

std::string Listing(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines)
        text += l + "\r\n";
    return text;
}

class FaultSuite : public ::testing::TestWithParam<TFaultRow> {};

TEST_P(FaultSuite, EndsInTimeSendsNothingItShouldNotAndLosesNothing) {
    const TFaultRow& row = GetParam();
    TTempTree tree;
    std::map<std::string, std::string> files = row.files;
    if (files.empty())
        files["index.html"] = "<p>home</p>";
    for (const auto& [path, content] : files)
        tree.File("site/" + path, content);
    TFtpScriptServer server;
    if (row.script)
        row.script(server);
    const std::string ini = tree.Path("PELMORA.INI");
    const std::string password = "pw-9f3c1e";
    std::string error;
    ASSERT_TRUE(ConfigureSettings(ini,
                                  {"List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
                                   "FTP.port=" + std::to_string(server.Port()), "FTP.userName=web",
                                   "FTP.password=" + password, "List.remote=/www", "Options.load=1",
                                   "Options.compare=1", "Options.update=1", "Options.delete=1",
                                   "Options.exit=1", "Options.timeout=5",
                                   // The rows are about hostile servers, not the cap,
                                   // and follow each file straight to its name.
                                   "Options.maxDelete=-1", "Options.atomic=0"},
                                  error))
        << error;

    std::ostringstream out, err;
    const uint32_t start = GetTickCount();
    const int status = RunHeadless(ini, out, err);
    const uint32_t took = GetTickCount() - start;
    const std::string output = out.str() + err.str();
    SCOPED_TRACE(output);

    // Every wait is bounded by the 5-second time-out; a run makes at most a few of them.
    EXPECT_LT(took, 25000u);
    if (row.status != AnyStatus) {
        EXPECT_EQ(status, row.status);
    }
    EXPECT_EQ(output.find(password), std::string::npos) << "the password is never printed";

    const auto commands = server.Commands();
    auto sent = [&](const std::string& c) {
        return std::find(commands.begin(), commands.end(), c) != commands.end();
    };
    for (const auto& c : row.mustSend)
        EXPECT_TRUE(sent(c)) << c;
    for (const auto& prefix : row.mustNotSend)
        for (const auto& c : commands)
            EXPECT_NE(c.rfind(prefix, 0), 0u) << "sent " << c;
    EXPECT_EQ(server.EarlyDataBytes(), 0) << "a file's bytes came before the server's 1xx";
    const auto stored = server.Stored();
    for (const auto& path : row.stored) {
        const auto it = stored.find("/www/" + path);
        ASSERT_NE(it, stored.end()) << path;
        EXPECT_EQ(it->second, files.at(path));
    }
    for (const auto& path : row.notStored)
        EXPECT_EQ(stored.count("/www/" + path), 0u) << path;
    if (!row.said.empty()) {
        EXPECT_NE(output.find(row.said), std::string::npos) << row.said;
    }
    // The local site is never touched.
    for (const auto& [path, content] : files)
        EXPECT_EQ(ReadFile(tree.Path("site/" + path)), content) << path;
}

const std::string big(16 << 20, 'b'); // more than loopback buffers hold

const TFaultRow rows[] = {
    // Control replies.
    {"Greeting421",
     [](auto& s) { s.On("").Reply("421 Too many users, try later"); },
     4,
     {},
     {"USER"},
     {},
     {},
     "The FTP server gave an error message as soon as connection was made: 421 Too many "
     "users, try later"},
    {"Greeting554", [](auto& s) { s.On("").Reply("554 Go away"); }, 4, {}, {"USER"}},
    {"NonFtpBanner", [](auto& s) { s.On("").Reply("SSH-2.0-Something"); }, 4, {}, {"USER"}},
    {"RepliesDrippedByteByByte",
     [](auto& s) {
         for (const char* v :
              {"", "USER", "PASS", "SYST", "CWD", "PWD", "TYPE", "PORT", "LIST", "STOR"})
             s.On(v).Drip();
     },
     0,
     {"USER web", "STOR /www/index.html"},
     {},
     {"index.html"}},
    {"MultiLineWithLookalikes",
     [](auto& s) {
         s.On("").Lines({"220-Welcome", "220x not the end", " 220 nor this", "2200 nor this",
                         "220-still going", "220 Ready"});
     },
     0,
     {},
     {},
     {"index.html"}},
    {"SeventeenKilobyteLine",
     [](auto& s) {
         s.On("").Lines({"220-" + std::string(17 * 1024, 'w'), "220 Ready"});
     },
     0,
     {},
     {},
     {"index.html"}},
    {"TenThousandContinuationLines",
     [](auto& s) {
         std::vector<std::string> lines(10000, "220-more of the same");
         lines.push_back("220 Ready");
         s.On("").Lines(lines);
     },
     0,
     {},
     {},
     {"index.html"}},
    {"ControlBytesInAReply",
     [](auto& s) { s.On("SYST").Reply("215 UNIX\x01\x7f\x1b Type: L8"); },
     0,
     {},
     {},
     {"index.html"}},
    // A zero byte stands as a blank; it does not swallow the rest of the reply.
    {"NulInAReply",
     [](auto& s) { s.On("SYST").Reply(Str(std::string_view("215 UNIX\0Type: L8", 18))); },
     0,
     {},
     {},
     {"index.html"}},
    {"PwdWithoutQuotes",
     [](auto& s) { s.On("PWD").Reply("257 current directory is /"); },
     0,
     {},
     {},
     {"index.html"}},
    {"PwdWithUnbalancedQuote",
     [](auto& s) { s.On("PWD").Reply("257 \"/unclosed"); },
     0,
     {},
     {},
     {"index.html"}},
    {"PreliminaryAndFinalInOnePacket",
     [](auto& s) {
         s.On("LIST")
             .Preliminary({})
             .Lines({"150 Here it comes", "226 Done"})
             .FinalBeforeDataEnds();
     },
     0,
     {},
     {},
     {"index.html"}},
    {"UnsolicitedExtraReply",
     [](auto& s) {
         s.On("TYPE").Lines({"200 Type set", "200 Surprise"});
     },
     AnyStatus},
    {"TwoDigitCode", [](auto& s) { s.On("CWD").Reply("25"); }, 0, {}, {}, {"index.html"}},
    {"NonNumericCode",
     [](auto& s) { s.On("CWD").Reply("OK fine"); },
     1,
     {},
     {"STOR", "DELE"},
     {},
     {},
     "Could not enter the remote directory /www: "},
    {"LfOnlyLineEnds", [](auto& s) { s.On("").Silent().Raw("220 Ready\n"); }, 4, {}, {"USER"}},
    {"ServerStopsAnswering",
     [](auto& s) { s.On("LIST").Refuse("").Silent(); },
     1,
     {},
     {"STOR", "DELE", "RMD"}},
    // Data connection.
    {"Port500",
     [](auto& s) { s.On("PORT").Reply("500 PORT not understood"); },
     1,
     {},
     {"LIST", "STOR"}},
    {"Port501", [](auto& s) { s.On("PORT").Reply("501 Syntax error"); }, 1, {}, {"LIST", "STOR"}},
    {"Port421", [](auto& s) { s.On("PORT").Reply("421 Closing"); }, 1, {}, {"LIST", "STOR"}},
    {"PreliminaryThenNoConnection",
     [](auto& s) { s.On("LIST").Refuse("").Silent().Preliminary({"150 Here it comes"}); },
     1,
     {},
     {"STOR", "DELE"}},
    {"CantOpenAfterPreliminary",
     [](auto& s) {
         s.On("STOR").Refuse("425 Can't open data connection").Preliminary({"150 Opening"});
     },
     1,
     {},
     {},
     {},
     {"index.html"},
     "Could not upload: /index.html"},
    {"StrangerOnTheDataPortFirst",
     [](auto& s) { s.On("LIST").Intruder(); },
     0,
     {},
     {},
     {"index.html"}},
    {"ListingCutOffWith226",
     [](auto& s) {
         s.On("LIST")
             .Listing({Listing({"-rw-r--r-- 1 o g 11 Jan  5  2020 index.html",
                                "-rw-r--r-- 1 o g 11 Jan  5  2020 other.html"})})
             .CutDataAfter(30);
     },
     AnyStatus,
     {},
     {"DELE /www/other.html"}},
    {"ListingCutOffWith426",
     [](auto& s) {
         s.On("LIST")
             .Listing({Listing({"-rw-r--r-- 1 o g 11 Jan  5  2020 keep.html"})})
             .CutDataAfter(10)
             .Reply("426 Connection closed; transfer aborted");
     },
     1,
     {},
     {"DELE", "STOR"}},
    // Something between the two ends resets the listing's data connection part of the
    // way through; the server, which sent it all, says 226. What came is no listing.
    {"ListingResetWith226",
     [](auto& s) {
         s.On("LIST")
             .Listing({Listing({"-rw-r--r-- 1 o g 11 Jan  5  2020 index.html",
                                "-rw-r--r-- 1 o g 11 Jan  5  2020 other.html"})})
             .CutDataAfter(50)
             .ResetData();
     },
     1,
     {},
     {"DELE", "STOR"}},
    // The server takes part of the file, closes the data connection and still says 226:
    // the program notices the cut while it is sending, and reports it.
    {"StoreCutOffWith226",
     [](auto& s) { s.On("STOR").CutDataAfter(5000); },
     1,
     {},
     {},
     {},
     {},
     "Could not upload: /big.bin",
     {{"big.bin", big}}},
    {"StoreCutOffWith426",
     [](auto& s) {
         s.On("STOR").CutDataAfter(5000).Reply("426 Connection closed; transfer aborted");
     },
     1,
     {},
     {},
     {},
     {},
     "Could not upload: /big.bin",
     {{"big.bin", big}}},
    // Only a part of a small file arrives (something between the two ends cut the data
    // connection after the program had written all of it), yet the server says 226: the
    // listing read after the update shows the short file, and the run must say so.
    {"StoreShortButAcknowledged",
     [](auto& s) {
         s.On("STOR").CutDataAfter(5);
         // The latest rule is asked first: the empty listing is the first one.
         s.On("LIST").Uses(1).Listing({Listing({"-rw-r--r-- 1 o g 5 Jan  5  2020 index.html"})});
         s.On("LIST").Uses(1).Listing({""});
     },
     1,
     {"STOR /www/index.html"},
     {},
     {},
     {},
     "Could not upload: /index.html (the server holds 5 of its 11 bytes)"},
    {"Store452",
     [](auto& s) { s.On("STOR").Reply("452 Insufficient storage space"); },
     1,
     {},
     {},
     {},
     {},
     "Could not upload: /index.html"},
    {"Store552",
     [](auto& s) { s.On("STOR").Reply("552 Exceeded storage allocation"); },
     1,
     {},
     {},
     {},
     {},
     "Could not upload: /index.html"},
    // The server takes the data connection first and answers STOR a while later: the file
    // waits for that answer (every row checks that no byte comes before it).
    {"StoreAnsweredLate",
     [](auto& s) { s.On("STOR").PreliminaryAfterData(300); },
     0,
     {"STOR /www/index.html"},
     {},
     {"index.html"}},
    // Done, says the server at once, without asking for the file.
    {"StoreDoneAtOnce",
     [](auto& s) { s.On("STOR").Preliminary({}).FinalBeforeDataEnds(0).PreliminaryAfterData(0); },
     1,
     {},
     {},
     {},
     {},
     "The server answered STOR before any of the file was sent (226 Transfer complete)"},
    // Listings.
    {"ImpossibleDates",
     [](auto& s) {
         s.SetListing(Listing({"-rw-r--r-- 1 o g 11 Jam 36 30:99 index.html",
                               "-rw-r--r-- 1 o g 5 Feb 29  2023 leap.html"}));
     },
     0,
     {"STOR /www/index.html", "DELE /www/leap.html"},
     {},
     {"index.html"}},
    {"NamesThatLeaveTheDirectory",
     [](auto& s) {
         s.SetListing(
             Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 .", "drwxr-xr-x 2 o g 1 Jan  5  2020 ..",
                      "-rw-r--r-- 1 o g 1 Jan  5  2020 a/b",
                      "-rw-r--r-- 1 o g 1 Jan  5  2020 ../../etc/passwd",
                      "lrwxrwxrwx 1 o g 1 Jan  5  2020 docs -> /",
                      "-rw-r--r-- 1 o g 1 Jan  5  2020   padded.txt  "}));
     },
     0,
     {"DELE /www/  padded.txt  "},
     {"CWD .", "CWD a", "CWD /www/.", "CWD /www/a", "DELE /www/a", "DELE /www/..",
      "DELE /www/docs", "RMD"}},
    {"DirectoriesThatLeadIntoThemselves",
     [](auto& s) { s.SetListing(Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 loop"})); },
     1,
     {"CWD /www/loop"},
     {},
     {"index.html"},
     {},
     "Left out (path too long): /loop/loop/"},
    {"HundredThousandEntries",
     [](auto& s) {
         std::string text;
         for (int i = 0; i < 100000; ++i)
             text += "-rw-r--r-- 1 o g 1 Jan  5  2020 f" + std::to_string(i) + "\r\n";
         s.SetListing(text);
         s.On("DELE").Reply("550 Not today"); // ends the delete phase at the first file
     },
     1,
     {},
     {},
     {},
     {},
     "Could not delete: "},
    {"OneMegabyteLineWithoutLineEnd",
     [](auto& s) { s.SetListing(std::string(1 << 20, 'x')); },
     1,
     {},
     {"STOR", "DELE"}},
    {"MixedLineEndsAndNul",
     [](auto& s) {
         s.SetListing(Str("-rw-r--r-- 1 o g 1 Jan  5  2020 a.txt\n") +
                      "-rw-r--r-- 1 o g 1 Jan  5  2020 b.txt\r\n" +
                      Str(std::string_view("-rw-r--r-- 1 o g 1 Jan  5  2020 c\0d.txt\r\n", 41)));
     },
     AnyStatus},
    // The connection lost in the middle of the work.
    {"LostDuringAListing",
     [](auto& s) { s.On("LIST").CloseControl(TFtpRule::CloseBeforeReply); },
     1,
     {},
     {"STOR", "DELE", "RMD", "MKD"}},
    {"LostDuringTheDeletePhase",
     [](auto& s) {
         s.SetListing(Listing({"-rw-r--r-- 1 o g 1 Jan  5  2020 old1.html",
                               "-rw-r--r-- 1 o g 1 Jan  5  2020 old2.html"}));
         s.On("DELE").CloseControl(TFtpRule::CloseBeforeReply);
     },
     1,
     {"DELE /www/old2.html"},
     {"DELE /www/old1.html", "STOR", "MKD"},
     {},
     {},
     "Pelmora has been disconnected from the server"},
    // One failure fails one item; the rest of the run goes on.
    {"OneDeleteRefused",
     [](auto& s) {
         s.SetListing(Listing({"-rw-r--r-- 1 o g 1 Jan  5  2020 old1.html",
                               "-rw-r--r-- 1 o g 1 Jan  5  2020 old2.html"}));
         s.On("DELE").Arg("/www/old2.html").Reply("550 Permission denied");
     },
     1,
     {"DELE /www/old2.html", "DELE /www/old1.html", "STOR /www/index.html"},
     {},
     {"index.html"},
     {},
     "Could not delete: /old2.html (550 Permission denied)"},
    {"OneDirectoryRefused",
     [](auto& s) { s.On("MKD").Arg("/www/new").Reply("550 Quota exceeded"); },
     1,
     {"MKD /www/new", "MKD /www/other", "STOR /www/index.html", "STOR /www/other/b.html"},
     {"STOR /www/new/"},
     {"index.html", "other/b.html"},
     {},
     "Could not create: /new (550 Quota exceeded)",
     {{"index.html", "i"}, {"new/a.html", "a"}, {"other/b.html", "b"}}},
    // What the server has that is not a plain file or directory.
    {"ServerLinkIsLeftAlone",
     [](auto& s) {
         s.SetListing(Listing({"lrwxrwxrwx 1 o g 10 Jan  5  2020 home.html -> index.html",
                               "lrwxrwxrwx 1 o g 10 Jan  5  2020 data -> /var/data"}));
     },
     0,
     {"STOR /www/index.html"},
     {"DELE", "RMD", "STOR /www/home", "CWD data", "CWD home", "CWD /www/data", "CWD /www/home"},
     {"index.html"}},
    {"FileHereDirectoryThere",
     [](auto& s) {
         s.SetListing(Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 page"}));
         s.On("LIST").Uses(1).Listing({Listing({"-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"})});
         s.On("LIST").Uses(1).Listing({Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 page"})});
     },
     1,
     {"CWD /www/page", "STOR /www/index.html"},
     {"DELE", "RMD", "STOR /www/page"},
     {"index.html"},
     {},
     "Conflict: /page: a file here, a directory on the server",
     {{"index.html", "i"}, {"page", "p"}}},
    // Directories the walk cannot read are kept whole, and the walk goes on.
    {"DirectoryThatCannotBeEntered",
     [](auto& s) {
         s.SetListingOf("/www", Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 logs",
                                          "drwxr-xr-x 2 o g 1 Jan  5  2020 zz",
                                          "-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"}));
         s.SetListingOf("/www/zz", "");
         // Refused by its absolute path, then by its name from the root.
         s.On("CWD").Arg("/www/logs").Reply("550 Permission denied: /www/logs");
         s.On("CWD").Arg("logs").Reply("550 Permission denied");
     },
     1,
     {"CWD /www/logs", "CWD logs", "CWD /www/zz", "DELE /www/old.html", "STOR /www/index.html"},
     {"RMD /www/logs", "DELE /www/logs", "STOR /www/logs"},
     {"index.html"},
     {},
     "Could not enter /logs: 550 Permission denied"},
    {"ListingRefusedInASubdirectory",
     [](auto& s) {
         s.SetListing(Listing(
             {"drwxr-xr-x 2 o g 1 Jan  5  2020 logs", "-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"}));
         s.On("LIST").Uses(1).Refuse("425 Cannot open data connection");
         s.On("LIST").Uses(1).Listing({Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 logs",
                                                "-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"})});
     },
     1,
     {"CWD /www/logs", "DELE /www/old.html", "STOR /www/index.html"},
     {"RMD /www/logs", "STOR /www/logs/"},
     {"index.html"},
     {},
     "Could not list /logs: ",
     {{"index.html", "i"}, {"logs/new.txt", "n"}}},
    // A listing that keeps coming is waited for, however long it takes in all: the
    // time-out counts from its latest line.
    {"SlowListingThatKeepsComing",
     [](auto& s) {
         std::vector<std::string> pieces;
         for (int i = 0; i < 7; ++i)
             pieces.push_back("-rw-r--r-- 1 o g 1 Jan  5  2020 old" + std::to_string(i) +
                              ".html\r\n");
         s.On("LIST").Uses(1).Listing(pieces).pieceDelayMs = 1000;
     },
     0,
     {"DELE /www/old6.html", "STOR /www/index.html"}},
    // "No files found" is how many servers list an empty directory, and how some refuse
    // one they will not list: a name listing that succeeds with no name proves it empty.
    {"EmptyDirectoryAnswers450",
     [](auto& s) {
         s.SetListing(Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 empty"}));
         s.On("LIST").Uses(1).Refuse("450 No files found");
         s.On("LIST").Uses(1).Listing({Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 empty",
                                                "-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"})});
         s.On("NLST").Listing({""});
     },
     0,
     {"CWD /www/empty", "NLST -a", "DELE /www/old.html", "STOR /www/empty/page.html",
      "STOR /www/index.html"},
     {"RMD", "MKD"},
     {"index.html", "empty/page.html"},
     {},
     ", 0 failed; ",
     {{"index.html", "i"}, {"empty/page.html", "p"}}},
    // Refused at once and not proven empty (the name listing is refused as well, or names
    // something): the directory's content is unknown. Nothing is sent into it or deleted
    // in it, the rest of the run goes on, and the run fails.
    {"ListingRefusedAndNamesRefused",
     [](auto& s) {
         s.SetListing(Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 logs"}));
         s.On("LIST").Uses(1).Refuse("550 No files found");
         s.On("LIST").Uses(1).Listing({Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 logs",
                                                "-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"})});
         s.On("NLST").Refuse("550 No files found");
     },
     1,
     {"CWD /www/logs", "NLST -a", "DELE /www/old.html", "STOR /www/index.html"},
     {"STOR /www/logs", "RMD", "MKD"},
     {"index.html"},
     {"logs/new.txt"},
     "Could not list /logs: 550 No files found",
     {{"index.html", "i"}, {"logs/new.txt", "n"}}},
    {"ListingRefusedButNamesListed",
     [](auto& s) {
         s.SetListing(Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 logs"}));
         s.On("LIST").Uses(1).Refuse("450 Permission denied");
         s.On("LIST").Uses(1).Listing({Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 logs",
                                                "-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"})});
         s.On("NLST").Listing({"secret.html\r\n"});
     },
     1,
     {"NLST -a", "DELE /www/old.html", "STOR /www/index.html"},
     {"RMD", "DELE /www/logs"},
     {"index.html"},
     {},
     "Could not list /logs: 450 Permission denied"},
    // Without the root's listing nothing is known: the run sends nothing.
    {"RootListingRefusedAndNamesRefused",
     [](auto& s) {
         s.On("LIST").Refuse("550 No files found");
         s.On("NLST").Refuse("550 No files found");
     },
     1,
     {"NLST -a"},
     {"STOR", "DELE", "MKD"},
     {},
     {"index.html"},
     "Could not list the remote directory /www: 550 No files found"},
    // Every line read, the last one too; index.html is matched (a refresh, not an
    // upload), and its date in 2099 proves no newer copy: it is sent again.
    {"BareLineFeedsAndNoLastLineEnd",
     [](auto& s) {
         s.SetListing("-rw-r--r-- 1 o g 1 Jan  5  2020 old1.html\n"
                      "-rw-r--r-- 1 o g 11 Jan  5  2099 index.html\n"
                      "-rw-r--r-- 1 o g 1 Jan  5  2020 old2.html");
     },
     0,
     {"DELE /www/old1.html", "DELE /www/old2.html", "STOR /www/index.html"},
     {},
     {},
     {},
     "  refresh /index.html"},
    {"ActiveModeRefused",
     [](auto& s) { s.On("PORT").Reply("502 Command 'PORT' not implemented"); },
     1,
     {},
     {"LIST", "STOR", "DELE"},
     {},
     {},
     "Could not list the remote directory /www: The server refused active mode (PORT): 502 "
     "Command 'PORT' not implemented"},
    // Names are bytes: never cut, never folded.
    {"LongNamesAreNeverCut",
     [](auto& s) {
         s.SetListing(Listing({"-rw-r--r-- 1 o g 1 Jan  5  2020 " + std::string(200, 'n'),
                               "-rw-r--r-- 1 o g 1 Jan  5  2020 " + std::string(200, 'n') + "x"}));
     },
     0,
     {"DELE /www/" + std::string(200, 'n') + "x"},
     {"DELE /www/" + std::string(200, 'n') + "\r"},
     {},
     {},
     "",
     {{std::string(200, 'n'), "current"}}},
    {"NamesThatDifferInCaseOrOnlyInBytes",
     [](auto& s) {
         s.SetListing(Listing({"-rw-r--r-- 1 o g 1 Jan  5  2020 A.html",
                               "-rw-r--r-- 1 o g 1 Jan  5  2020 a.html",
                               "-rw-r--r-- 1 o g 1 Jan  5  2020 caf\xe8.html",
                               "-rw-r--r-- 1 o g 1 Jan  5  2020 docs "}));
     },
     0,
     {"DELE /www/caf\xe8.html", "DELE /www/docs "},
     {"DELE /www/A.html", "DELE /www/a.html", "DELE /www/caf\xe9.html"},
     {"caf\xe9.html"},
     {},
     "",
     {{"A.html", "A"}, {"a.html", "a"}, {"caf\xe9.html", "e"}, {"docs", "d"}}},
    // Local files.
    {"LocalNameWithALineBreak",
     nullptr,
     1,
     {"STOR /www/fine.html"},
     {"STOR /www/bad"},
     {"fine.html"},
     {},
     "Could not upload: /bad\\x0aname.html", // printed escaped
     {{"bad\nname.html", "b"}, {"fine.html", "f"}}},
    // Excludes of one kind ("foo/") leave the other kind in: a directory on the disk and a
    // file on the server under one name is a conflict, whatever the excludes say.
    {"ExcludedDirectoryHereFileOnTheServer",
     [](auto& s) {
         s.SetListing(Listing(
             {"-rw-r--r-- 1 o g 4 Jan  5  2020 foo", "-rw-r--r-- 1 o g 1 Jan  5  2020 old.html"}));
     },
     1,
     {"DELE /www/old.html", "STOR /www/index.html"},
     {"DELE /www/foo", "RMD", "STOR /www/foo"},
     {"index.html"},
     {"foo/page.html"},
     "Conflict: /foo: a directory here (excluded), a file on the server",
     {{".pelmoraignore", "foo/\n"}, {"foo/page.html", "p"}, {"index.html", "i"}}},
    {"FileHereExcludedDirectoryOnTheServer",
     [](auto& s) { s.SetListing(Listing({"drwxr-xr-x 2 o g 1 Jan  5  2020 foo"})); },
     1,
     {"STOR /www/index.html"},
     {"STOR /www/foo", "RMD", "DELE", "CWD foo", "CWD /www/foo"},
     {"index.html"},
     {"foo"},
     "Conflict: /foo: a file here, a directory on the server (excluded)",
     {{".pelmoraignore", "foo/\n"}, {"foo", "f"}, {"index.html", "i"}}},
};

std::string RowName(const ::testing::TestParamInfo<TFaultRow>& info) {
    return info.param.name;
}

} // namespace

namespace {
// Failures name the row, not its bytes.
void PrintTo(const TFaultRow& row, std::ostream* os) {
    *os << row.name;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Rows, FaultSuite, ::testing::ValuesIn(rows), RowName);
