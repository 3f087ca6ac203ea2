// What the login does about TLS with a server that has none, and the fingerprint forms a
// user may type.
#include "ftp_fixture.h"

#include "net/tls_stream.h"
#include "tests/support/ftp_script_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmora::testing {
namespace {

using TStrings = std::vector<std::string>;

class TlsLogin : public ::testing::Test, public TRecordingFtp {
protected:
    void SetUp() override {
        ftp.SetFtpServer("127.0.0.1");
        ftp.FtpPort = server.Port();
        ftp.UserName = "web";
        ftp.UserPassword = "secret";
    }
    TFtpScriptServer server;
};

TEST_F(TlsLogin, RequireAgainstAServerWithoutTlsSendsNoUserAndSaysWhy) {
    ftp.TlsMode = TTlsMode::Require;
    ftp.Connect();
    ASSERT_TRUE(WaitForEvent("ready")) << ::testing::PrintToString(events);
    Settle();
    EXPECT_EQ(server.Commands(), TStrings{"AUTH TLS"});
    EXPECT_FALSE(Saw("LoggedIn"));
    ASSERT_EQ(errorTexts.size(), 1u);
    EXPECT_NE(errorTexts[0].find("offers no TLS (AUTH TLS: 502"), std::string::npos)
        << errorTexts[0];
    EXPECT_NE(errorTexts[0].find("FTP.tls=require"), std::string::npos) << errorTexts[0];
    EXPECT_FALSE(ftp.Connected());
}

TEST_F(TlsLogin, AutoGoesOnInClearAndTracesItOnce) {
    server.On("AUTH").Reply("530 Please login with USER and PASS");
    ftp.TlsMode = TTlsMode::Auto;
    ftp.Connect();
    ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
    EXPECT_EQ(server.Commands(), (TStrings{"AUTH TLS", "USER web", "PASS secret", "SYST", "FEAT"}));
    EXPECT_EQ(ftp.SecurityInUse(), "not encrypted");
    EXPECT_FALSE(ftp.DataProtected());
    int told = 0;
    for (const auto& line : trace)
        told += line.find("The session is not encrypted") == 0;
    EXPECT_EQ(told, 1) << ::testing::PrintToString(trace);
}

TEST_F(TlsLogin, OffNeverAsks) {
    ftp.TlsMode = TTlsMode::Off;
    ftp.Connect();
    ASSERT_TRUE(WaitForEvent("LoggedIn")) << ::testing::PrintToString(events);
    EXPECT_EQ(server.Commands(), (TStrings{"USER web", "PASS secret", "SYST", "FEAT"}));
    EXPECT_EQ(ftp.SecurityInUse(), "not encrypted");
}

// A server that takes AUTH TLS and then talks in clear breaks the handshake: the session
// ends there, the password unsent.
TEST_F(TlsLogin, AHandshakeThatBreaksEndsTheSessionBeforeUser) {
    server.On("AUTH").Reply("234 Proceed").CloseControl(TFtpRule::CloseAfterReply);
    ftp.TlsMode = TTlsMode::Auto;
    ftp.Connect();
    ASSERT_TRUE(WaitForEvent("ready")) << ::testing::PrintToString(events);
    Settle();
    EXPECT_EQ(server.Commands(), TStrings{"AUTH TLS"});
    EXPECT_FALSE(Saw("LoggedIn"));
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
