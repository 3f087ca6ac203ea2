#include "ftp_fixture.h"

#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

using TStrings = std::vector<std::string>;

// ---------------------------------------------------------------------------------
// The replies that name a passive port

TEST(PassiveReplies, PasvNamesSixNumbersWithOrWithoutParentheses) {
    struct TCase {
        const char* line;
        const char* address; // nullptr: no target
        uint16_t port;
    };
    const TCase cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,156,64)", "127.0.0.1", 40000},
        {"227 Entering Passive Mode 10,1,2,3,0,21", "10.1.2.3", 21},
        {"227 =192,168,0,9,255,255", "192.168.0.9", 65535},
        {"227 Entering Passive Mode (0,0,0,0,4,1).", "0.0.0.0", 1025},
        // A number before the six is no part of them.
        {"227 Mode 2 (127,0,0,1,4,1)", "127.0.0.1", 1025},
        {"227 Entering Passive Mode (127,0,0,256,4,1)", nullptr, 0},
        {"227 Entering Passive Mode (127,0,0,1,1000,1)", nullptr, 0},
        {"227 Entering Passive Mode (127,0,0,1,0,0)", nullptr, 0},
        {"227 Entering Passive Mode (127,0,0,1,4)", nullptr, 0},
        {"227 Entering Passive Mode (127,0,0,1,4,)", nullptr, 0},
        {"227 Entering Passive Mode (127,,0,1,4,1)", nullptr, 0},
        {"227 Entering Passive Mode", nullptr, 0},
        {"227", nullptr, 0},
        {"", nullptr, 0},
    };
    for (const TCase& c : cases) {
        const auto target = ParsePasvReply(c.line);
        if (c.address == nullptr) {
            EXPECT_FALSE(target) << c.line;
            continue;
        }
        ASSERT_TRUE(target) << c.line;
        EXPECT_EQ(target->address, c.address) << c.line;
        EXPECT_EQ(target->port, c.port) << c.line;
    }
}

TEST(PassiveReplies, EpsvNamesAPortBetweenDelimiters) {
    struct TCase {
        const char* line;
        int port; // 0: none
    };
    const TCase cases[] = {
        {"229 Entering Extended Passive Mode (|||40123|)", 40123},
        {"229 Extended (!!!1!)", 1},
        {"229 Entering Extended Passive Mode (|||65535|)", 65535},
        {"229 Entering Extended Passive Mode (|||65536|)", 0},
        {"229 Entering Extended Passive Mode (|||0|)", 0},
        {"229 Entering Extended Passive Mode (|||40123)", 0},
        {"229 Entering Extended Passive Mode (||40123|)", 0},
        {"229 Entering Extended Passive Mode (|||-5|)", 0},
        {"229 Entering Extended Passive Mode (|||abc|)", 0},
        {"229 Entering Extended Passive Mode (111401231)", 0},
        {"229 Entering Extended Passive Mode", 0},
        {"", 0},
    };
    for (const TCase& c : cases) {
        const auto port = ParseEpsvReply(c.line);
        if (c.port == 0)
            EXPECT_FALSE(port) << c.line;
        else
            EXPECT_EQ(port, std::optional<uint16_t>(static_cast<uint16_t>(c.port))) << c.line;
    }
}

TEST(PassiveReplies, DataModeNamesReadBack) {
    for (const TDataMode mode : {TDataMode::Auto, TDataMode::Passive, TDataMode::Active})
        EXPECT_EQ(ParseDataMode(DataModeName(mode)), mode);
    EXPECT_EQ(ParseDataMode("PASSIVE"), TDataMode::Passive);
    EXPECT_EQ(ParseDataMode(""), TDataMode::Auto);
    EXPECT_FALSE(ParseDataMode("pasv"));
}

// ---------------------------------------------------------------------------------
// Against the script server

class FtpPassive : public ::testing::Test, public TRecordingFtp {
protected:
    void SetUp() override {
        server.AcceptPassive();
        settings.port = server.Port();
        settings.user = "web";
        settings.password = "secret";
        settings.dataMode = TDataMode::Auto;
        server.SetListing("-rw-r--r--   1 web staff 1234 Mar 15  2019 index.html\r\n");
    }

    void LogIn() {
        ftp.Connect(settings);
        ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
        events.clear();
        infos.clear();
        trace.clear();
    }

    bool List() {
        return Perform([&] { ftp.GetListing(); });
    }

    // The commands since the mark, with a PORT argument cut to its verb.
    TStrings CommandsSince(size_t mark) const {
        const TStrings all = server.Commands();
        TStrings commands(all.begin() + static_cast<long>(std::min(mark, all.size())), all.end());
        for (std::string& c : commands)
            if (c.rfind("PORT ", 0) == 0)
                c = "PORT";
        return commands;
    }

    bool Traced(const std::string& part) const {
        return std::any_of(trace.begin(), trace.end(), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    }

    TFtpScriptServer server;
    TTempTree temp;
};

TEST_F(FtpPassive, EpsvIsTriedFirstAndCarriesListingAndUpload) {
    LogIn();
    EXPECT_EQ(DataModeText(ftp.Traits().dataModeInUse), "");
    size_t mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "EPSV", "LIST -a"}));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    ASSERT_EQ(ftp.Entries().size(), 1u);
    EXPECT_EQ(ftp.Entries()[0].name, "index.html");
    EXPECT_EQ(DataModeText(ftp.Traits().dataModeInUse), "passive (EPSV)");
    EXPECT_EQ(ftp.DataSlot(), 0);
    EXPECT_TRUE(Traced("Reply Epsv -> PassiveConnect"));

    // An upload larger than a socket buffer, so the send loop has to wait for room.
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 13 % 251);
    const std::string big = temp.File("big.bin", bytes);
    events.clear();
    mark = server.Commands().size();
    ASSERT_TRUE(Perform([&] { ftp.Put(big, "big.bin", BinaryTransfer); }));
    EXPECT_EQ(CommandsSince(mark), (TStrings{"TYPE I", "EPSV", "STOR big.bin"}));
    EXPECT_EQ(events, (TStrings{"ready", "FileStored"}));
    EXPECT_TRUE(ftp.Success());
    EXPECT_EQ(server.Stored()["big.bin"], bytes);
    EXPECT_EQ(server.DataConnections(), 2);
}

TEST_F(FtpPassive, RefusedEpsvGivesWayToPasvForTheRestOfTheSession) {
    server.On("EPSV").Reply("500 EPSV not understood");
    LogIn();
    size_t mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "EPSV", "PASV", "LIST -a"}));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(DataModeText(ftp.Traits().dataModeInUse), "passive (PASV)");
    mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "PASV", "LIST -a"}));
    EXPECT_EQ(ftp.Entries().size(), 1u);
}

TEST_F(FtpPassive, BothRefusedFallsBackToPortInAutoAndFailsInPassive) {
    server.On("EPSV").Reply("500 EPSV not understood");
    server.On("PASV").Reply("502 Command not implemented");
    LogIn();
    size_t mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "EPSV", "PASV", "PORT", "LIST -a"}));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(DataModeText(ftp.Traits().dataModeInUse), "active (PORT)");
    EXPECT_TRUE(Traced("active mode (PORT) for the rest of the session"));
    mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "PORT", "LIST -a"}));

    // Passive only: never PORT, and the reason names both answers.
    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available"));
    settings.dataMode = TDataMode::Passive;
    LogIn();
    mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "EPSV", "PASV"}));
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "ListingDone"}));
    EXPECT_FALSE(ftp.Success());
    EXPECT_EQ(errorTexts, (TStrings{"The server refused passive mode (EPSV: 500 EPSV not "
                                    "understood, PASV: 502 Command not implemented); try "
                                    "FTP.dataMode=active"}));
    EXPECT_EQ(ftp.Status(), ftpCommandReady);
}

TEST_F(FtpPassive, PasvNamingAnotherHostConnectsToTheControlPeerAndSaysSoOnce) {
    server.On("EPSV").Reply("502 Command not implemented");
    server.On("PASV").Passive("10.1.2.3");
    LogIn();
    ASSERT_TRUE(List());
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Entries().size(), 1u);
    EXPECT_EQ(server.DataConnections(), 1);
    const auto named = [&] {
        return std::count_if(trace.begin(), trace.end(), [](const std::string& line) {
            return line == "PASV named 10.1.2.3; connecting to 127.0.0.1 instead";
        });
    };
    EXPECT_EQ(named(), 1);
    ASSERT_TRUE(List());
    EXPECT_EQ(server.DataConnections(), 2);
    EXPECT_EQ(named(), 1);
}

TEST_F(FtpPassive, APassivePortThatRefusesTheConnection) {
    server.On("EPSV").DeadPort().Uses(1);
    LogIn();
    size_t mark = server.Commands().size();
    ASSERT_TRUE(List());
    // Auto: the same listing goes on in active mode, and so does the session.
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "EPSV", "PORT", "LIST -a"}));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(ftp.Entries().size(), 1u);
    EXPECT_TRUE(Traced("could not be made (Connection refused)"));
    mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "PORT", "LIST -a"}));

    // Passive: the operation fails and says where it tried and what to try instead.
    ftp.Quit();
    ASSERT_TRUE(WaitForEvent("available"));
    server.On("EPSV").DeadPort().Uses(1);
    settings.dataMode = TDataMode::Passive;
    LogIn();
    ASSERT_TRUE(List());
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "ListingDone"}));
    ASSERT_EQ(errorTexts.size(), 1u);
    EXPECT_EQ(errorTexts[0].rfind("The passive data connection to 127.0.0.1:", 0), 0u)
        << errorTexts[0];
    EXPECT_NE(errorTexts[0].find(" could not be made (Connection refused); try "
                                 "FTP.dataMode=active"),
              std::string::npos)
        << errorTexts[0];
    EXPECT_EQ(ftp.Status(), ftpCommandReady);
    // The session is still good for the next operation, passive again.
    errorTexts.clear();
    events.clear();
    ASSERT_TRUE(List());
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_EQ(DataModeText(ftp.Traits().dataModeInUse), "passive (EPSV)");
}

TEST_F(FtpPassive, WhenNeitherModeWorksTheReasonNamesBoth) {
    server.On("EPSV").DeadPort();
    server.On("LIST").Refuse("425 Can't open data connection");
    LogIn();
    ASSERT_TRUE(List());
    EXPECT_EQ(events, (TStrings{"error OperationFailed", "ready", "ListingDone"}));
    ASSERT_EQ(errorTexts.size(), 1u);
    EXPECT_EQ(errorTexts[0].rfind("The server could not connect back in active mode (425 Can't "
                                  "open data connection), and before that: The passive data "
                                  "connection to 127.0.0.1:",
                                  0),
              0u)
        << errorTexts[0];
    EXPECT_NE(errorTexts[0].find("(Connection refused)"), std::string::npos) << errorTexts[0];
}

TEST_F(FtpPassive, APassivePortThatNeverAnswersIsGivenUpInTime) {
    server.On("EPSV").SilentPort().Uses(1);
    ftp.Options.passiveConnectTimeout = 300;
    LogIn();
    const size_t mark = server.Commands().size();
    const uint32_t start = GetTickCount();
    ASSERT_TRUE(List());
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "EPSV", "PORT", "LIST -a"}));
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_TRUE(Traced("could not be made (No answer within 300 ms)"));
}

TEST_F(FtpPassive, EmptyDirectoryRefusalAfterOurConnectionIsStillEmpty) {
    // Our connection to the passive port is no sign the server began the listing: a 550
    // at once still means an empty directory.
    server.On("LIST").Refuse("550 No files found");
    LogIn();
    ASSERT_TRUE(List());
    EXPECT_EQ(events, (TStrings{"ready", "ListingDone"}));
    EXPECT_TRUE(ftp.Success());
    EXPECT_EQ(ftp.Listing().Count(), 0);
}

TEST_F(FtpPassive, ActiveModeSendsNoPassiveCommand) {
    settings.dataMode = TDataMode::Active;
    LogIn();
    const size_t mark = server.Commands().size();
    ASSERT_TRUE(List());
    EXPECT_EQ(CommandsSince(mark), (TStrings{"PWD", "TYPE A", "PORT", "LIST -a"}));
    EXPECT_EQ(DataModeText(ftp.Traits().dataModeInUse), "active (PORT)");
}

} // namespace
} // namespace pelmora::testing
