#include "ftp_fixture.h"

#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

using TStrings = std::vector<std::string>;

TStrings Lines(TStringList& list) {
    TStrings lines;
    for (int i = 0; i < list.Count(); ++i)
        lines.push_back(list.Strings(i));
    return lines;
}

std::string Bytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class FtpTransfer : public ::testing::Test, public TRecordingFtp {
protected:
    void SetUp() override {
        settings.port = server.Port();
        settings.user = "web";
        settings.password = "secret";
        LogIn();
    }

    void LogIn() {
        if (ftp.Connected()) {
            ftp.Quit();
            ASSERT_TRUE(WaitForEvent("available"));
        }
        events.clear();
        ftp.Connect(settings);
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
        events.clear();
        infos.clear();
        trace.clear();
    }

    // Starts the operation and waits for its ready.
    TStrings CommandsFrom(size_t first) const {
        const TStrings all = server.Commands();
        return TStrings(all.begin() + static_cast<long>(std::min(first, all.size())), all.end());
    }

    // Infos of one code in the order they came, interleaved with reply lines when asked.
    int ProgressBlocks() const {
        int n = 0;
        for (const auto& info : infos)
            n += info.code == ftpProgress && info.text.empty();
        return n;
    }

    TFtpScriptServer server;
    TTempTree temp;
};

const char* const unixListing = "total 12\r\n"
                                "drwxr-xr-x   4 web staff 4096 Jan  1 12:00 .\r\n"
                                "drwxr-xr-x   9 web staff 4096 Jan  1 12:00 ..\r\n"
                                "-rw-r--r--   1 web staff  220 Jan  1 12:00 .htaccess\r\n"
                                "drwxr-xr-x   2 web staff  512 Jan  1 12:00 docs\r\n"
                                "-rw-r--r--   1 web staff 1234 Mar 15  2019 index.html\r\n"
                                "lrwxrwxrwx   1 web staff   11 Feb  2 09:30 current -> docs\r\n";

TEST_F(FtpTransfer, ListingOfAUnixServerAsksForDotFilesAndSortsTheLines) {
    server.SetListing(unixListing);
    server.On("PWD").Reply("257 \"/www/site\" is the current directory");
    const size_t first = server.Commands().size();
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    const TStrings commands = CommandsFrom(first);
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0], "PWD");
    EXPECT_EQ(commands[1], "TYPE A");
    EXPECT_EQ(commands[2].substr(0, 15), "PORT 127,0,0,1,");
    EXPECT_EQ(commands[3], "LIST -a");
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.CurrentDirectory(), "/www/site");
    EXPECT_EQ(ftp.Options.initialDirectory, "");
    EXPECT_EQ(ftp.Listing().Count(), 7);
    // "." and ".." name no entry of this directory: nothing may be sent back for them.
    EXPECT_EQ(Lines(ftp.Directories()), (TStrings{"docs", "current"}));
    EXPECT_EQ(Lines(ftp.Files()), (TStrings{".htaccess", "index.html"}));
    // Each line read once, its entry typed.
    ASSERT_EQ(ftp.Entries().size(), 4u);
    EXPECT_EQ(ftp.Entries()[0].name, ".htaccess");
    EXPECT_EQ(ftp.Entries()[1].kind, TListedKind::Directory);
    EXPECT_EQ(ftp.Entries()[2].size, 1234);
    EXPECT_EQ(ftp.Entries()[3].linkTarget, "docs");
    // Each line twice: as progress and as a listing line.
    EXPECT_EQ(InfoTexts(ftpListingLine), Lines(ftp.Listing()));
    EXPECT_EQ(InfoTexts(ftpProgress), Lines(ftp.Listing()));
    EXPECT_EQ(InfoTexts(ftpListingReady), TStrings{"Listing ready"});
    EXPECT_EQ(InfoTexts(ftpTransferDone), TStrings{"Transfer done"});
    EXPECT_EQ(ftp.BytesTransferred(), static_cast<int64_t>(std::string(unixListing).size()));
    EXPECT_EQ(ftp.DataSlot(), 0);
    EXPECT_EQ(ftp.Status(), ftpCommandReady);
    // The transfer's phases by name: the data connection ended, then the final reply came.
    EXPECT_EQ(trace, (TStrings{"Status CommandReady -> Busy", "Reply Idle -> Pwd",
                               "Reply Pwd -> Type", "Reply Type -> Port", "Reply Port -> Transfer",
                               "Transfer Preparing -> VerbSent", "Transfer VerbSent -> DataEnded",
                               "Transfer DataEnded -> Reported", "Reply Transfer -> Idle",
                               "Status Busy -> CommandReady"}));
}

TEST_F(FtpTransfer, OtherServersGetAPlainList) {
    server.On("SYST").Reply("215 Windows_NT");
    LogIn();
    server.SetListing("01-02-03  10:00AM       <DIR>          images\r\n");
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(server.Commands().back(), "LIST");
    EXPECT_EQ(ftp.Listing().Count(), 1);
    EXPECT_EQ(Lines(ftp.Directories()), TStrings{"images"});
}

// The final reply of LIST and the end of the data connection may come in either order;
// the later of the two completes the listing, once.
class FtpListingRendezvous : public FtpTransfer, public ::testing::WithParamInterface<bool> {};

TEST_P(FtpListingRendezvous, CompletesOnceWhicheverComesLast) {
    const bool finalFirst = GetParam();
    auto& rule = server.On("LIST").Listing({unixListing});
    if (finalFirst)
        rule.FinalBeforeDataEnds(150);
    else
        rule.FinalAfterDataEnds(150);
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Listing().Count(), 7);
    // Which came first shows in the order of the reports.
    size_t finalAt = 0, doneAt = 0;
    for (size_t i = 0; i < infos.size(); ++i) {
        if (infos[i].code == ftpReplyLine && infos[i].text.starts_with("226"))
            finalAt = i;
        if (infos[i].code == ftpTransferDone)
            doneAt = i;
    }
    EXPECT_EQ(finalAt < doneAt, finalFirst);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, FtpListingRendezvous, ::testing::Bool());

TEST_F(FtpTransfer, ListingLinesSplitAcrossPiecesAreWholeAndAnUnfinishedLastLineCounts) {
    server.On("LIST").Listing({"-rw-r--r-- 1 a b 5 Jan 1 12:00 fi", "rst.txt\r",
                               "\n-rw-r--r-- 1 a b 5 Jan 1 12:00 second.txt\r\n-rw-r--r-- 1 a",
                               " b 5 Jan 1 12:00 no end"});
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(Lines(ftp.Listing()), (TStrings{"-rw-r--r-- 1 a b 5 Jan 1 12:00 first.txt",
                                              "-rw-r--r-- 1 a b 5 Jan 1 12:00 second.txt",
                                              "-rw-r--r-- 1 a b 5 Jan 1 12:00 no end"}));
    EXPECT_EQ(Lines(ftp.Files()), (TStrings{"first.txt", "second.txt", "no end"}));
    EXPECT_EQ(InfoTexts(ftpListingLine).size(), 3u);
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
}

TEST_F(FtpTransfer, ListingLinesEndWithLfAloneToo) {
    struct TCase {
        TStrings pieces;
        TStrings lines;
    };
    const std::vector<TCase> cases = {
        // What many UNIX servers send.
        {{"drwxr-xr-x 2 a b 512 Jan 1 12:00 docs\n-rw-r--r-- 1 a b 5 Jan 1 12:00 a.txt\n"},
         {"drwxr-xr-x 2 a b 512 Jan 1 12:00 docs", "-rw-r--r-- 1 a b 5 Jan 1 12:00 a.txt"}},
        // Both kinds in one listing, a CR LF split between pieces, no end on the last.
        {{"x\r", "\ny\n\nz"}, {"x", "y", "", "z"}},
        // A CR that no LF follows is a byte of the name.
        {{"-rw-r--r-- 1 a b 5 Jan 1 12:00 odd\rname\r\n"},
         {"-rw-r--r-- 1 a b 5 Jan 1 12:00 odd\rname"}},
    };
    for (const auto& c : cases) {
        server.On("LIST").Uses(1).Listing(c.pieces);
        events.clear();
        ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
        EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
        EXPECT_EQ(Lines(ftp.Listing()), c.lines);
    }
    // The last listing's lines; a name with a CR in it could not be sent back.
    EXPECT_EQ(Lines(ftp.Directories()), TStrings{});
    EXPECT_EQ(Lines(ftp.Files()), TStrings{});
    EXPECT_TRUE(ftp.Entries().empty());
}

// A listing line of about 40 bytes, numbered.
std::string ListingLines(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "-rw-r--r-- 1 a b 5 Jan 1 12:00 f" + std::to_string(100000 + i) + "\r\n";
    return text;
}

TEST_F(FtpTransfer, ListingPastACapFailsAtOnceAndTheSessionGoesOn) {
    const int64_t lineBytes = static_cast<int64_t>(ListingLines(1).size());
    struct TCase {
        int64_t byteCap;
        int lineCap;
        int lines;
        bool fails;
    };
    const std::vector<TCase> cases = {
        {MaxListingBytes, 100, 100, false},
        {MaxListingBytes, 100, 101, true},
        {MaxListingBytes, 100, 20000, true},
        {100 * lineBytes, MaxListingLines, 100, false},
        {100 * lineBytes - 1, MaxListingLines, 100, true},
        {64 * 1024, MaxListingLines, 20000, true},
    };
    for (const auto& c : cases) {
        const std::string row = std::to_string(c.byteCap) + "/" + std::to_string(c.lineCap) +
                                " with " + std::to_string(c.lines);
        ftp.Options.listingByteCap = c.byteCap;
        ftp.Options.listingLineCap = c.lineCap;
        server.On("LIST").Uses(1).Listing({ListingLines(c.lines)});
        events.clear();
        errorTexts.clear();
        trace.clear();
        ASSERT_TRUE(Perform([&] { ftp.GetListing(); })) << row;
        EXPECT_EQ(ftp.DataSlot(), 0) << row;
        if (!c.fails) {
            EXPECT_EQ(events, (TStrings{"ready", "ListingDone"})) << row;
            EXPECT_EQ(ftp.Listing().Count(), c.lines) << row;
            continue;
        }
        EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "ListingDone"})) << row;
        EXPECT_EQ(errorTexts, TStrings{"Listing too long"}) << row;
        // Our side failed first; the server's answer to the cut connection ends it.
        EXPECT_NE(std::find(trace.begin(), trace.end(), "Transfer DataFailed -> Reported"),
                  trace.end())
            << row << ::testing::PrintToString(trace);
        EXPECT_EQ(ftp.LastError(), ftpOperationFailed) << row;
        // Nothing past the cap is taken in: the listing stops where the cap is.
        EXPECT_LE(ftp.Listing().Count(), c.lineCap) << row;
        EXPECT_LE(ftp.BytesTransferred(), c.byteCap + 2048) << row;
        EXPECT_EQ(ftp.Status(), ftpCommandReady) << row;
    }
    ftp.Options.listingByteCap = MaxListingBytes;
    ftp.Options.listingLineCap = MaxListingLines;
    server.SetListing(unixListing);
    events.clear();
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

TEST_F(FtpTransfer, EndlessListingLineEndsTheListingWithAnError) {
    server.On("LIST").Uses(1).Listing({std::string(70 * 1024, 'x')});
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"error SocketReadError", "ready", "ListingDone"}));
    EXPECT_FALSE(ftp.Success());
    EXPECT_EQ(ftp.Listing().Count(), 0);
    // The session goes on.
    events.clear();
    server.SetListing(unixListing);
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

TEST_F(FtpTransfer, StrangerOnTheDataPortIsShownTheDoor) {
    server.On("LIST").Listing({unixListing}).Intruder();
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_TRUE(server.IntruderRefused());
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(Lines(ftp.Listing()).front(), "total 12");
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

// 450 and 550 to LIST, before any data, are how many servers show an empty directory.
// Every other refusal fails the listing alone: the session goes on.
TEST_F(FtpTransfer, RefusedListingSteps) {
    struct TCase {
        std::string verb;
        std::string reply;
        bool dataFirst;    // the listing comes before the reply
        std::string error; // what OnFtpError says; empty: none, an empty directory
    };
    const std::vector<TCase> cases = {
        {"LIST", "550 No such file or directory", false, ""},
        {"LIST", "450 No files found", false, ""},
        {"LIST", "550 Failed midway", true, "550 Failed midway"},
        {"LIST", "500 Unknown command", false, "500 Unknown command"},
        {"LIST", "425 Can't open data connection", false, "425 Can't open data connection"},
        {"PWD", "550 Not allowed", false, "550 Not allowed"},
        {"TYPE", "504 Type not supported", false, "504 Type not supported"},
        {"PORT", "502 Command not implemented", false,
         "The server refused active mode (PORT): 502 Command not implemented"},
    };
    for (const auto& c : cases) {
        server.SetListing(unixListing);
        ASSERT_TRUE(Perform([&] { ftp.GetListing(); })) << c.reply;
        ASSERT_EQ(ftp.Listing().Count(), 7);
        if (c.dataFirst)
            server.On(c.verb).Uses(1).Listing({unixListing}).Reply(c.reply);
        else
            server.On(c.verb).Uses(1).Refuse(c.reply);
        events.clear();
        errorTexts.clear();
        ASSERT_TRUE(Perform([&] { ftp.GetListing(); })) << c.reply;
        EXPECT_EQ(ftp.LastReplyText(), c.reply);
        EXPECT_TRUE(ftp.Connected()) << c.reply;
        EXPECT_EQ(ftp.Status(), ftpCommandReady) << c.reply;
        EXPECT_EQ(ftp.DataSlot(), 0) << c.reply;
        // Told apart from a listing that came and was empty: not every server that
        // refuses so has an empty directory.
        EXPECT_EQ(ftp.ListingRefused(), c.error.empty()) << c.reply;
        if (c.error.empty()) {
            EXPECT_EQ(events, (TStrings{"ready", "ListingDone"})) << c.reply;
            EXPECT_EQ(ftp.LastError(), ftpNoError) << c.reply;
            EXPECT_TRUE(ftp.Success()) << c.reply;
            EXPECT_EQ(ftp.Listing().Count(), 0) << c.reply;
            EXPECT_EQ(ftp.Files().Count() + ftp.Directories().Count(), 0) << c.reply;
        } else {
            EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "ListingDone"}))
                << c.reply;
            EXPECT_EQ(errorTexts, TStrings{c.error});
            EXPECT_FALSE(ftp.Success()) << c.reply;
        }
    }
    // Nothing of the refusals is left in the way of the next listing.
    events.clear();
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Listing().Count(), 7);
    EXPECT_FALSE(ftp.ListingRefused());
}

// The names alone, dot-files included on a UNIX server; the next listing is a LIST again.
TEST_F(FtpTransfer, NameListingAsksForDotFilesAndKeepsItsLines) {
    server.On("NLST").Uses(1).Listing({".htaccess\r\nindex.html\r\n"});
    const size_t first = server.Commands().size();
    ASSERT_TRUE(Perform([&] { ftp.GetNameListing(); }));
    EXPECT_EQ(CommandsFrom(first).back(), "NLST -a");
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(Lines(ftp.Listing()), (TStrings{".htaccess", "index.html"}));
    EXPECT_FALSE(ftp.ListingRefused());
    server.On("NLST").Uses(1).Refuse("550 No files found");
    ASSERT_TRUE(Perform([&] { ftp.GetNameListing(); }));
    EXPECT_TRUE(ftp.ListingRefused());
    EXPECT_EQ(ftp.Listing().Count(), 0);
    server.SetListing(unixListing);
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(server.Commands().back(), "LIST -a");
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

TEST_F(FtpTransfer, ControlConnectionLostDuringAListingEndsTheSession) {
    server.On("LIST").CloseControl(TFtpRule::CloseBeforeReply);
    ftp.GetListing();
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(events, (TStrings{"error Disconnected", "ready", "ListingDone", "available"}));
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.DataSlot(), 0);
}

// Each listing line and each block sent is a sign of life, and so is every reply.
TEST_F(FtpTransfer, LastActivityFollowsRepliesAndDataBothWays) {
    server.On("LIST").Uses(1).Listing({"a\r\n", "b\r\n", "c\r\n", "d\r\n"}).pieceDelayMs = 150;
    std::vector<uint32_t> lags;
    onInfo = [&](FtpInfo code, const std::string& text) {
        if (code == ftpListingLine || (code == ftpProgress && text.empty()))
            lags.push_back(GetTickCount() - ftp.LastActivity());
    };
    uint32_t start = GetTickCount();
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    ASSERT_EQ(lags.size(), 4u);
    for (const uint32_t lag : lags)
        EXPECT_LT(lag, 50u);
    EXPECT_GE(ftp.LastActivity() - start, 440u);

    server.On("MKD").Uses(1).Delay(300);
    start = GetTickCount();
    ASSERT_TRUE(Perform([&] { ftp.MakeDir("slow"); }));
    EXPECT_GE(ftp.LastActivity() - start, 290u);

    lags.clear();
    const std::string lively = temp.File("lively.bin", Bytes(4 << 20));
    ASSERT_TRUE(Perform([&] { ftp.Put(lively, "lively.bin", BinaryTransfer); }));
    ASSERT_EQ(lags.size(), 16u); // one per block of 256 KiB
    for (const uint32_t lag : lags)
        EXPECT_LT(lag, 50u);
}

TEST_F(FtpTransfer, VmsNameLeftOverFromAnEarlierListingIsNotJoined) {
    server.On("SYST").Reply("215 VMS MultiNet");
    LogIn();
    server.SetListing("LONELY.HTML;1\r\n");
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(ftp.Files().Count(), 0);
    server.SetListing("INDEX.HTML;3  5/6  1-JAN-2000 12:00:00 [WEB]\r\n");
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(Lines(ftp.Files()), TStrings{"INDEX.HTML"});
    ASSERT_EQ(ftp.Entries().size(), 1u);
    EXPECT_EQ(ftp.Entries()[0].form, TListingForm::Vms);
}

class FtpUpload : public FtpTransfer, public ::testing::WithParamInterface<size_t> {};

TEST_P(FtpUpload, SendsTheFileInBlocks) {
    const size_t size = GetParam();
    const std::string content = Bytes(size);
    const std::string local = temp.File("up.bin", content);
    const size_t first = server.Commands().size();
    ASSERT_TRUE(Perform([&] { ftp.Put(local, "up.bin", BinaryTransfer); }));
    const TStrings commands = CommandsFrom(first);
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0], "TYPE I");
    EXPECT_EQ(commands[1].substr(0, 15), "PORT 127,0,0,1,");
    EXPECT_EQ(commands[2], "STOR up.bin");
    EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
    EXPECT_EQ(server.Stored().at("up.bin"), content);
    EXPECT_EQ(InfoTexts(ftpFileSize), TStrings{std::to_string(size)});
    // One progress event per block of 256 KiB.
    EXPECT_EQ(ProgressBlocks(), static_cast<int>((size + 262143) / 262144));
    EXPECT_EQ(InfoTexts(ftpTransferDone), TStrings{"Transfer done"});
    EXPECT_EQ(ftp.BytesTransferred(), static_cast<int64_t>(size));
    EXPECT_TRUE(ftp.Success());
    // The same data commands as a listing's, without its PWD.
    EXPECT_EQ(trace, (TStrings{"Status CommandReady -> Busy", "Reply Idle -> Type",
                               "Reply Type -> Port", "Reply Port -> Transfer",
                               "Transfer Preparing -> VerbSent", "Transfer VerbSent -> Sending",
                               "Transfer Sending -> DataEnded", "Transfer DataEnded -> Reported",
                               "Reply Transfer -> Idle", "Status Busy -> CommandReady"}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FtpUpload, ::testing::Values(0, 1, 4096, 4097, 1 << 20));

TEST_F(FtpTransfer, UploadRendezvousInBothOrdersAndAsciiMode) {
    const std::string local = temp.File("a.txt", "line\r\n");
    for (const bool finalFirst : {true, false}) {
        auto& rule = server.On("STOR").Uses(1);
        if (finalFirst)
            rule.FinalBeforeDataEnds(100);
        else
            rule.FinalAfterDataEnds(100);
        const std::string remote = finalFirst ? "first.txt" : "second.txt";
        events.clear();
        ASSERT_TRUE(Perform([&] { ftp.Put(local, remote, AsciiTransfer); }));
        EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
        EXPECT_EQ(server.Stored().at(remote), "line\r\n");
    }
    // The type holds for the session: asked for before the first file only.
    const auto& commands = server.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "TYPE A"), 1);
    EXPECT_LT(std::find(commands.begin(), commands.end(), "TYPE A"),
              std::find(commands.begin(), commands.end(), "STOR first.txt"));
}

TEST_F(FtpTransfer, UploadRefusals) {
    struct TCase {
        std::function<void()> setUp;
        std::string error;
    };
    const std::string local = temp.File("x.txt", "x");
    std::string localPath;
    std::string remotePath;
    const std::vector<TCase> cases = {
        {[&] { remotePath = ""; }, "error NoRemoteFile"},
        {[&] { localPath = temp.Path("missing.txt"); }, "error LocalOpenError"},
        {[&] { localPath = temp.Dir("a-directory"); }, "error LocalOpenError"},
        // Before any type is in force: a refused TYPE leaves none, and the next upload
        // asks again.
        {[&] { server.On("TYPE").Uses(1).Reply("504 Not that type"); }, "error OperationFailed"},
        {[&] { server.On("STOR").Uses(1).Refuse("553 Not allowed"); }, "error OperationFailed"},
        {[&] { server.On("PORT").Uses(1).Reply("502 Command not implemented"); },
         "error OperationFailed"},
    };
    for (const auto& c : cases) {
        localPath = local;
        remotePath = "x.txt";
        c.setUp();
        events.clear();
        ASSERT_TRUE(Perform([&] { ftp.Put(localPath, remotePath, BinaryTransfer); })) << c.error;
        EXPECT_EQ(events, (TStrings{c.error, "ready", "FileStored"}));
        EXPECT_TRUE(ftp.Connected());
    }
    EXPECT_FALSE(server.HasStored("x.txt"));
}

// The file goes only once the server has answered STOR with its preliminary reply, in
// both modes: the server here takes its data connection (or makes it) first and answers
// a while later, and some servers lose a byte that comes before that answer. A server that
// answers STOR with a final reply at once gets none of the file.
TEST_F(FtpTransfer, UploadWaitsForThePreliminaryReplyInBothModes) {
    struct TCase {
        const char* name;
        TStrings preliminary;
        std::string final;
        std::string content;
        std::string error; // what the upload fails with; empty when it works
    };
    const std::string content = Bytes(300000);
    const std::vector<TCase> cases = {
        {"late150", {"150 Ok to send data"}, "226 Transfer complete", content, ""},
        {"late125", {"125 Data connection already open"}, "226 Transfer complete", content, ""},
        {"refusedAtOnce", {}, "553 Could not create file", content, "553 Could not create file"},
        {"doneAtOnce",
         {},
         "226 Transfer complete",
         content,
         "The server answered STOR before any of the file was sent (226 Transfer complete)"},
        // Nothing was to be sent: the server's word is the whole upload.
        {"emptyFileDoneAtOnce", {}, "226 Transfer complete", "", ""},
    };
    server.AcceptPassive();
    for (const TDataMode mode : {TDataMode::Active, TDataMode::Passive}) {
        settings.dataMode = mode;
        LogIn();
        for (const TCase& c : cases) {
            const std::string remote = std::string(c.name) + "-" + DataModeName(mode);
            SCOPED_TRACE(remote);
            auto& rule = server.On("STOR").Uses(1).PreliminaryAfterData(200);
            rule.Preliminary(c.preliminary).Reply(c.final);
            if (c.preliminary.empty())
                rule.FinalBeforeDataEnds(0);
            const std::string local = temp.File("up.bin", c.content);
            events.clear();
            errorTexts.clear();
            ASSERT_TRUE(Perform([&] { ftp.Put(local, remote, BinaryTransfer); }));
            // The server keeps what came once the data connection has ended.
            ASSERT_TRUE(WaitFor([&] { return server.HasStored(remote); }));
            if (c.error.empty()) {
                EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
                EXPECT_TRUE(ftp.Success());
                EXPECT_TRUE(server.Stored().at(remote) == c.content) << "the file whole";
            } else {
                EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "FileStored"}));
                EXPECT_EQ(errorTexts, TStrings{c.error});
                EXPECT_FALSE(ftp.Success());
                EXPECT_EQ(server.Stored().at(remote), "") << "no byte of the file was sent";
            }
            EXPECT_EQ(server.EarlyDataBytes(), 0);
            EXPECT_EQ(ftp.DataSlot(), 0);
            EXPECT_TRUE(ftp.Connected());
        }
    }
    // And the session goes on.
    const std::string after = temp.File("after.bin", "after");
    ASSERT_TRUE(PerformClean([&] { ftp.Put(after, "after.bin", BinaryTransfer); }));
    EXPECT_EQ(server.Stored().at("after.bin"), "after");
}

TEST_F(FtpTransfer, ServerCuttingTheUploadShortIsAWriteErrorWithOneReady) {
    const std::string big = temp.File("big.bin", Bytes(4 << 20));
    server.On("STOR").CutDataAfter(4096);
    ASSERT_TRUE(Perform([&] { ftp.Put(big, "big.bin", BinaryTransfer); }));
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(events, (TStrings{"error SocketWriteError", "ready", "FileStored"}));
    EXPECT_EQ(InfoTexts(ftpSocketWriteError), TStrings{"Write error"});
    EXPECT_FALSE(ftp.Success());
    EXPECT_TRUE(ftp.Connected());
}

TEST_F(FtpTransfer, LocalReadErrorIsReportedWithOneReady) {
    const std::string path = temp.File("shrinks.bin", Bytes(600 * 1024));
    // The file shrinks after its size was taken.
    onInfo = [&](FtpInfo code, const std::string&) {
        if (code == ftpFileSize)
            std::filesystem::resize_file(path, 300 * 1024);
    };
    ASSERT_TRUE(Perform([&] { ftp.Put(path, "shrinks.bin", BinaryTransfer); }));
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(events, (TStrings{"error LocalReadError", "ready", "FileStored"}));
    EXPECT_EQ(InfoTexts(ftpLocalReadError), TStrings{"File read"});
    EXPECT_EQ(ProgressBlocks(), 1);
    EXPECT_FALSE(ftp.Success());
}

TEST_F(FtpTransfer, AbortDuringAnUploadThenANewSessionUploadsAgain) {
    // Several blocks, so that the abort comes with most of the file still to go.
    const std::string local = temp.File("abort.bin", Bytes(4 << 20));
    int blocks = 0;
    onInfo = [&](FtpInfo code, const std::string& text) {
        if (code == ftpProgress && text.empty() && ++blocks == 2)
            ftp.Abort();
    };
    ftp.Put(local, "abort.bin", BinaryTransfer);
    ASSERT_TRUE(WaitForEvent("available"));
    Settle();
    EXPECT_EQ(events, TStrings{"available"});
    EXPECT_EQ(blocks, 2);
    EXPECT_EQ(InfoTexts(ftpTransferAborted), (TStrings{"Transfer aborted", "Transfer aborted"}));
    EXPECT_EQ(InfoTexts(ftpTransferDone), TStrings{"Transfer done"});
    EXPECT_FALSE(ftp.Success());
    EXPECT_EQ(ftp.Status(), ftpAvailable);
    EXPECT_TRUE(ftp.AbortRequested());

    // The abort belonged to that upload: the next one, before any listing, goes through.
    onInfo = nullptr;
    LogIn();
    ASSERT_TRUE(Perform([&] { ftp.Put(local, "again.bin", BinaryTransfer); }));
    EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
    EXPECT_EQ(server.Stored().at("again.bin").size(), 4u << 20);
}

TEST_F(FtpTransfer, AbortDuringAListingThenANewSessionListsAgain) {
    server.On("LIST").Uses(1).Listing({"first\r\n", "second\r\n", "third\r\n"});
    onInfo = [&](FtpInfo code, const std::string&) {
        if (code == ftpListingLine && ftp.Connected())
            ftp.Abort();
    };
    ftp.GetListing();
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(ftp.DataSlot(), 0);
    EXPECT_EQ(ftp.Listing().Count(), 1);
    onInfo = nullptr;
    LogIn();
    server.SetListing(unixListing);
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

TEST_F(FtpTransfer, AbortBetweenTheUploadsConnectionAndItsStorThenUploadAgain) {
    const std::string content = Bytes(10000);
    const std::string local = temp.File("early.bin", content);
    // This server connects back as soon as it reads PORT, and answers it late.
    server.On("PORT").Uses(1).ConnectOnPort().Delay(300);
    ftp.Put(local, "early.bin", BinaryTransfer);
    ASSERT_TRUE(WaitFor([&] { return ftp.DataSlot() != 0; }));
    ftp.Abort();
    EXPECT_EQ(ftp.DataSlot(), 0);
    LogIn();
    ASSERT_TRUE(Perform([&] { ftp.Put(local, "early.bin", BinaryTransfer); }));
    EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
    EXPECT_EQ(server.Stored().at("early.bin"), content);
    EXPECT_EQ(ftp.DataSlot(), 0);
}

// Quit while something runs is a disconnect: the listing it cut short is no success,
// and the next Connect works at its first call.
TEST_F(FtpTransfer, QuitDuringAListingDisconnectsAndTheNextSessionListsAgain) {
    server.On("LIST").Uses(1).Listing({"first\r\n", "second\r\n", "third\r\n"});
    bool quit = false;
    onInfo = [&](FtpInfo code, const std::string&) {
        if (code == ftpListingLine && !quit) {
            quit = true;
            ftp.Quit();
        }
    };
    ftp.GetListing();
    ASSERT_TRUE(WaitFor([&] { return quit; }));
    onInfo = nullptr;
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.DataSlot(), 0);
    EXPECT_EQ(ftp.Status(), ftpAvailable);
    ASSERT_TRUE(WaitForEvent("available"));
    EXPECT_EQ(events, (TStrings{"error Disconnected", "ready", "available"}));
    EXPECT_EQ(ftp.LastError(), ftpDisconnected);
    events.clear();
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
    Settle();
    EXPECT_EQ(events, (TStrings{"ready", "LoggedIn"}));
    events.clear();
    server.SetListing(unixListing);
    ASSERT_TRUE(Perform([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

} // namespace
} // namespace pelmora::testing
