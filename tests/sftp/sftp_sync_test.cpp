#include "app/site_settings.h"
#include "tests/app/site_sync.h"
#include "tests/support/real_sshd.h"
#include "tests/support/tcp_relay.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

// Each test runs against an sshd of its own, and as a user whose home (known_hosts, the
// usual key files) is a temporary directory with nothing in it, without an agent.
class SftpSync : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* home = std::getenv("HOME"))
            savedHome_ = home;
        if (const char* agent = std::getenv("SSH_AUTH_SOCK"))
            savedAgent_ = agent;
        std::string why;
        ASSERT_TRUE(server.Start(why)) << why;
        ::setenv("HOME", tree.Dir("home").c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
        fs::create_directories(tree.Path("home/.ssh"));
    }
    void TearDown() override {
        ::setenv("HOME", savedHome_.c_str(), 1);
        if (!savedAgent_.empty())
            ::setenv("SSH_AUTH_SOCK", savedAgent_.c_str(), 1);
    }

    // A whole run's settings against the server's site directory, logging in by key and
    // trusting the host key by its fingerprint; `extra` wins.
    std::string Configure(const fs::path& site, const std::vector<std::string>& extra = {}) {
        const std::string ini = tree.Path("PELMORA.INI");
        std::vector<std::string> settings = {"FTP.protocol=sftp",
                                             "FTP.server=127.0.0.1",
                                             "FTP.port=" + std::to_string(server.Port()),
                                             "FTP.userName=" + server.User(),
                                             "SFTP.keyFile=" + server.ClientKey(),
                                             "SFTP.hostKey=" + server.HostKeyFingerprint(),
                                             "List.local=" + site.string(),
                                             "List.remote=" + server.SiteOnDisk(),
                                             "Options.load=1",
                                             "Options.compare=1",
                                             "Options.update=1",
                                             "Options.delete=1",
                                             "Options.exit=1",
                                             "Options.timeout=20"};
        settings.insert(settings.end(), extra.begin(), extra.end());
        std::string why;
        EXPECT_TRUE(ConfigureSettings(ini, settings, why)) << why;
        return ini;
    }

    void WriteKnownHosts(const std::string& text) {
        std::ofstream(tree.Path("home/.ssh/known_hosts")) << text;
    }

    TRealSshd server;
    TTempTree tree;

private:
    std::string savedHome_;
    std::string savedAgent_;
};

// The server's tree without the link the test put there.
std::map<std::string, std::string> ServerFiles(const TRealSshd& server) {
    auto files = Snapshot(server.SiteOnDisk());
    files.erase("elsewhere");
    return files;
}

} // namespace

TEST_F(SftpSync, TheServerEndsEqualToTheDiskEditsAndDeletesFollowAndANoOpSendsNothing) {
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/.htaccess", "Options -Indexes\n");
    tree.File("site/empty.txt", "");
    tree.File("site/My Docs/Read Me.TXT", "notes");
    tree.File("site/ lead.txt", "blank before");
    tree.File("site/trail.txt ", "blank after");
    tree.File("site/Case.txt", "upper");
    tree.File("site/case.txt", "lower");
    tree.File("site/caf\xe9.html", "latin-1 name");
    // Bigger than the upload's buffer, and no two stretches alike: a byte out of order shows.
    std::string big((9 << 20) + 123, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 131 + i / 4099) & 0xff);
    tree.File("site/img/Logo.PNG", big);
    tree.File("site/old/stale.html", "stale");
    // A link on the server is left alone: never followed, never deleted.
    fs::create_symlink("/etc/hostname", fs::path(server.SiteOnDisk()) / "elsewhere");
    const std::string ini = Configure(site);

    int status = -1;
    std::string output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output << server.Log();
    EXPECT_EQ(ServerFiles(server), Snapshot(site)) << output;
    EXPECT_TRUE(fs::is_symlink(fs::path(server.SiteOnDisk()) / "elsewhere")) << output;
    // How the connection is secured, once.
    const std::string security = "\nSecurity: SSH, ";
    EXPECT_NE(output.find(security), std::string::npos) << output;
    EXPECT_EQ(output.find(security), output.rfind(security)) << output;
    // An SSH session teaches nothing about TLS: the FTP key stays as it was.
    EXPECT_EQ(output.find("TLS worked"), std::string::npos) << output;
    EXPECT_NE(output.find("host key ED25519 " + server.HostKeyFingerprint() +
                          ", logged in by key file " + server.ClientKey()),
              std::string::npos)
        << output;
    // Times are exact: the server's file has the local file's time to the second.
    const auto localTime = fs::last_write_time(site / "index.html");
    const auto remoteTime = fs::last_write_time(fs::path(server.SiteOnDisk()) / "index.html");
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(localTime),
              std::chrono::floor<std::chrono::seconds>(remoteTime));

    // Nothing changed: nothing is sent.
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("  upload "), std::string::npos) << output;
    EXPECT_EQ(output.find("  refresh "), std::string::npos) << output;
    EXPECT_EQ(output.find("  delete "), std::string::npos) << output;
    EXPECT_EQ(output.find("  remove "), std::string::npos) << output;

    // An edit of the same size a minute later, and deletions.
    tree.File("site/index.html", "<h1>Hone</h1>");
    fs::last_write_time(site / "index.html", localTime + std::chrono::seconds(61));
    fs::remove_all(site / "old");
    fs::remove(site / "empty.txt");
    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(ServerFiles(server), Snapshot(site)) << output;
    EXPECT_NE(output.find("  refresh /index.html ("), std::string::npos) << output;
    EXPECT_NE(output.find("  remove /old\n"), std::string::npos) << output;
    EXPECT_TRUE(fs::is_symlink(fs::path(server.SiteOnDisk()) / "elsewhere")) << output;
}

// How the host key is trusted, and what a run that cannot trust it says: it stops before
// anything secret is sent.
TEST_F(SftpSync, TheHostKeyIsCheckedBeforeTheLogin) {
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "home");
    const std::string fingerprint = server.HostKeyFingerprint();
    const std::string other = "SHA256:" + std::string(43, 'A');
    const std::string name = "127.0.0.1:" + std::to_string(server.Port());
    std::string otherHostLine;
    {
        std::string out;
        ASSERT_TRUE(RunCommand("ssh-keygen -q -t ed25519 -N '' -f " + tree.Path("otherkey"), out));
        std::ifstream in(tree.Path("otherkey.pub"));
        std::string type, key;
        in >> type >> key;
        otherHostLine = "[127.0.0.1]:" + std::to_string(server.Port()) + " " + type + " " + key;
    }
    struct TCase {
        const char* what;
        std::string hostKey;    // SFTP.hostKey
        std::string knownHosts; // the user's known_hosts
        bool hashed;            // known_hosts hashed by ssh-keygen -H
        std::string said;       // empty: the run succeeds
    };
    const std::vector<TCase> cases = {
        {"unknown", "", "", false,
         "Host key for " + name + " is not trusted (ED25519 " + fingerprint +
             "). If that is the server's key, trust it with: pelmora --configure "
             "SFTP.hostKey=" +
             fingerprint},
        {"trusted by fingerprint", fingerprint, "", false, ""},
        {"known_hosts", "", server.KnownHostsLine() + "\n", false, ""},
        {"known_hosts hashed", "", server.KnownHostsLine() + "\n", true, ""},
        {"changed from the trusted", other, "", false,
         "The host key of " + name + " has CHANGED (now ED25519 " + fingerprint + ")"},
        {"changed from known_hosts", "", otherHostLine + "\n", true,
         "The host key of " + name + " has CHANGED"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        WriteKnownHosts(c.knownHosts);
        if (c.hashed) {
            std::string out;
            ASSERT_TRUE(RunCommand(
                "ssh-keygen -q -H -f " + tree.Path("home/.ssh/known_hosts") + " 2>&1", out))
                << out;
            std::ifstream in(tree.Path("home/.ssh/known_hosts"));
            std::string first;
            std::getline(in, first);
            ASSERT_TRUE(first.starts_with("|1|")) << first;
        }
        const std::string logBefore = server.Log();
        const std::string ini = Configure(site, {"SFTP.hostKey=" + c.hostKey});
        int status = -1;
        const std::string output = Sync(ini, status);
        if (c.said.empty()) {
            EXPECT_EQ(status, 0) << output;
            continue;
        }
        EXPECT_NE(status, 0) << output;
        EXPECT_NE(output.find(c.said), std::string::npos) << output;
        // The server saw no login: no key offered, no password.
        const std::string log = server.Log().substr(logBefore.size());
        EXPECT_EQ(log.find("Accepted"), std::string::npos) << log;
        EXPECT_EQ(log.find("Failed"), std::string::npos) << log;
        EXPECT_EQ(log.find("Postponed"), std::string::npos) << log;
    }
}

TEST_F(SftpSync, ARefusedLoginNamesWhatTheServerOffersAndWhatWasTried) {
    const fs::path site = tree.Dir("site");
    const std::string ini = Configure(site, {"SFTP.keyFile=", "FTP.password=not-the-password"});
    int status = -1;
    const std::string output = Sync(ini, status);
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(output.find("Authentication failed for user " + server.User() +
                          " on 127.0.0.1: the server offers publickey, password; tried password"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("not-the-password"), std::string::npos) << output;
}

// A connection cut in the middle of an upload: the run does not claim success, the server
// never holds part of a file under its name, and the next run completes the site.
TEST_F(SftpSync, AConnectionCutMidUploadFailsTheRunAndTheNextRunCompletesIt) {
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "<h1>Home</h1>");
    tree.File("site/big.bin", std::string(4 << 20, 'b'));
    tree.File("site/about.html", "about");
    TTcpRelay relay(server.Port(), 1 << 20);
    std::string why;
    ASSERT_TRUE(relay.Start(why)) << why;
    const std::string ini = Configure(site, {"FTP.port=" + std::to_string(relay.Port()),
                                             "Options.connections=1", "Options.timeout=5"});
    int status = -1;
    std::string output = Sync(ini, status);
    EXPECT_TRUE(relay.Cut());
    EXPECT_NE(status, 0) << output;
    const fs::path onServer = fs::path(server.SiteOnDisk()) / "big.bin";
    if (fs::exists(onServer)) {
        EXPECT_EQ(fs::file_size(onServer), 4u << 20) << output;
    }

    output = Sync(ini, status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(ServerFiles(server), Snapshot(site)) << output;
}

// FTP.protocol takes a port left at the old protocol's own along, and only that; the host
// key is kept in the one form ssh-keygen -lf prints.
TEST(SftpSettings, TheProtocolMovesADefaultPortAndTheHostKeyIsChecked) {
    TTempTree tree;
    const std::string ini = tree.Path("PELMORA.INI");
    struct TCase {
        std::vector<std::string> before; // configured first, into an empty file
        std::vector<std::string> assignments;
        TProtocol protocol;
        uint16_t port;
    };
    const std::vector<TCase> cases = {
        {{}, {"FTP.protocol=sftp"}, TProtocol::Sftp, 22},
        {{"FTP.port=21"}, {"FTP.protocol=SFTP"}, TProtocol::Sftp, 22},
        {{"FTP.port=2222"}, {"FTP.protocol=sftp"}, TProtocol::Sftp, 2222},
        {{"FTP.protocol=sftp"}, {"FTP.protocol=ftp"}, TProtocol::Ftp, 21},
        {{"FTP.protocol=sftp", "FTP.port=990"}, {"FTP.protocol=ftp"}, TProtocol::Ftp, 990},
        {{}, {"FTP.protocol=sftp", "FTP.port=21"}, TProtocol::Sftp, 21},
        {{"FTP.port=22"}, {"FTP.server=example.org"}, TProtocol::Ftp, 22},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.assignments.front());
        std::ofstream(ini) << "";
        std::string why;
        ASSERT_TRUE(c.before.empty() || ConfigureSettings(ini, c.before, why)) << why;
        ASSERT_TRUE(ConfigureSettings(ini, c.assignments, why)) << why;
        const TSiteSettings read = ReadSiteSettings(ini);
        EXPECT_EQ(read.connection.protocol, c.protocol);
        EXPECT_EQ(read.connection.port, c.port);
    }

    const std::string key = "SHA256:" + std::string(42, 'k') + "Q";
    std::string why;
    std::ofstream(ini) << "";
    ASSERT_TRUE(ConfigureSettings(ini, {"SFTP.hostKey=" + key.substr(7) + "="}, why)) << why;
    EXPECT_EQ(ReadSiteSettings(ini).connection.sftpHostKey, key);
    for (const char* bad : {"FTP.protocol=scp", "FTP.protocol=", "SFTP.hostKey=SHA256:short",
                            "SFTP.hostKey=MD5:aa:bb"}) {
        EXPECT_FALSE(ConfigureSettings(ini, {bad}, why)) << bad;
    }
}

// The ways in other than a named key file: the agent's keys, and a key of ~/.ssh whose
// passphrase comes from PELMORA_PASSPHRASE.
TEST_F(SftpSync, TheAgentAndAKeyWithAPassphraseLogIn) {
    const fs::path site = tree.Dir("site");
    tree.File("site/index.html", "home");
    std::string out;
    // A key of the user's own, with a passphrase, that the server also takes.
    const std::string userKey = tree.Path("home/.ssh/id_ed25519");
    ASSERT_TRUE(RunCommand("ssh-keygen -q -t ed25519 -N 'open sesame' -f " + userKey, out));
    {
        std::ofstream keys(server.Dir() + "/authorized_keys", std::ios::app);
        keys << ReadFile(userKey + ".pub");
    }
    const std::string ini = Configure(site, {"SFTP.keyFile="});
    int status = -1;
    ::setenv("PELMORA_PASSPHRASE", "open sesame", 1);
    std::string output = Sync(ini, status);
    ::unsetenv("PELMORA_PASSPHRASE");
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;

    // Without the passphrase that key is no way in; the agent holding the test's key is.
    fs::remove(userKey);
    ASSERT_TRUE(RunCommand(
        "ssh-agent -s -a " + tree.Path("agent.sock") + " > " + tree.Path("agent.env"), out));
    const std::string agentEnv = ReadFile(tree.Path("agent.env"));
    const size_t pidAt = agentEnv.find("SSH_AGENT_PID=");
    ASSERT_NE(pidAt, std::string::npos) << agentEnv;
    const int agentPid = std::stoi(agentEnv.substr(pidAt + 14));
    ::setenv("SSH_AUTH_SOCK", tree.Path("agent.sock").c_str(), 1);
    const bool added = RunCommand("ssh-add -q " + server.ClientKey() + " 2>&1", out);
    tree.File("site/about.html", "about");
    output = Sync(ini, status);
    ::unsetenv("SSH_AUTH_SOCK");
    ::kill(agentPid, SIGTERM);
    ASSERT_TRUE(added) << out;
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(server.SiteOnDisk()), Snapshot(site)) << output;
}

// SIGTERM in the middle of an upload over SFTP ends the run at once, as over FTP, and
// leaves nothing under the file's own name.
TEST_F(SftpSync, SigtermEndsAnUploadPromptly) {
    const fs::path site = tree.Dir("site");
    tree.File("site/big.bin", std::string(256 << 20, 'z'));
    const std::string ini = Configure(site, {"Options.connections=1"});
    const std::string out = tree.Path("run.out");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::signal(SIGTERM, SIG_DFL);
        ::execl(PELMORA_BINARY, PELMORA_BINARY, "--settings", ini.c_str(), "--headless",
                static_cast<char*>(nullptr));
        _exit(127);
    }
    // Until a part of the file has arrived under its temporary name.
    const auto arriving = [&] {
        std::error_code ec;
        for (fs::directory_iterator it(server.SiteOnDisk(), ec), end; !ec && it != end;
             it.increment(ec))
            if (it->is_regular_file(ec) && it->file_size(ec) > (8u << 20))
                return true;
        return false;
    };
    for (int i = 0; i < 3000 && !arriving(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(arriving()) << ReadFile(out);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 800 && !ended; ++i) {
        ended = ::waitpid(child, &status, WNOHANG) == child;
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended) << "still running 8 s after SIGTERM\n" << ReadFile(out);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    ASSERT_TRUE(WIFEXITED(status)) << ReadFile(out);
    EXPECT_EQ(WEXITSTATUS(status), 143) << ReadFile(out);
    EXPECT_NE(ReadFile(out).find("Stopped by SIGTERM"), std::string::npos) << ReadFile(out);
    EXPECT_FALSE(fs::exists(fs::path(server.SiteOnDisk()) / "big.bin")) << ReadFile(out);
}
