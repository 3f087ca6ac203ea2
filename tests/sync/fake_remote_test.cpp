// The remote interface is the only way the engine reaches a server: a stand-in kept in
// memory, with no FTP anywhere, carries a whole load, compare and update over several
// sessions, and the sessions the pool makes are made with the main one's settings.

#include "sync/ftp_session.h"
#include "sync/remote_entries.h"
#include "sync/sync_core.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

// A server's tree, shared by every session of it: absolute paths, each a directory or a
// file with its content and time.
struct TMemoryServer {
    struct TNode {
        bool directory = false;
        std::string content;
        int64_t time = 0;
    };
    std::map<std::string, TNode> nodes{{"/", {true, {}, 0}}};
    int sessions = 0; // logins, the main one's among them

    bool IsDirectory(const std::string& path) const {
        const auto found = nodes.find(path);
        return found != nodes.end() && found->second.directory;
    }
    static std::string Parent(const std::string& path) {
        const size_t slash = path.rfind('/');
        return slash == 0 ? "/" : path.substr(0, slash);
    }
    bool HasChildren(const std::string& dir) const {
        for (const auto& [path, node] : nodes)
            if (path != "/" && Parent(path) == dir)
                return true;
        return false;
    }
};

// The remote interface over TMemoryServer. Every operation ends at once; a refusal fails
// it as a server's 550 would.
class TMemoryRemote final : public TRemoteSession {
public:
    explicit TMemoryRemote(std::shared_ptr<TMemoryServer> server) : server_(std::move(server)) {}

    void BeginConnect(const TConnectionSettings& settings) override {
        settings_ = settings;
        timeoutMs = settings.timeoutMs;
        StartedConnecting();
        here_ = "/";
        ++server_->sessions;
        LoginSucceeded();
    }
    std::unique_ptr<TRemoteSession> Sibling() const override {
        auto sibling = std::make_unique<TMemoryRemote>(server_);
        sibling->settings_ = settings_;
        return sibling;
    }
    void Close() override {}
    void Abort() override {}
    bool ErrorPending() const override { return false; }
    bool LoginRefused() const override { return false; }
    bool LocalFileFailed() const override { return false; }
    std::vector<std::pair<std::string, std::string>> ConnectionFacts() const override {
        return {{"Security", "in memory"}};
    }
    TRemoteTraits Traits() const override {
        TRemoteTraits traits;
        traits.systemType = "UNIX";
        traits.fileTimeSettable = true;
        traits.exactListingTimes = true;
        traits.parallelSessions = true;
        traits.secured = true;
        return traits;
    }
    bool RenameSourceTaken() const override { return false; }
    const std::string& LastReplyText() const override { return reply_; }

    void BeginChangeDir(const std::string& path) override {
        const std::string to = Absolute(path);
        if (Ends(server_->IsDirectory(to)))
            here_ = to;
    }
    void BeginList() override {
        listed_.clear();
        notEntries_.clear();
        listingRefused_ = false;
        for (const auto& [path, node] : server_->nodes) {
            if (path == "/" || TMemoryServer::Parent(path) != here_)
                continue;
            TListedEntry entry;
            entry.name = path.substr(path.rfind('/') + 1);
            entry.kind = node.directory ? TListedKind::Directory : TListedKind::File;
            entry.form = TListingForm::Mlsd;
            entry.size = static_cast<long long>(node.content.size());
            entry.utcSeconds = node.time;
            const TListedDate date = DateOfUtcSeconds(node.time);
            entry.year = date.year;
            entry.month = date.month;
            entry.day = date.day;
            entry.hour = date.hour;
            entry.minute = date.minute;
            listed_.push_back(entry);
        }
        SortEntries(listed_);
        listedHere_ = here_;
        Ends(true);
    }
    void BeginNameListing() override { Ends(false); }
    void BeginMakeDir(const std::string& path) override {
        const std::string made = Absolute(path);
        if (Ends(!server_->nodes.contains(made) &&
                 server_->IsDirectory(TMemoryServer::Parent(made))))
            server_->nodes[made] = {true, {}, Now()};
    }
    void BeginDelete(const std::string& path) override {
        const auto found = server_->nodes.find(Absolute(path));
        if (Ends(found != server_->nodes.end() && !found->second.directory))
            server_->nodes.erase(found);
    }
    void BeginRemoveDir(const std::string& path) override {
        const std::string gone = Absolute(path);
        if (Ends(server_->IsDirectory(gone) && !server_->HasChildren(gone)))
            server_->nodes.erase(gone);
    }
    void BeginPut(const std::string& localPath, const std::string& remotePath) override {
        std::ifstream in(localPath, std::ios::binary);
        const std::string stored = Absolute(remotePath);
        if (!Ends(in && server_->IsDirectory(TMemoryServer::Parent(stored))))
            return;
        std::ostringstream content;
        content << in.rdbuf();
        server_->nodes[stored] = {false, content.str(), Now()};
        bytesSent_ = fileSize_ = static_cast<int64_t>(content.str().size());
    }
    void BeginSetFileTime(const std::string& remotePath, int64_t utcSeconds) override {
        const auto found = server_->nodes.find(Absolute(remotePath));
        if (Ends(found != server_->nodes.end()))
            found->second.time = utcSeconds;
    }
    void BeginGetFileTime(const std::string& remotePath) override {
        const auto found = server_->nodes.find(Absolute(remotePath));
        if (Ends(found != server_->nodes.end()))
            fileTime_ = found->second.time;
    }
    void BeginRename(const std::string& from, const std::string& to) override {
        const auto found = server_->nodes.find(Absolute(from));
        const std::string target = Absolute(to);
        if (!Ends(found != server_->nodes.end() && !found->second.directory &&
                  !server_->IsDirectory(target)))
            return;
        server_->nodes[target] = found->second;
        server_->nodes.erase(Absolute(from));
    }
    bool Busy() const override { return busy_; }
    bool Settled() const override { return true; }
    TOutcome End() override {
        if (!busy_)
            return TOutcome::Done;
        busy_ = false;
        if (Stopped())
            return TOutcome::Stopped;
        return done_ ? TOutcome::Done : TOutcome::Failed;
    }
    bool ListingEndedMidLine() const override { return false; }
    std::string FailureReason() const override { return lastErrorText_; }
    void ClearError() override {
        lastErrorText_.clear();
        lost_ = false;
    }

private:
    static int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }
    std::string Absolute(const std::string& path) const {
        std::string full = path.starts_with('/') ? path : (here_ == "/" ? "" : here_) + "/" + path;
        // "dir/.." climbs, as a server takes it.
        while (full.size() > 3 && full.ends_with("/.."))
            full = TMemoryServer::Parent(full.substr(0, full.size() - 3));
        return full.size() > 1 && full.ends_with('/') ? full.substr(0, full.size() - 1) : full;
    }
    // The operation begun ends with `done`; a refusal says so as a server would.
    bool Ends(bool done) {
        Touch();
        busy_ = true;
        done_ = done;
        reply_ = done ? "250 Done" : "550 Refused";
        if (!done)
            lastErrorText_ = reply_;
        return done;
    }

    std::shared_ptr<TMemoryServer> server_;
    std::string here_ = "/";
    std::string reply_;
    bool busy_ = false;
    bool done_ = false;
};

class TMemoryEngine : public TRecordedEngine {
public:
    explicit TMemoryEngine(std::shared_ptr<TMemoryServer> server)
        : TRecordedEngine({}, std::make_unique<TMemoryRemote>(server)) {}
};

std::string Content(const TMemoryServer& server, const std::string& path) {
    const auto found = server.nodes.find(path);
    return found == server.nodes.end() ? "<none>" : found->second.content;
}

} // namespace

TEST(RemoteInterface, AWholeRunGoesThroughTheInterfaceAlone) {
    TTempTree tree;
    tree.File("index.html", "new home");
    tree.File("docs/a.txt", "a");
    tree.File("docs/b.txt", "b");
    auto server = std::make_shared<TMemoryServer>();
    server->nodes["/www"] = {true, {}, 1};
    server->nodes["/www/index.html"] = {false, "old home", 1000};
    server->nodes["/www/gone.html"] = {false, "gone", 1000};
    server->nodes["/www/olddir"] = {true, {}, 1};
    server->nodes["/www/olddir/x.txt"] = {false, "x", 1000};

    TMemoryEngine engine(server);
    engine.options.localRoot = tree.Path();
    engine.options.remoteRoot = "/www";
    engine.options.connections = 3;
    ASSERT_TRUE(engine.LogIn(TRecordedEngine::LocalServer(21)));
    ASSERT_TRUE(engine.LoadLocalDirectory());
    engine.RefreshRemote();
    ASSERT_TRUE(engine.remoteLoad.complete) << engine.Status();
    engine.AnalyseLists();
    engine.UpdateRemote();

    EXPECT_EQ(engine.Status(), "Remote Site Update Complete");
    EXPECT_FALSE(engine.updateFailed);
    EXPECT_EQ(Content(*server, "/www/index.html"), "new home");
    EXPECT_EQ(Content(*server, "/www/docs/a.txt"), "a");
    EXPECT_EQ(Content(*server, "/www/docs/b.txt"), "b");
    EXPECT_FALSE(server->nodes.contains("/www/gone.html"));
    EXPECT_FALSE(server->nodes.contains("/www/olddir"));
    EXPECT_FALSE(server->nodes.contains("/www/olddir/x.txt"));
    // The uploads went under temporary names and were renamed: none is left.
    for (const auto& [path, node] : server->nodes)
        EXPECT_EQ(path.find(".pelmora"), std::string::npos) << path;
    // The pool logged in more sessions beside the main one, each from the same settings.
    EXPECT_GT(server->sessions, 1);
    // The listing after the update found the server as the disk is.
    engine.AnalyseLists();
    EXPECT_TRUE(engine.MakeUpdatePlan().steps.empty());
}

// A run whose update follows its load at once gives the update the sessions the walk
// logged in, instead of logging in as many again; without it they go with the walk.
TEST(RemoteInterface, TheUpdateTakesOverTheWalksSessions) {
    for (const bool keep : {true, false}) {
        SCOPED_TRACE(keep);
        TTempTree tree;
        for (const char* dir : {"a", "b", "c", "d"})
            tree.File(std::string(dir) + "/new.html", dir);
        auto server = std::make_shared<TMemoryServer>();
        server->nodes["/www"] = {true, {}, 1};
        for (const char* dir : {"/www/a", "/www/b", "/www/c", "/www/d"})
            server->nodes[dir] = {true, {}, 1};
        TMemoryEngine engine(server);
        engine.options.localRoot = tree.Path();
        engine.options.remoteRoot = "/www";
        engine.options.connections = 3;
        engine.walkExtrasPayoff = 0;
        engine.keepWalkSessions = keep;
        ASSERT_TRUE(engine.LogIn(TRecordedEngine::LocalServer(21)));
        ASSERT_TRUE(engine.LoadLocalDirectory());
        engine.RefreshRemote();
        ASSERT_TRUE(engine.remoteLoad.complete) << engine.Status();
        engine.AnalyseLists();
        engine.UpdateRemote();
        EXPECT_FALSE(engine.updateFailed);
        EXPECT_EQ(Content(*server, "/www/d/new.html"), "d");
        EXPECT_EQ(server->sessions, keep ? 3 : 5);
    }
}

TEST(RemoteInterface, SiblingsCarryTheMainSessionsSettings) {
    TConnectionSettings settings;
    settings.host = "example.org";
    settings.port = 2121;
    settings.user = "site";
    settings.password = "secret";
    settings.useFirewall = true;
    settings.firewallHost = "proxy";
    settings.dataMode = TDataMode::Passive;
    settings.tlsMode = TTlsMode::Require;
    settings.trustedCertificate = "SHA256:" + std::string(64, 'A');
    settings.tlsSeenBefore = true;
    settings.timeoutMs = 1234;
    TFtpSession main;
    main.SetSettings(settings);
    main.timeoutMs = 4321;
    const std::unique_ptr<TRemoteSession> sibling = main.Sibling();
    ASSERT_NE(dynamic_cast<TFtpSession*>(sibling.get()), nullptr);
    EXPECT_EQ(sibling->Settings(), settings);
    EXPECT_EQ(sibling->timeoutMs, 4321u);
    EXPECT_FALSE(sibling->LoggedIn());
}
