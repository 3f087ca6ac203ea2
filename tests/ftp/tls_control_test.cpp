// What the login does about TLS with a server that has none, and the fingerprint forms a
// user may type.
#include "ftp_fixture.h"

#include "net/tls_stream.h"
#include "tests/support/ftp_script_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

using TStrings = std::vector<std::string>;

class TlsLogin : public ::testing::Test, public TRecordingFtp {
protected:
    void SetUp() override {
        settings.port = server.Port();
        settings.user = "web";
        settings.password = "secret";
    }
    TFtpScriptServer server;
};

TEST_F(TlsLogin, RequireAgainstAServerWithoutTlsSendsNoUserAndSaysWhy) {
    settings.tlsMode = TTlsMode::Require;
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("ready")) << ::testing::PrintToString(events);
    Settle();
    EXPECT_EQ(server.Commands(), TStrings{"AUTH TLS"});
    EXPECT_FALSE(Saw("LoggedIn"));
    ASSERT_EQ(errorTexts.size(), 1u);
    EXPECT_NE(errorTexts[0].find("offers no TLS (AUTH TLS: 502"), std::string::npos)
        << errorTexts[0];
    EXPECT_NE(errorTexts[0].find("FTP.tls=require"), std::string::npos) << errorTexts[0];
    // What happened first, in plain words, and the setting that changes it.
    EXPECT_EQ(errorTexts[0].rfind("The server 127.0.0.1:", 0), 0u) << errorTexts[0];
    EXPECT_NE(errorTexts[0].find("set FTP.tls=auto"), std::string::npos) << errorTexts[0];
    EXPECT_FALSE(ftp.Connected());
}

TEST_F(TlsLogin, AutoGoesOnInClearAndTracesItOnce) {
    server.On("AUTH").Reply("530 Please login with USER and PASS");
    settings.tlsMode = TTlsMode::Auto;
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
    EXPECT_EQ(server.Commands(), (TStrings{"AUTH TLS", "USER web", "PASS secret", "SYST", "FEAT"}));
    EXPECT_EQ(ftp.Traits().securityInUse, "not encrypted");
    EXPECT_FALSE(ftp.Traits().dataProtected);
    int told = 0;
    for (const auto& line : trace)
        told += line.find("The session is not encrypted") == 0;
    EXPECT_EQ(told, 1) << ::testing::PrintToString(trace);
}

TEST_F(TlsLogin, OffNeverAsks) {
    settings.tlsMode = TTlsMode::Off;
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
    EXPECT_EQ(server.Commands(), (TStrings{"USER web", "PASS secret", "SYST", "FEAT"}));
    EXPECT_EQ(ftp.Traits().securityInUse, "not encrypted");
}

// A server that takes AUTH TLS and then cannot complete the handshake (it closes, sends
// an alert as a server without a certificate does, or talks in clear): auto connects
// again without TLS and says why on the security line; require, and auto for a site
// secured before, end the session with the password unsent and name the setting.
TEST_F(TlsLogin, AHandshakeTheServerCannotCompleteFallsBackOnlyUnderPlainAuto) {
    // A fatal handshake_failure alert, as OpenSSL sends it.
    const std::string alert("\x15\x03\x03\x00\x02\x02\x28", 7);
    struct TServerRow {
        const char* name;
        std::function<void(TFtpScriptServer&)> script;
        const char* reason;
    };
    const TServerRow servers[] = {
        {"closes",
         [](TFtpScriptServer& s) {
             s.On("AUTH").Reply("234 Proceed").CloseControl(TFtpRule::CloseAfterReply);
         },
         "the server closed the connection"},
        {"alert", [&](TFtpScriptServer& s) { s.On("AUTH").Reply("234 Proceed").Raw(alert, 200); },
         "alert handshake failure"},
        {"talks in clear",
         [](TFtpScriptServer& s) {
             s.On("AUTH").Reply("234 Proceed").Raw("200 Still here, in clear\r\n", 200);
         },
         "TLS could not be set up"},
    };
    struct TModeRow {
        TTlsMode mode;
        bool seenBefore;
        const char* refusalNames; // empty: falls back
    };
    const TModeRow modes[] = {
        {TTlsMode::Auto, false, ""},
        {TTlsMode::Require, false, "FTP.tls=require"},
        {TTlsMode::Auto, true, "FTP.tlsSeen"},
    };
    for (const TServerRow& serverRow : servers)
        for (const TModeRow& modeRow : modes) {
            const bool fallsBack = *modeRow.refusalNames == 0;
            SCOPED_TRACE(std::string(serverRow.name) + ", " + TlsModeName(modeRow.mode) +
                         (modeRow.seenBefore ? ", secured before" : ""));
            TFtpScriptServer script;
            serverRow.script(script);
            TRecordingFtp client;
            TFtp& f = client.ftp;
            TConnectionSettings settings = LocalSettings(script.Port());
            settings.tlsMode = modeRow.mode;
            settings.tlsSeenBefore = modeRow.seenBefore;
            f.Connect(settings);
            ASSERT_TRUE(client.WaitForEvent(fallsBack ? "LoggedIn" : "ready"))
                << ::testing::PrintToString(client.events);
            Settle();
            const TStrings commands = script.Commands();
            const auto user = std::find(commands.begin(), commands.end(), "USER web");
            EXPECT_EQ(std::count(commands.begin(), commands.end(), "AUTH TLS"), 1)
                << ::testing::PrintToString(commands);
            if (fallsBack) {
                // The login went on a new connection, after the one TLS failed on.
                EXPECT_EQ(script.Sessions(), 2);
                ASSERT_NE(user, commands.end()) << ::testing::PrintToString(commands);
                EXPECT_EQ(std::find(commands.begin(), commands.end(), "PBSZ 0"), commands.end());
                const std::string& security = f.Traits().securityInUse;
                EXPECT_EQ(security.rfind("not encrypted: the server offered TLS but could not "
                                         "complete it: ",
                                         0),
                          0u)
                    << security;
                EXPECT_NE(security.find("; continuing without encryption"), std::string::npos)
                    << security;
                EXPECT_NE(security.find("FTP.tls="), std::string::npos) << security;
                if (std::string(serverRow.reason) != "TLS could not be set up") {
                    EXPECT_NE(security.find(serverRow.reason), std::string::npos) << security;
                }
                EXPECT_FALSE(f.Traits().controlSecured);
                EXPECT_FALSE(f.TlsFallback().empty());
            } else {
                EXPECT_EQ(user, commands.end()) << ::testing::PrintToString(commands);
                EXPECT_EQ(script.Sessions(), 1);
                EXPECT_FALSE(client.Saw("LoggedIn"));
                ASSERT_FALSE(client.errorTexts.empty());
                const std::string& error = client.errorTexts.back();
                EXPECT_EQ(error.rfind("TLS could not be set up with 127.0.0.1:", 0), 0u) << error;
                EXPECT_NE(error.find("Nothing was sent"), std::string::npos) << error;
                EXPECT_NE(error.find(modeRow.refusalNames), std::string::npos) << error;
                if (std::string(serverRow.reason) != "TLS could not be set up") {
                    EXPECT_NE(error.find(serverRow.reason), std::string::npos) << error;
                }
            }
        }
}

// A site that was secured before and now offers no TLS at all: under auto that is a
// refusal, not a session in clear.
TEST_F(TlsLogin, AutoForASiteSecuredBeforeRefusesAServerWithoutTls) {
    settings.tlsMode = TTlsMode::Auto;
    settings.tlsSeenBefore = true;
    ftp.Connect(settings);
    ASSERT_TRUE(WaitForEvent("ready")) << ::testing::PrintToString(events);
    Settle();
    EXPECT_EQ(server.Commands(), TStrings{"AUTH TLS"});
    ASSERT_EQ(errorTexts.size(), 1u);
    EXPECT_EQ(errorTexts[0].rfind("The server 127.0.0.1:", 0), 0u) << errorTexts[0];
    EXPECT_NE(errorTexts[0].find("secured with TLS before (FTP.tlsSeen)"), std::string::npos)
        << errorTexts[0];
    EXPECT_NE(errorTexts[0].find("FTP.tlsSeen=0"), std::string::npos) << errorTexts[0];
}

TEST(TlsFingerprint, EveryFormAUserMayTypeReadsTheSame) {
    const std::string hex = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
    std::string colons;
    for (size_t i = 0; i < hex.size(); i += 2)
        colons += (i ? ":" : "") + hex.substr(i, 2);
    const std::string want = NormalFingerprint("SHA256:" + colons);
    ASSERT_EQ(want.size(), 95u);
    EXPECT_EQ(want.substr(0, 8), "01:23:45");
    EXPECT_EQ(want.find_first_of("abcdef"), std::string::npos);
    for (const std::string& form : {hex, colons, "sha256:" + hex, "SHA256:" + colons})
        EXPECT_EQ(NormalFingerprint(form), want) << form;
    for (const std::string& bad :
         {std::string(), hex.substr(2), hex + "00", "MD5:" + hex, hex.substr(1) + "g"})
        EXPECT_EQ(NormalFingerprint(bad), "") << bad;
}

} // namespace
} // namespace pelmora::testing
