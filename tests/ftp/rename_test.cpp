// Renaming a file: RNFR, then RNTO, and what a refusal of either leaves the session knowing.
#include "ftp_fixture.h"

#include "tests/support/ftp_script_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

using TStrings = std::vector<std::string>;

class FtpRename : public ::testing::Test, public TRecordingFtp {
protected:
    void SetUp() override {
        settings.port = server.Port();
        settings.user = "web";
        settings.password = "secret";
        ftp.OnFileRenamed = [this](TObject*) { events.push_back("FileRenamed"); };
        ftp.Connect(settings);
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
        events.clear();
    }

    // Runs one rename to its ready; the commands it sent.
    TStrings Rename(const std::string& from, const std::string& to) {
        const size_t before = server.Commands().size();
        const int readies = Count("ready");
        ftp.Rename(from, to);
        EXPECT_TRUE(WaitFor([&] { return Count("ready") > readies; }));
        Settle();
        const TStrings all = server.Commands();
        return TStrings(all.begin() + static_cast<long>(before), all.end());
    }

    TFtpScriptServer server;
};

TEST_F(FtpRename, RnfrThenRntoAndTheRenamedEventFollowsTheReady) {
    EXPECT_EQ(Rename("/www/.tmp", "/www/index.html"),
              (TStrings{"RNFR /www/.tmp", "RNTO /www/index.html"}));
    EXPECT_EQ(events, (TStrings{"ready", "FileRenamed"}));
    EXPECT_TRUE(ftp.Success());
    EXPECT_EQ(ftp.Status(), ftpCommandReady);
    EXPECT_TRUE(ftp.RenameSourceTaken());
    EXPECT_TRUE(std::find(trace.begin(), trace.end(), "Reply RenameFrom -> RenameTo") !=
                trace.end())
        << ::testing::PrintToString(trace);
}

// Which step refused, and whether the session may rename again.
TEST_F(FtpRename, ARefusalFailsTheOperationAndSaysWhichStepRefused) {
    struct TRow {
        const char* verb;
        const char* reply;
        TStrings sent;
        bool sourceTaken;
        bool offered;
    };
    const TRow rows[] = {
        {"RNTO", "553 File exists", {"RNFR a", "RNTO b"}, true, true},
        {"RNTO", "450 Busy", {"RNFR a", "RNTO b"}, true, true},
        {"RNFR", "550 No such file", {"RNFR a"}, false, true},
        {"RNFR", "501 Bad name", {"RNFR a"}, false, true},
        {"RNFR", "502 Command not implemented", {"RNFR a"}, false, false},
        {"RNTO", "500 Unknown command", {"RNFR a", "RNTO b"}, true, false},
        {"RNFR", "504 Not for this", {"RNFR a"}, false, false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::string(row.verb) + " " + row.reply);
        server.On(row.verb).Uses(1).Reply(row.reply);
        events.clear();
        errorTexts.clear();
        EXPECT_EQ(Rename("a", "b"), row.sent);
        EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "FileRenamed"}));
        EXPECT_EQ(errorTexts, TStrings{row.reply});
        EXPECT_EQ(ftp.LastReplyText(), row.reply);
        EXPECT_EQ(ftp.RenameSourceTaken(), row.sourceTaken);
        EXPECT_EQ(ftp.Traits().RenameOffered(), row.offered);
        ASSERT_EQ(ftp.Status(), ftpCommandReady);
        // A refusal as unknown lasts until the next session.
        if (!row.offered) {
            ftp.Quit();
            ASSERT_TRUE(WaitFor([&] { return !ftp.Connected(); }));
            ftp.Connect(settings);
            ASSERT_TRUE(WaitForEvent("LoggedIn"));
            EXPECT_TRUE(ftp.Traits().RenameOffered());
        }
    }
}

TEST_F(FtpRename, ANameWithALineBreakSendsNothing) {
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"a\r\nDELE x", "b"}, {"a", "b\nDELE x"}}) {
        events.clear();
        EXPECT_TRUE(Rename(from, to).empty());
        EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "FileRenamed"}));
        EXPECT_EQ(ftp.Status(), ftpCommandReady);
    }
    // The session is still good for a rename.
    EXPECT_EQ(Rename("a", "b"), (TStrings{"RNFR a", "RNTO b"}));
}

} // namespace
} // namespace pelmora::testing
