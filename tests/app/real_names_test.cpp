// The names, links and permissions real sites have, through the whole program and real
// servers: after a run the server holds exactly what the disk holds, nothing the disk
// still has is ever deleted, and the next run has nothing to do.
#include "app/headless.h"
#include "app/settings.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// Everything below `root` made a day old, so that what the run sends is newer.
void AgeAll(const fs::path& root) {
    for (const auto& e : fs::recursive_directory_iterator(root))
        fs::last_write_time(e.path(), fs::file_time_type::clock::now() - std::chrono::hours(24));
}

// What the test wrote into the server's tree belongs to the server's login, as if that
// login had uploaded it.
void GiveToServer(const fs::path& remote) {
    struct stat owner {};
    ASSERT_EQ(::stat(remote.c_str(), &owner), 0);
    for (const auto& e : fs::recursive_directory_iterator(remote))
        ASSERT_EQ(::lchown(e.path().c_str(), owner.st_uid, owner.st_gid), 0) << e.path();
}

class TSite {
public:
    TSite(const TRealFtpServer& server, const fs::path& local) : ini_(tree_.Path("PELMORA.INI")) {
        std::string why;
        EXPECT_TRUE(ConfigureSettings(
            ini_,
            {"List.local=" + local.string(), "FTP.server=127.0.0.1",
             "FTP.port=" + std::to_string(server.Port()), "FTP.userName=" + server.User(),
             "FTP.password=" + server.Password(), "List.remote=" + server.SiteDir(),
             "Options.load=1", "Options.compare=1", "Options.update=1", "Options.delete=1",
             "Options.exit=1", "Options.timeout=20"},
            why))
            << why;
    }
    std::string Sync(int& status) {
        std::ostringstream out, err;
        status = RunHeadless(ini_, out, err);
        return out.str() + err.str();
    }

private:
    TTempTree tree_;
    std::string ini_;
};

bool NothingToDo(const std::string& output) {
    for (const char* word : {"  upload ", "  refresh ", "  delete ", "  remove ", "  create "})
        if (output.find(word) != std::string::npos)
            return false;
    return true;
}

} // namespace

class RealNames : public ::testing::TestWithParam<TRealServerKind> {};

TEST_P(RealNames, BlanksCaseAndStaleLookalikesNeverCostAFileTheDiskHas) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    Write(site / "docs/guide.html", "guide");
    Write(site / "A.html", "upper");
    Write(site / "a.html", "lower");
    Write(site / " lead.html", "leading blank");
    Write(site / "index.html", "home");
    AgeAll(site);
    // Stale lookalikes on the server: a name with a trailing blank, another case.
    const fs::path remote = server.SiteOnDisk();
    Write(remote / "docs /old.html", "stale blank");
    Write(remote / "Docs/old.html", "stale case");
    Write(remote / "docs/guide.html", "guide");
    AgeAll(remote);
    GiveToServer(remote);

    TSite sync(server, site);
    int status = -1;
    std::string output = sync.Sync(status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(Snapshot(remote), Snapshot(site)) << server.Name() << "\n" << output;

    output = sync.Sync(status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(NothingToDo(output)) << output;
    EXPECT_EQ(Snapshot(remote), Snapshot(site)) << server.Name() << "\n" << output;
}

INSTANTIATE_TEST_SUITE_P(Servers, RealNames, ::testing::ValuesIn(AllRealServers),
                         [](const auto& info) { return std::string(TestName(info.param)); });

TEST_P(RealNames, BytesThatAreNotUtf8AndServerLinksAreLeftAsTheyAre) {
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    Write(site / "caf\xe9.html", "e acute");
    Write(site / "index.html", "home");
    AgeAll(site);
    const fs::path remote = server.SiteOnDisk();
    Write(remote / "caf\xe8.html", "e grave, stale");
    Write(remote / "index.html", "home");
    fs::create_symlink("index.html", remote / "home.html");
    AgeAll(remote);
    GiveToServer(remote);

    TSite sync(server, site);
    int status = -1;
    std::string output = sync.Sync(status);
    if (GetParam() == TRealServerKind::Pyftpdlib) {
        // This server decodes names as UTF-8 and puts a replacement character for what
        // is not: the stale name cannot be addressed. The run must say so, not succeed.
        EXPECT_EQ(status, 1) << output;
        EXPECT_NE(output.find("Could not delete: /caf"), std::string::npos) << output;
        EXPECT_NE(output.find("The update is incomplete:\n"), std::string::npos) << output;
        EXPECT_TRUE(fs::is_symlink(remote / "home.html"));
        return;
    }
    EXPECT_EQ(status, 0) << output;
    auto expected = Snapshot(site);
    expected["home.html"] = "home"; // the server's link, followed by the snapshot
    EXPECT_EQ(Snapshot(remote), expected) << server.Name() << "\n" << output;
    EXPECT_TRUE(fs::is_symlink(remote / "home.html"));
    output = sync.Sync(status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(NothingToDo(output)) << output;
}

TEST_P(RealNames, WhatTheLoginMayNotTouchFailsAloneAndIsNeverTakenForDeleted) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a directory the server's login cannot use";
    TRealFtpServer server(GetParam());
    std::string why;
    ASSERT_TRUE(server.Start(why)) << why;
    TTempTree tree;
    const fs::path site = tree.Dir("site");
    Write(site / "index.html", "home");
    Write(site / "private/notes.html", "the disk has this");
    AgeAll(site);
    const fs::path remote = server.SiteOnDisk();
    // private/ cannot be entered by the login; frozen/ can be read but not changed.
    Write(remote / "private/notes.html", "server copy");
    Write(remote / "frozen/old.html", "stale, but not ours to delete");
    Write(remote / "stale.html", "stale");
    AgeAll(remote);
    GiveToServer(remote);
    for (const char* dir : {"private", "frozen"})
        ASSERT_EQ(::lchown((remote / dir).c_str(), 0, 0), 0);
    ::chmod((remote / "private").c_str(), 0700);
    ::chmod((remote / "frozen").c_str(), 0755);
    struct stat owner {};
    ::stat(remote.c_str(), &owner);
    if (owner.st_uid == 0)
        GTEST_SKIP() << server.Name() << " runs its sessions as root here";

    TSite sync(server, site);
    int status = -1;
    const std::string output = sync.Sync(status);
    EXPECT_EQ(status, 1) << output;
    // The rest of the run went on.
    EXPECT_FALSE(fs::exists(remote / "stale.html")) << output;
    EXPECT_TRUE(fs::exists(remote / "index.html")) << output;
    // What could not be read or deleted is still there, and the run says why.
    EXPECT_TRUE(fs::exists(remote / "private/notes.html")) << output;
    EXPECT_TRUE(fs::exists(remote / "frozen/old.html")) << output;
    EXPECT_NE(output.find("Could not enter /private: 5"), std::string::npos) << output;
    EXPECT_NE(output.find("Could not delete: /frozen/old.html (5"), std::string::npos) << output;
    EXPECT_NE(output.find("The update is incomplete:\n"), std::string::npos) << output;
}
