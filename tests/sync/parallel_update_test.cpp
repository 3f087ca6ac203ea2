// The update spread over several sessions: servers that take fewer, a failure on one
// session, the order that matters across sessions, and Stop with transfers in flight.

#include "sync/sync_core.h"
#include "tests/support/eventually.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/local_settings.h"
#include "tests/support/real_ftp_servers.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

class TParallelForm : public TRecordedEngine {
public:
    TParallelForm() {
        options.timeoutMs = 5000;
        localScan.complete = true;
    }
    int Add(bool remote, const std::string& dir, const std::string& name, uint8_t kind,
            int parent = TTreeModel::NoNode) {
        auto* d = new TDetail;
        d->kind = kind;
        d->dir = dir;
        d->name = name;
        d->date = 1;
        d->time = ExactTime(1);
        return AddEntry(remote ? remoteList : localList, remote ? remoteTree : localTree, d,
                        parent);
    }
    int Said(const std::string& text) const {
        return static_cast<int>(std::count(view.statuses.begin(), view.statuses.end(), text));
    }
};

std::vector<std::string> Verbs(const TFtpScriptServer& server, const std::string& verb) {
    std::vector<std::string> out;
    for (const auto& c : server.Commands())
        if (c.rfind(verb + " ", 0) == 0)
            out.push_back(c.substr(verb.size() + 1));
    return out;
}

} // namespace

// A server that allows fewer connections than asked for: each extra login is refused in
// one of the ways such servers refuse it, and the run completes on the main session as
// it would alone, having said so once.
TEST(ParallelUpdate, ExtraLoginsRefusedLeaveTheRunToTheSessionsItHas) {
    const std::vector<std::pair<const char*, std::function<void(TFtpScriptServer&)>>> refusals = {
        {"421 at the greeting",
         [](TFtpScriptServer& s) {
             s.On("")
                 .Reply("421 Too many connections (2) from this IP")
                 .CloseControl(TFtpRule::CloseAfterReply);
         }},
        {"530 at the password",
         [](TFtpScriptServer& s) { s.On("PASS").Reply("530 Sorry, too many clients"); }},
        {"closed at once",
         [](TFtpScriptServer& s) { s.On("").Silent().CloseControl(TFtpRule::CloseBeforeReply); }},
    };
    for (const auto& [name, refuse] : refusals) {
        SCOPED_TRACE(name);
        TTempTree tree;
        tree.File("a.txt", "first");
        tree.File("b.txt", "second");
        tree.File("c.txt", "third");
        TFtpScriptServer server;
        server.AcceptPassive();
        // Slow enough that every extra login has ended before the run does.
        server.On("STOR").Delay(100);
        TFtpScriptServer full;
        refuse(full);
        TParallelForm form;
        form.options.localRoot = tree.Path();
        form.options.remoteRoot = "/www";
        form.options.atomic = false;
        form.options.connections = 4;
        ASSERT_TRUE(form.LogInTo(server.Port()));
        form.ExtrasGoTo(full.Port());
        for (const char* file : {"a.txt", "b.txt", "c.txt"})
            form.Add(false, "", file, kindFile);
        form.AnalyseLists();
        form.UpdateRemote();
        EXPECT_EQ(Verbs(server, "STOR"),
                  (std::vector<std::string>{"/www/a.txt", "/www/b.txt", "/www/c.txt"}));
        EXPECT_TRUE(Verbs(full, "STOR").empty());
        EXPECT_FALSE(form.updateFailed) << ::testing::PrintToString(form.updateFailures);
        EXPECT_EQ(form.Status(), "Remote Site Update Complete");
        const std::string said = "The server took 1 of 3 connections; going on with 1";
        EXPECT_EQ(form.Said(said), 1) << ::testing::PrintToString(form.view.statuses);
        EXPECT_EQ(std::count(form.view.traces.begin(), form.view.traces.end(), said), 1);
        EXPECT_TRUE(form.connected);
    }
}

// In active mode the server connects back for every transfer: one session does all, as
// it always has, whatever the setting.
TEST(ParallelUpdate, ActiveModeKeepsToOneSession) {
    TTempTree tree;
    for (const char* file : {"a.txt", "b.txt", "c.txt"})
        tree.File(file, file);
    TFtpScriptServer server;
    TFtpScriptServer other;
    TParallelForm form;
    form.options.localRoot = tree.Path();
    form.options.remoteRoot = "/www";
    form.options.atomic = false;
    form.options.connections = 4;
    ASSERT_TRUE(form.LogInTo(server.Port(), "u", "p", TDataMode::Active));
    form.ExtrasGoTo(other.Port());
    for (const char* file : {"a.txt", "b.txt", "c.txt"})
        form.Add(false, "", file, kindFile);
    form.AnalyseLists();
    form.UpdateRemote();
    EXPECT_EQ(Verbs(server, "STOR").size(), 3u);
    EXPECT_EQ(other.Sessions(), 0);
    EXPECT_EQ(form.Status(), "Remote Site Update Complete");
}

// One session's server refuses every store: the items that session took fail, each with
// its path and reason, and the other session carries the rest; the run is not lost. The
// other session logs in while the directories are made, and still takes uploads after.
TEST(ParallelUpdate, AFailureOnOneSessionFailsThatItemOnly) {
    TTempTree tree;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        names.push_back("d" + std::to_string(i % 2) + "/f" + std::to_string(i) + ".txt");
        tree.File(names.back(), "content " + std::to_string(i));
    }
    TFtpScriptServer server;
    server.AcceptPassive();
    // The main session is slow, so that the other takes its share.
    server.On("MKD").Delay(300);
    server.On("STOR").Delay(150);
    TFtpScriptServer refusing;
    refusing.AcceptPassive();
    refusing.On("STOR").Refuse("553 Could not create file");
    TParallelForm form;
    form.options.localRoot = tree.Path();
    form.options.remoteRoot = "/www";
    form.options.atomic = false;
    form.options.connections = 2;
    ASSERT_TRUE(form.LogInTo(server.Port()));
    form.ExtrasGoTo(refusing.Port());
    const int d0 = form.Add(false, "", "d0", kindDirectory);
    for (int i = 0; i < 8; i += 2)
        form.Add(false, "/d0", names[static_cast<size_t>(i)].substr(3), kindFile, d0);
    const int d1 = form.Add(false, "", "d1", kindDirectory);
    for (int i = 1; i < 8; i += 2)
        form.Add(false, "/d1", names[static_cast<size_t>(i)].substr(3), kindFile, d1);
    form.AnalyseLists();
    form.UpdateRemote();
    const auto stored = Verbs(server, "STOR");
    const auto refused = Verbs(refusing, "STOR");
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(stored.size() + refused.size(), names.size());
    // A directory the other session made is on the other server: the listing after the
    // update, read on the main one, does not show it, and says so.
    const auto uploadFailures =
        std::count_if(form.updateFailures.begin(), form.updateFailures.end(),
                      [](const std::string& f) { return f.starts_with("Could not upload: "); });
    EXPECT_EQ(static_cast<size_t>(uploadFailures), refused.size())
        << ::testing::PrintToString(form.updateFailures);
    for (const std::string& path : refused) {
        const std::string failure =
            "Could not upload: " + path.substr(4) + " (Could not create file)";
        const bool listed = std::any_of(
            form.updateFailures.begin(), form.updateFailures.end(), [&](const std::string& f) {
                return f.rfind("Could not upload: " + path.substr(4), 0) == 0 &&
                       f.find("553 Could not create file") != std::string::npos;
            });
        EXPECT_TRUE(listed) << failure << " in " << ::testing::PrintToString(form.updateFailures);
    }
    for (const std::string& path : stored)
        EXPECT_TRUE(Eventually([&] { return server.HasStored(path); })) << path;
    EXPECT_TRUE(form.updateFailed);
    EXPECT_TRUE(form.connected);
    EXPECT_EQ(form.Status().rfind("Remote Site Update Incomplete: Could not upload: ", 0), 0u)
        << form.Status();
}

// The paths of a tree, with each file's size: enough to tell two trees apart, short
// enough to read in a failure.
std::vector<std::string> Shape(const fs::path& root) {
    std::vector<std::string> shape;
    for (const auto& [path, content] : Snapshot(root))
        shape.push_back(path + " " + std::to_string(content.size()));
    return shape;
}

// On real servers, which refuse a store into a directory not yet made and the removal of
// a directory not yet empty: a first run makes nested directories with files, a second
// deletes a nested tree and makes others, four sessions at once; each time the server
// comes out equal to the disk, and a run after it finds nothing to do.
TEST(ParallelUpdate, NestedCreatesAndDeletesOnRealServers) {
    for (const TRealServerKind kind : AllRealServers) {
        TRealFtpServer server(kind);
        SCOPED_TRACE(server.Name());
        std::string why;
        ASSERT_TRUE(server.Start(why)) << why;
        const fs::path site = server.SiteOnDisk();
        TTempTree tree;
        for (const char* file : {"gone/a.txt", "gone/b.txt", "gone/deep/c.txt",
                                 "gone/deep/er/d.txt", "old.txt", "keep/k.txt"})
            tree.File(file, file);
        TParallelForm form;
        form.options.timeoutMs = 10000;
        form.options.connections = 4;
        form.options.mayDelete = true;
        form.options.localRoot = tree.Path();
        form.options.remoteRoot = server.SiteDir();
        ASSERT_TRUE(form.LogInTo(server.Port(), server.User(), server.Password()));
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run == 0 ? "first run" : "second run");
            if (run == 1) {
                fs::remove_all(tree.Path("gone"));
                fs::remove(tree.Path("old.txt"));
                for (int i = 0; i < 6; ++i) {
                    const std::string n = std::to_string(i);
                    tree.File("new" + n + "/f" + n + ".html", "page " + n);
                    tree.File("new" + n + "/sub/deeper/g" + n + ".txt",
                              std::string(20000 + i, 'x'));
                    tree.File("top" + n + ".txt", "top " + n);
                }
            }
            ASSERT_TRUE(form.LoadLocalDirectory());
            form.RefreshRemote();
            ASSERT_TRUE(form.remoteLoad.complete) << form.Status();
            form.AnalyseLists();
            form.UpdateRemote();
            EXPECT_FALSE(form.updateFailed) << ::testing::PrintToString(form.updateFailures);
            EXPECT_EQ(form.Status(), "Remote Site Update Complete");
            EXPECT_EQ(Shape(site), Shape(tree.Path()));
            EXPECT_TRUE(Snapshot(site) == Snapshot(tree.Path()));
            EXPECT_EQ(form.Said("The server took 1 of 4 connections; going on with 1"), 0);
            form.AnalyseLists();
            EXPECT_TRUE(form.MakeUpdatePlan().steps.empty())
                << ::testing::PrintToString(form.UpdatePlan());
        }
    }
}

// Stop while every session is in the middle of a store: the run ends at once, however
// long the servers would take, and says so as a stopped run does.
TEST(ParallelUpdate, StopEndsEverySessionPromptly) {
    TTempTree tree;
    for (int i = 0; i < 6; ++i)
        tree.File("f" + std::to_string(i) + ".txt", "content");
    TFtpScriptServer server;
    TFtpScriptServer other;
    for (TFtpScriptServer* s : {&server, &other}) {
        s->AcceptPassive();
        s->On("STOR").Delay(4000);
    }
    TParallelForm form;
    form.options.localRoot = tree.Path();
    form.options.remoteRoot = "/www";
    form.options.atomic = false;
    form.options.connections = 2;
    form.options.timeoutMs = 10000;
    ASSERT_TRUE(form.LogInTo(server.Port()));
    form.ExtrasGoTo(other.Port());
    for (int i = 0; i < 6; ++i)
        form.Add(false, "", "f" + std::to_string(i) + ".txt", kindFile);
    form.AnalyseLists();
    QTimer poll;
    uint32_t stoppedAt = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (stoppedAt == 0 && !Verbs(server, "STOR").empty() && !Verbs(other, "STOR").empty()) {
            stoppedAt = GetTickCount();
            form.session.Stop();
            form.userStop = true;
        }
    });
    poll.start(10);
    const uint32_t began = GetTickCount();
    form.UpdateRemote();
    const uint32_t ended = GetTickCount();
    poll.stop();
    ASSERT_NE(stoppedAt, 0u) << "both sessions never stored at once";
    EXPECT_LT(ended - stoppedAt, 1000u);
    EXPECT_LT(ended - began, 3500u);
    EXPECT_EQ(Verbs(server, "STOR").size() + Verbs(other, "STOR").size(), 2u);
    EXPECT_TRUE(form.updateFailed);
    EXPECT_EQ(form.Status(), "Transfer canceled. You MAY have to reconnect.");
}
