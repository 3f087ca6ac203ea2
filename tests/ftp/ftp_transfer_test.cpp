#include "ftp_fixture.h"

#include "ftp/listing_parser.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

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
        ftp.SetFtpServer("127.0.0.1");
        ftp.FtpPort = server.Port();
        ftp.UserName = "web";
        ftp.UserPassword = "secret";
        LogIn();
    }

    void LogIn() {
        if (ftp.Connected()) {
            ftp.Quit();
            ASSERT_TRUE(WaitForEvent("available"));
        }
        events.clear();
        ftp.Connect();
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
        events.clear();
        infos.clear();
    }

    // Starts the operation and waits for its ready.
    bool Run(const std::function<void()>& operation) {
        const int before = Count("ready");
        operation();
        const bool done = WaitFor([&] { return Count("ready") > before; });
        Settle();
        return done;
    }

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
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    const TStrings commands = CommandsFrom(first);
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0], "PWD");
    EXPECT_EQ(commands[1], "TYPE A");
    EXPECT_EQ(commands[2].substr(0, 15), "PORT 127,0,0,1,");
    EXPECT_EQ(commands[3], "LIST -a");
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.InitialDirectory, "/www/site");
    EXPECT_EQ(ftp.Listing().Count(), 7);
    EXPECT_EQ(Lines(ftp.Directories()), (TStrings{".", "..", "docs", "current"}));
    EXPECT_EQ(Lines(ftp.Files()), (TStrings{".htaccess", "index.html"}));
    // Each line twice: as progress and as a listing line.
    EXPECT_EQ(InfoTexts(ftpListingLine), Lines(ftp.Listing()));
    EXPECT_EQ(InfoTexts(ftpProgress), Lines(ftp.Listing()));
    EXPECT_EQ(InfoTexts(ftpListingReady), TStrings{"Listing ready"});
    EXPECT_EQ(InfoTexts(ftpTransferDone), TStrings{"Transfer done"});
    EXPECT_EQ(ftp.BytesTransferred(), static_cast<int64_t>(std::string(unixListing).size()));
    EXPECT_EQ(ftp.DataSlot(), 0);
    EXPECT_EQ(ftp.Status(), ftpCommandReady);
}

TEST_F(FtpTransfer, OtherServersGetAPlainList) {
    server.On("SYST").Reply("215 Windows_NT");
    LogIn();
    server.SetListing("01-02-03  10:00AM       <DIR>          images\r\n");
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    EXPECT_EQ(server.Commands().back(), "LIST");
    EXPECT_EQ(ftp.Listing().Count(), 1);
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
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
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

TEST_F(FtpTransfer, ListingLinesSplitAcrossPiecesAreWholeAndAnUnfinishedLastLineIsDropped) {
    server.On("LIST").Listing({"-rw-r--r-- 1 a b 5 Jan 1 12:00 fi", "rst.txt\r",
                               "\n-rw-r--r-- 1 a b 5 Jan 1 12:00 second.txt\r\nno end"});
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    EXPECT_EQ(Lines(ftp.Listing()), (TStrings{"-rw-r--r-- 1 a b 5 Jan 1 12:00 first.txt",
                                              "-rw-r--r-- 1 a b 5 Jan 1 12:00 second.txt"}));
    EXPECT_EQ(Lines(ftp.Files()), (TStrings{"first.txt", "second.txt"}));
    EXPECT_EQ(InfoTexts(ftpListingLine).size(), 2u);
}

TEST_F(FtpTransfer, EndlessListingLineEndsTheListingWithAnError) {
    server.On("LIST").Uses(1).Listing({std::string(70 * 1024, 'x')});
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"error 12", "ready", "ListingDone"}));
    EXPECT_FALSE(ftp.Success());
    EXPECT_EQ(ftp.Listing().Count(), 0);
    // The session goes on.
    events.clear();
    server.SetListing(unixListing);
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

TEST_F(FtpTransfer, StrangerOnTheDataPortIsShownTheDoor) {
    server.On("LIST").Listing({unixListing}).Intruder();
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    EXPECT_TRUE(server.IntruderRefused());
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(Lines(ftp.Listing()).front(), "total 12");
    EXPECT_EQ(ftp.Listing().Count(), 7);
}

TEST_F(FtpTransfer, RefusedListingStepsFailTheSession) {
    for (const std::string verb : {"PWD", "TYPE", "PORT", "LIST"}) {
        LogIn();
        server.On(verb).Uses(1).Refuse("500 No");
        ftp.GetListing();
        ASSERT_TRUE(WaitForEvent("available")) << verb;
        EXPECT_EQ(events, (TStrings{"error 14", "ready", "ListingDone", "available"})) << verb;
        EXPECT_FALSE(ftp.Connected());
    }
}

TEST_F(FtpTransfer, VmsNameLeftOverFromAnEarlierListingIsNotJoined) {
    server.On("SYST").Reply("215 VMS MultiNet");
    LogIn();
    server.SetListing("LONELY.HTML;1\r\n");
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    EXPECT_EQ(ftp.Files().Count(), 0);
    server.SetListing("INDEX.HTML;3  5/6  1-JAN-2000 12:00:00 [WEB]\r\n");
    ASSERT_TRUE(Run([&] { ftp.GetListing(); }));
    EXPECT_EQ(Lines(ftp.Files()), TStrings{"INDEX.HTML"});
}

class FtpUpload : public FtpTransfer, public ::testing::WithParamInterface<size_t> {};

TEST_P(FtpUpload, SendsTheFileInBlocks) {
    const size_t size = GetParam();
    const std::string content = Bytes(size);
    ftp.LocalFile = temp.File("up.bin", content);
    ftp.RemoteFile = "up.bin";
    const size_t first = server.Commands().size();
    ASSERT_TRUE(Run([&] { ftp.PutFile(); }));
    const TStrings commands = CommandsFrom(first);
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0], "TYPE I");
    EXPECT_EQ(commands[1].substr(0, 15), "PORT 127,0,0,1,");
    EXPECT_EQ(commands[2], "STOR up.bin");
    EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
    EXPECT_EQ(server.Stored().at("up.bin"), content);
    EXPECT_EQ(InfoTexts(ftpFileSize), TStrings{std::to_string(size)});
    EXPECT_EQ(ProgressBlocks(), static_cast<int>((size + 2047) / 2048));
    EXPECT_EQ(InfoTexts(ftpTransferDone), TStrings{"Transfer done"});
    EXPECT_EQ(ftp.BytesTransferred(), static_cast<int64_t>(size));
    EXPECT_TRUE(ftp.Success());
}

INSTANTIATE_TEST_SUITE_P(Sizes, FtpUpload, ::testing::Values(0, 1, 4096, 4097, 1 << 20));

TEST_F(FtpTransfer, UploadRendezvousInBothOrdersAndAsciiMode) {
    ftp.TransferMode = AsciiTransfer;
    ftp.LocalFile = temp.File("a.txt", "line\r\n");
    for (const bool finalFirst : {true, false}) {
        auto& rule = server.On("STOR").Uses(1);
        if (finalFirst)
            rule.FinalBeforeDataEnds(100);
        else
            rule.FinalAfterDataEnds(100);
        ftp.RemoteFile = finalFirst ? "first.txt" : "second.txt";
        events.clear();
        ASSERT_TRUE(Run([&] { ftp.PutFile(); }));
        EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
        EXPECT_EQ(server.Stored().at(ftp.RemoteFile), "line\r\n");
    }
    EXPECT_EQ(server.Commands().at(server.Commands().size() - 3), "TYPE A");
}

TEST_F(FtpTransfer, UploadRefusals) {
    struct TCase {
        std::function<void()> setUp;
        std::string error;
    };
    const std::string local = temp.File("x.txt", "x");
    const std::vector<TCase> cases = {
        {[&] { ftp.RemoteFile = ""; }, "error 21"},
        {[&] { ftp.LocalFile = temp.Path("missing.txt"); }, "error 17"},
        {[&] { ftp.LocalFile = temp.Dir("a-directory"); }, "error 17"},
        {[&] { server.On("STOR").Uses(1).Refuse("553 Not allowed"); }, "error 29"},
    };
    for (const auto& c : cases) {
        ftp.LocalFile = local;
        ftp.RemoteFile = "x.txt";
        c.setUp();
        events.clear();
        ASSERT_TRUE(Run([&] { ftp.PutFile(); })) << c.error;
        EXPECT_EQ(events, (TStrings{c.error, "ready", "FileStored"}));
        EXPECT_TRUE(ftp.Connected());
    }
    EXPECT_FALSE(server.HasStored("x.txt"));
}

TEST_F(FtpTransfer, ServerCuttingTheUploadShortIsAWriteErrorWithOneReady) {
    ftp.LocalFile = temp.File("big.bin", Bytes(4 << 20));
    ftp.RemoteFile = "big.bin";
    server.On("STOR").CutDataAfter(4096);
    ASSERT_TRUE(Run([&] { ftp.PutFile(); }));
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(events, (TStrings{"error 13", "ready", "FileStored"}));
    EXPECT_EQ(InfoTexts(ftpSocketWriteError), TStrings{"Write error"});
    EXPECT_FALSE(ftp.Success());
    EXPECT_TRUE(ftp.Connected());
}

TEST_F(FtpTransfer, LocalReadErrorIsReportedWithOneReady) {
    const std::string path = temp.File("shrinks.bin", Bytes(10000));
    ftp.LocalFile = path;
    ftp.RemoteFile = "shrinks.bin";
    // The file shrinks after its size was taken.
    onInfo = [&](FtpInfo code, const std::string&) {
        if (code == ftpFileSize)
            std::filesystem::resize_file(path, 3000);
    };
    ASSERT_TRUE(Run([&] { ftp.PutFile(); }));
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(events, (TStrings{"error 19", "ready", "FileStored"}));
    EXPECT_EQ(InfoTexts(ftpLocalReadError), TStrings{"File read"});
    EXPECT_EQ(ProgressBlocks(), 1);
    EXPECT_FALSE(ftp.Success());
}

TEST_F(FtpTransfer, AbortDuringAnUploadThenANewSessionUploadsAgain) {
    ftp.LocalFile = temp.File("abort.bin", Bytes(64 * 1024));
    ftp.RemoteFile = "abort.bin";
    int blocks = 0;
    onInfo = [&](FtpInfo code, const std::string& text) {
        if (code == ftpProgress && text.empty() && ++blocks == 2)
            ftp.Abort();
    };
    ftp.PutFile();
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
    ftp.RemoteFile = "again.bin";
    ASSERT_TRUE(Run([&] { ftp.PutFile(); }));
    EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
    EXPECT_EQ(server.Stored().at("again.bin").size(), 64u * 1024);
}

} // namespace
} // namespace pelmora::testing
