// Sessions over TLS against real servers that demand it: a whole sync, the certificate
// checks, and the password kept off the wire.
#include "tests/app/site_sync.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Passes a control connection through, 127.0.0.1 to 127.0.0.1, and keeps every byte the
// client sent. One connection at a time; bounded by the test's own life.
class TRelay {
public:
    explicit TRelay(uint16_t target) : target_(target) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~TRelay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    uint16_t Port() const { return port_; }
    std::string FromClient() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return fromClient_;
    }

private:
    void Run() {
        while (!stop_) {
            pollfd wait{listener_, POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0)
                continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(target_);
            if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                Pass(client, server);
            ::close(client);
            ::close(server);
        }
    }
    void Pass(int client, int server) {
        char buffer[16384];
        while (!stop_) {
            pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(both, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (both[i].revents == 0)
                    continue;
                const ssize_t got = ::read(both[i].fd, buffer, sizeof buffer);
                if (got <= 0)
                    return;
                if (i == 0) {
                    const std::lock_guard<std::mutex> lock(mutex_);
                    fromClient_.append(buffer, static_cast<size_t>(got));
                }
                if (::send(both[1 - i].fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got)
                    return;
            }
        }
    }

    uint16_t target_;
    uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string fromClient_;
    std::thread thread_;
};

} // namespace

class TlsSync : public ::testing::TestWithParam<TRealServerKind> {};

// Upload (passive), change (active), no-op: all over TLS, data connections included.
TEST_P(TlsSync, AWholeSyncRunsOverTlsInBothDataModes) {
    TTempTree tree;
    TTestCertificate certificate;
    std::string why;
    ASSERT_TRUE(MakeTestCertificate(tree.Dir("certs"), "server", certificate, why)) << why;
    TRealFtpServer server(GetParam());
    server.EnableTls(certificate);
    ASSERT_TRUE(server.Start(why)) << why;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/empty.txt", "");
    tree.File("site/img/Logo.PNG", std::string(3 << 20, '\x89'));
    tree.File("site/old/stale.html", "stale");
    for (const auto& e : fs::recursive_directory_iterator(site))
        Age(e.path(), std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");
    auto settings = SiteSyncSettings(site, server, server.Port());
    settings.insert(settings.end(), {"FTP.tls=require", "FTP.dataMode=passive",
                                     "FTP.trustedCertificate=" + certificate.fingerprint});
    ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;

    int status = -1;
    std::string output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << server.Name() << "\n" << output;
    EXPECT_TRUE(Has(output, "\nConnected to 127.0.0.1 (TLS 1.")) << output;
    EXPECT_TRUE(Has(output, ", trusted by fingerprint)\n")) << output;
    EXPECT_TRUE(Has(output, "\nData connections: passive")) << output;

    ASSERT_TRUE(ConfigureSettings(ini, {"FTP.dataMode=active"}, why)) << why;
    tree.File("site/index.html", "<h1>Home, new and longer</h1>");
    tree.File("site/img/new one.gif", "GIF89a");
    Age(site / "index.html", std::chrono::minutes(10));
    Age(site / "img/new one.gif", std::chrono::minutes(10));
    fs::remove_all(site / "old");
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << server.Name() << "\n" << output;
    EXPECT_TRUE(Has(output, "\nData connections: active (PORT)\n")) << output;

    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_FALSE(Has(output, "  upload ")) << output;
    EXPECT_FALSE(Has(output, "  refresh ")) << output;
    EXPECT_TRUE(Has(output, "\nNothing to do\n")) << output;
}

// pyftpdlib among them: it takes any byte on a passive data connection before the verb
// for the end of that connection, so the handshake there must wait for the 1xx.
INSTANTIATE_TEST_SUITE_P(Servers, TlsSync, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

// A certificate no one vouches for stops the run before the login, and names its
// fingerprint; trusted by that fingerprint it passes; another certificate for the same
// server afterwards is refused again.
TEST(TlsCertificate, UntrustedThenTrustedByFingerprintThenChanged) {
    TTempTree tree;
    TTestCertificate first, second;
    std::string why;
    ASSERT_TRUE(MakeTestCertificate(tree.Dir("certs"), "first", first, why)) << why;
    ASSERT_TRUE(MakeTestCertificate(tree.Dir("certs"), "second", second, why)) << why;
    ASSERT_NE(first.fingerprint, second.fingerprint);
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    Age(site / "index.html", std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");

    int status = -1;
    std::string output;
    {
        TRealFtpServer server(TRealServerKind::PureFtpd);
        server.EnableTls(first);
        ASSERT_TRUE(server.Start(why)) << why;
        TRelay relay(server.Port());
        ASSERT_TRUE(ConfigureSettings(ini, SiteSyncSettings(site, server, relay.Port()), why))
            << why;
        output = Sync(ini, status);
        EXPECT_NE(status, 0) << output;
        EXPECT_TRUE(Has(output, "is not trusted")) << output;
        EXPECT_TRUE(Has(output, first.fingerprint)) << output;
        EXPECT_FALSE(Has(relay.FromClient(), "USER")) << relay.FromClient();
        EXPECT_FALSE(fs::exists(fs::path(server.SiteOnDisk()) / "index.html"));

        // The fingerprint as a user may paste it: lower case, without colons.
        std::string bare;
        for (const char c : first.fingerprint.substr(7))
            if (c != ':')
                bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ASSERT_TRUE(ConfigureSettings(ini, {"FTP.trustedCertificate=" + bare}, why)) << why;
        output = Sync(ini, status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_TRUE(Has(output, " (TLS 1.3, trusted by fingerprint)\n")) << output;
        EXPECT_TRUE(fs::exists(fs::path(server.SiteOnDisk()) / "index.html"));
        // The password went through the relay, but never readable.
        EXPECT_FALSE(Has(relay.FromClient(), server.Password()));
        EXPECT_FALSE(Has(relay.FromClient(), "PASS"));
    }
    TRealFtpServer server(TRealServerKind::PureFtpd);
    server.EnableTls(second);
    ASSERT_TRUE(server.Start(why)) << why;
    ASSERT_TRUE(ConfigureSettings(ini, {"FTP.port=" + std::to_string(server.Port())}, why)) << why;
    output = Sync(ini, status);
    EXPECT_NE(status, 0) << output;
    EXPECT_TRUE(Has(output, "is NOT the one trusted")) << output;
    EXPECT_TRUE(Has(output, second.fingerprint)) << output;
    EXPECT_FALSE(fs::exists(fs::path(server.SiteOnDisk()) / "index.html"));
}

// Servers as the existing tests run them offer no TLS: auto goes on in clear and says so.
TEST(TlsCertificate, AutoAgainstAServerWithoutTlsRunsInClearAndSaysSo) {
    TTempTree tree;
    std::string why;
    TRealFtpServer server(TRealServerKind::PureFtpd);
    ASSERT_TRUE(server.Start(why)) << why;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    const std::string ini = tree.Path("PELMORA.INI");
    ASSERT_TRUE(ConfigureSettings(ini, SiteSyncSettings(site, server, server.Port()), why)) << why;
    int status = -1;
    const std::string output = Sync(ini, status);
    EXPECT_EQ(status, 0) << output;
    const std::string told = " (not encrypted)\n";
    EXPECT_TRUE(Has(output, told)) << output;
    EXPECT_EQ(output.find(told), output.rfind(told)) << output;
}

namespace {

// The program itself, headless, with `authority` as the whole of OpenSSL's trust store:
// the store is read once per process, so a run of its own is the way to give it one.
std::string RunWithTrustStore(const TTempTree& tree, const std::string& ini,
                              const std::string& authority, int& status) {
    const std::string out = tree.Path("run.out");
    const std::string command =
        "SSL_CERT_FILE='" + authority + "' SSL_CERT_DIR='" + tree.Path("no-such-dir") + "' '" +
        PELMORA_BINARY + "' --settings '" + ini + "' --headless > '" + out + "' 2>&1 < /dev/null";
    const int raw = std::system(command.c_str());
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

// A certificate that a trusted authority signed for the address we dial passes on its
// own; one the same authority signed for another name is refused, with the reason and
// the fingerprint, before the login.
TEST(TlsCertificate, VerifiedByTheTrustStoreAndRefusedForAnotherName) {
    TTempTree tree;
    std::string why;
    TTestCertificate authority, forAddress, forOtherName;
    const std::string certs = tree.Dir("certs");
    ASSERT_TRUE(MakeTestAuthority(certs, "authority", authority, why)) << why;
    ASSERT_TRUE(MakeSignedCertificate(certs, "address", authority, "IP:127.0.0.1", forAddress, why))
        << why;
    ASSERT_TRUE(
        MakeSignedCertificate(certs, "other", authority, "DNS:other.example", forOtherName, why))
        << why;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    Age(site / "index.html", std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");
    int status = -1;
    {
        TRealFtpServer server(TRealServerKind::PureFtpd);
        server.EnableTls(forAddress);
        ASSERT_TRUE(server.Start(why)) << why;
        auto settings = SiteSyncSettings(site, server, server.Port());
        settings.push_back("FTP.tls=require");
        ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;
        const std::string output = RunWithTrustStore(tree, ini, authority.certFile, status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_TRUE(Has(output, " (TLS 1.3, certificate verified)\n")) << output;
        EXPECT_TRUE(fs::exists(fs::path(server.SiteOnDisk()) / "index.html")) << output;
    }
    TRealFtpServer server(TRealServerKind::PureFtpd);
    server.EnableTls(forOtherName);
    ASSERT_TRUE(server.Start(why)) << why;
    ASSERT_TRUE(ConfigureSettings(ini, {"FTP.port=" + std::to_string(server.Port())}, why)) << why;
    const std::string output = RunWithTrustStore(tree, ini, authority.certFile, status);
    EXPECT_NE(status, 0) << output;
    EXPECT_TRUE(Has(output, "is not trusted (IP address mismatch; " + forOtherName.fingerprint))
        << output;
    EXPECT_FALSE(Has(output, "certificate verified")) << output;
    EXPECT_FALSE(fs::exists(fs::path(server.SiteOnDisk()) / "index.html")) << output;
}

namespace {

// Python for pyftpdlib: every command word the server reads goes to `file`, one a line.
std::string RecordCommands(const std::string& file) {
    return "_process = handler.pre_process_command\n"
           "def _record(self, line, cmd, arg):\n"
           "    with open('" +
           file +
           "', 'a') as out:\n"
           "        out.write(cmd + '\\n')\n"
           "    return _process(self, line, cmd, arg)\n"
           "handler.pre_process_command = _record\n";
}

std::string ReadText(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

// A server whose control connection is secured but which refuses to encrypt the data
// connections (PROT P): require ends the run before any listing or file crosses; auto
// goes on and says the data connections are not encrypted.
TEST(TlsData, ARefusedProtEndsARequireRunAndIsSaidUnderAuto) {
    struct TRow {
        const char* mode;
        int status;
    };
    for (const TRow row : {TRow{"require", 4}, TRow{"auto", 0}}) {
        SCOPED_TRACE(row.mode);
        TTempTree tree;
        TTestCertificate certificate;
        std::string why;
        ASSERT_TRUE(MakeTestCertificate(tree.Dir("certs"), "server", certificate, why)) << why;
        const std::string commands = tree.Path("commands.txt");
        TRealFtpServer server(TRealServerKind::Pyftpdlib);
        server.EnableTls(certificate);
        server.BendPyftpdlib("handler.tls_data_required = False\n"
                             "handler.ftp_PROT = lambda self, line: self.respond("
                             "'534 Data protection is not offered here.')\n" +
                             RecordCommands(commands));
        ASSERT_TRUE(server.Start(why)) << why;
        const fs::path site = tree.Dir("site");
        tree.File("site/index.html", "<h1>Home</h1>");
        Age(site / "index.html", std::chrono::hours(72));
        const std::string ini = tree.Path("PELMORA.INI");
        auto settings = SiteSyncSettings(site, server, server.Port());
        settings.insert(settings.end(), {std::string("FTP.tls=") + row.mode,
                                         "FTP.trustedCertificate=" + certificate.fingerprint});
        ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;
        int status = -1;
        const std::string output = Sync(ini, status);
        EXPECT_EQ(status, row.status) << output;
        const std::string sent = ReadText(commands);
        EXPECT_TRUE(Has(sent, "PROT\n")) << sent;
        if (row.status != 0) {
            for (const char* verb : {"LIST", "MLSD", "NLST", "STOR", "PASV", "EPSV", "PORT"})
                EXPECT_FALSE(Has(sent, std::string(verb) + "\n")) << verb << "\n" << sent;
            EXPECT_FALSE(fs::exists(fs::path(server.SiteOnDisk()) / "index.html"));
            EXPECT_TRUE(Has(output, "refused to encrypt the data connections (PROT P: 534"))
                << output;
            EXPECT_TRUE(Has(output, "set FTP.tls=auto")) << output;
            EXPECT_FALSE(Has(output, "very rare")) << output;
            EXPECT_FALSE(Has(output, "trusted by fingerprint\n")) << output;
        } else {
            EXPECT_TRUE(Has(output, "\nSecurity: TLS 1.3, trusted by fingerprint; data "
                                    "connections not encrypted"))
                << output;
            EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
        }
    }
}

// Auto and a server that takes AUTH TLS but cannot complete a handshake (pyftpdlib with
// no certificate, as a server set up without one): a site never secured goes on in
// clear and says so; require refuses; a site that was secured once refuses under auto
// too, until the user says the server has dropped TLS.
TEST(TlsFallback, AServerThatCannotCompleteTlsUnderAutoRequireAndASiteSecuredBefore) {
    TTempTree tree;
    TTestCertificate certificate;
    std::string why;
    ASSERT_TRUE(MakeTestCertificate(tree.Dir("certs"), "server", certificate, why)) << why;
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    Age(site / "index.html", std::chrono::hours(72));
    const std::string ini = tree.Path("PELMORA.INI");
    int status = -1;
    std::string output;
    {
        TRealFtpServer secured(TRealServerKind::PureFtpd);
        secured.EnableTls(certificate);
        ASSERT_TRUE(secured.Start(why)) << why;
        auto settings = SiteSyncSettings(site, secured, secured.Port());
        settings.push_back("FTP.trustedCertificate=" + certificate.fingerprint);
        ASSERT_TRUE(ConfigureSettings(ini, settings, why)) << why;
        output = Sync(ini, status);
        ASSERT_EQ(status, 0) << output;
        EXPECT_TRUE(Has(ReadText(ini), "tlsSeen=1")) << ReadText(ini);
    }
    TRealFtpServer broken(TRealServerKind::Pyftpdlib);
    broken.BendPyftpdlib("from pyftpdlib.handlers import TLS_FTPHandler\n"
                         "from OpenSSL import SSL\n"
                         "handler = TLS_FTPHandler\n"
                         "handler.authorizer = authorizer\n"
                         "handler.ssl_context = SSL.Context(SSL.TLS_METHOD)\n");
    ASSERT_TRUE(broken.Start(why)) << why;
    ASSERT_TRUE(ConfigureSettings(ini, SiteSyncSettings(site, broken, broken.Port()), why)) << why;
    output = Sync(ini, status);
    EXPECT_EQ(status, 4) << output;
    EXPECT_TRUE(Has(output, "TLS could not be set up with 127.0.0.1:")) << output;
    EXPECT_TRUE(Has(output, "FTP.tlsSeen=0")) << output;
    EXPECT_FALSE(fs::exists(fs::path(broken.SiteOnDisk()) / "index.html"));

    ASSERT_TRUE(ConfigureSettings(ini, {"FTP.tlsSeen=0"}, why)) << why;
    output = Sync(ini, status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(Has(output, "\nSecurity: not encrypted: the server offered TLS but could not "
                            "complete it: "))
        << output;
    EXPECT_TRUE(Has(output, "; continuing without encryption")) << output;
    EXPECT_EQ(Snapshot(broken.SiteOnDisk()), Snapshot(site)) << output;
    // A session in clear teaches nothing about TLS.
    EXPECT_TRUE(Has(ReadText(ini), "tlsSeen=0")) << ReadText(ini);

    ASSERT_TRUE(ConfigureSettings(ini, {"FTP.tls=require"}, why)) << why;
    output = Sync(ini, status);
    EXPECT_EQ(status, 4) << output;
    EXPECT_TRUE(Has(output, "TLS could not be set up with 127.0.0.1:")) << output;
    EXPECT_TRUE(Has(output, "set FTP.tls=auto")) << output;
    EXPECT_FALSE(Has(output, "very rare")) << output;
}
