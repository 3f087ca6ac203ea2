// The remote walk over several sessions at once: what it loads is what the walk on one
// session loads, a session lost on the way costs no directory, and Stop ends it at once.

#include "sync/sync_core.h"
#include "sync/temporary_names.h"
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
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

class TWalkForm : public TRecordedEngine {
public:
    TWalkForm() {
        options.timeoutMs = 5000;
        // The trees here are small: the extra sessions are logged in whatever the pace.
        walkExtrasPayoff = 0;
        Pool().OnJoined = [this](TRemoteSession&) { ++joined; };
    }
    std::vector<std::string> Keys() const {
        std::vector<std::string> keys;
        for (int i = 0; i < remoteList.Count(); ++i)
            keys.push_back(remoteList.Strings(i));
        return keys;
    }
    // Everything a load leaves behind, one line per item: each entry with its node, what
    // it could not read or left out, and what it said on the way.
    std::vector<std::string> Loaded() const {
        std::vector<std::string> lines;
        EXPECT_EQ(remoteList.Count(), remoteTree.Count());
        for (int i = 0; i < remoteList.Count(); ++i) {
            const auto& e = *static_cast<const TDetail*>(remoteList.Objects(i));
            const auto& node = remoteTree.Node(i);
            lines.push_back(remoteList.Strings(i) + " name=" + e.name + " dir=" + e.dir +
                            " kind=" + std::to_string(e.kind) + " size=" + std::to_string(e.size) +
                            " utc=" + std::to_string(e.time.utc) +
                            " precision=" + std::to_string(static_cast<int>(e.time.precision)) +
                            " date=" + std::to_string(e.date) + " | " + node.Text + " parent=" +
                            std::to_string(node.Parent) + " row=" + std::to_string(node.Row) +
                            " image=" + std::to_string(node.StateIndex) +
                            " expanded=" + std::to_string(node.Expanded));
        }
        const auto add = [&](const char* what, const std::vector<std::string>& items) {
            for (const std::string& item : items)
                lines.push_back(std::string(what) + ": " + item);
        };
        add("unlisted", remoteLoad.unlisted);
        add("problem", remoteLoad.problems);
        std::vector<std::string> excluded;
        for (const TExcludedEntry& e : remoteLoad.excluded)
            excluded.push_back(e.key + (e.directory ? "/" : ""));
        add("excluded", excluded);
        add("leftover", remoteLoad.leftovers);
        add("status", view.statuses);
        add("trace", view.traces);
        lines.push_back("complete=" + std::to_string(remoteLoad.complete) +
                        " caseFolding=" + std::to_string(caseFolding));
        return lines;
    }
    int joined = 0;
};

std::vector<std::string> Verbs(const TFtpScriptServer& server, const std::string& verb) {
    std::vector<std::string> out;
    for (const auto& c : server.Commands())
        if (c.rfind(verb, 0) == 0)
            out.push_back(c.size() > verb.size() ? c.substr(verb.size() + 1) : "");
    return out;
}

// The lines of `a` not in `b` ("-") and of `b` not in `a` ("+"): a failure names only
// what differs.
std::vector<std::string> Differences(const std::vector<std::string>& a,
                                     const std::vector<std::string>& b) {
    std::vector<std::string> out;
    for (const std::string& line : a)
        if (std::find(b.begin(), b.end(), line) == b.end())
            out.push_back("- " + line);
    for (const std::string& line : b)
        if (std::find(a.begin(), a.end(), line) == a.end())
            out.push_back("+ " + line);
    return out;
}

void Write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace

// The main session reads the root and one directory while the other session reads the
// other; the main session ends standing in the root, as the walk on one session leaves
// it, and the other session is logged out once the walk is over.
TEST(ParallelWalk, SpreadsTheLevelsAndEndsInTheRootWithTheOtherSessionClosed) {
    TFtpScriptServer server;
    server.AcceptPassive();
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b",
                      "-rw-r--r-- 1 o g 5 Jul 15 1996 z.html"},
                     {"-rw-r--r-- 1 o g 2 Jul 15 1996 a1"}});
    // Slow enough that the other session has logged in and taken /b meanwhile.
    server.On("CWD").Arg("/www/a").Delay(500).Reply("250 ok");
    TFtpScriptServer other;
    other.AcceptPassive();
    other.SetListing(Lines({"-rw-r--r-- 1 o g 3 Jul 15 1996 b1"}));
    TWalkForm form;
    form.options.connections = 2;
    ASSERT_TRUE(form.LogInTo(server.Port()));
    form.ExtrasGoTo(other.Port());
    form.options.remoteRoot = "/www";
    form.RefreshRemote();
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/a1", "/b", "/b/b1", "/z.html"}));
    EXPECT_TRUE(form.remoteLoad.complete);
    EXPECT_EQ(form.Status(), "Remote Directory Loaded: 5");
    EXPECT_EQ(form.joined, 1);
    EXPECT_EQ(Verbs(server, "CWD"), (std::vector<std::string>{"/www", "/www/a", "/www"}));
    EXPECT_EQ(Verbs(other, "CWD"), std::vector<std::string>{"/www/b"});
    EXPECT_TRUE(Eventually([&] { return other.SessionOver(); }));
    EXPECT_EQ(Verbs(other, "QUIT").size(), 1u);
    EXPECT_FALSE(form.remoteLoading);
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Stop));
    EXPECT_TRUE(form.view.Enabled(TSyncAction::Compare));
    EXPECT_EQ(form.recurseLevel, 0);
}

// The extra sessions are logged in only where the reading left outweighs their logins: a
// slow login beside quick listings leaves the walk on the main session, slow listings
// beside a quick login share it out.
TEST(ParallelWalk, ExtraSessionsOnlyWhereTheyPay) {
    struct TCase {
        const char* name;
        const char* slowVerb;
        bool shared;
    };
    for (const TCase& c :
         {TCase{"slow login", "PASS", false}, TCase{"slow listings", "TYPE", true}}) {
        SCOPED_TRACE(c.name);
        TFtpScriptServer server;
        server.AcceptPassive();
        ListingsInOrder(server,
                        {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b",
                          "drwxr-xr-x 2 o g 1 Jul 15 1996 c"},
                         {"-rw-r--r-- 1 o g 2 Jul 15 1996 a1"},
                         {"-rw-r--r-- 1 o g 3 Jul 15 1996 b1"},
                         {"-rw-r--r-- 1 o g 4 Jul 15 1996 c1"}});
        const std::string reply = std::string(c.slowVerb) == "PASS" ? "230 in" : "200 ok";
        server.On(c.slowVerb).Delay(300).Reply(reply);
        TFtpScriptServer other;
        other.AcceptPassive();
        other.SetListing(Lines({"-rw-r--r-- 1 o g 5 Jul 15 1996 x1"}));
        TWalkForm form;
        form.walkExtrasPayoff = TSyncCore::DefaultWalkExtrasPayoff;
        form.options.connections = 2;
        ASSERT_TRUE(form.LogInTo(server.Port()));
        form.ExtrasGoTo(other.Port());
        form.options.remoteRoot = "/www";
        form.RefreshRemote();
        EXPECT_TRUE(form.remoteLoad.complete) << form.Status();
        if (c.shared) {
            EXPECT_EQ(form.joined, 1);
        } else {
            EXPECT_EQ(other.Sessions(), 0);
            EXPECT_EQ(Verbs(server, "CWD"),
                      (std::vector<std::string>{"/www", "/www/a", "/www/b", "/www/c", "/www"}));
        }
    }
}

// In active mode the server connects back for every listing: the walk stays on the main
// session, whatever the setting.
TEST(ParallelWalk, ActiveModeWalksOnOneSession) {
    TFtpScriptServer server;
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b"},
                     {"-rw-r--r-- 1 o g 2 Jul 15 1996 a1"},
                     {"-rw-r--r-- 1 o g 3 Jul 15 1996 b1"}});
    TFtpScriptServer other;
    TWalkForm form;
    form.options.connections = 4;
    ASSERT_TRUE(form.LogInTo(server.Port(), "u", "p", TDataMode::Active));
    form.ExtrasGoTo(other.Port());
    form.options.remoteRoot = "/www";
    form.RefreshRemote();
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/a1", "/b", "/b/b1"}));
    EXPECT_EQ(Verbs(server, "CWD"), (std::vector<std::string>{"/www", "/www/a", "/www/b", "/www"}));
    EXPECT_EQ(other.Sessions(), 0);
}

// A server that takes no more connections: the walk is done on the main session and
// the status line says only what it found; the refusal is in the trace.
TEST(ParallelWalk, ExtraLoginsRefusedLeaveTheWalkToTheMainSession) {
    TFtpScriptServer server;
    server.AcceptPassive();
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b"},
                     {"-rw-r--r-- 1 o g 2 Jul 15 1996 a1"},
                     {"-rw-r--r-- 1 o g 3 Jul 15 1996 b1"}});
    // Slow enough that the refusal has come before the walk ends.
    server.On("CWD").Arg("/www/a").Delay(300).Reply("250 ok");
    TFtpScriptServer full;
    full.On("")
        .Reply("421 Too many connections (1) from this IP")
        .CloseControl(TFtpRule::CloseAfterReply);
    TWalkForm form;
    form.options.connections = 3;
    ASSERT_TRUE(form.LogInTo(server.Port()));
    form.ExtrasGoTo(full.Port());
    form.options.remoteRoot = "/www";
    form.RefreshRemote();
    EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/a1", "/b", "/b/b1"}));
    EXPECT_TRUE(form.remoteLoad.complete);
    EXPECT_EQ(form.view.statuses,
              (std::vector<std::string>{"Connected", "", "Loading Remote Directory",
                                        "Remote Directory Loaded: 4"}));
    EXPECT_TRUE(form.view.Traced("The server took 1 of 3 connections; going on with 1"))
        << ::testing::PrintToString(form.view.traces);
    EXPECT_EQ(Verbs(server, "CWD"), (std::vector<std::string>{"/www", "/www/a", "/www/b", "/www"}));
}

// The other session fails while it reads /b, a directory with one below it: /b is read
// again on the main session, and so is what lies below it; nothing is missing and the
// load is complete, as if the other session had never been there. A passing refusal
// (4xx) there is read again on the main session too, as a walk on it would have read it.
TEST(ParallelWalk, ADirectoryAnotherSessionFailsOnIsReadOnTheMainSession) {
    struct Case {
        const char* name;
        std::function<void(TFtpScriptServer&)> fail;
    };
    const std::vector<Case> cases = {
        {"connection closed",
         [](TFtpScriptServer& s) {
             s.On("LIST").Silent().CloseControl(TFtpRule::CloseBeforeReply);
         }},
        {"no answer", [](TFtpScriptServer& s) { s.On("LIST").Silent(); }},
        {"passing refusal",
         [](TFtpScriptServer& s) { s.On("LIST").Refuse("425 Cannot open data connection"); }},
        {"lost on entering",
         [](TFtpScriptServer& s) {
             s.On("CWD").Arg("/www/b").Silent().CloseControl(TFtpRule::CloseBeforeReply);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFtpScriptServer server;
        server.AcceptPassive();
        ListingsInOrder(server,
                        {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b",
                          "-rw-r--r-- 1 o g 5 Jul 15 1996 z.html"},
                         {"-rw-r--r-- 1 o g 2 Jul 15 1996 a1"},
                         {"drwxr-xr-x 2 o g 1 Jul 15 1996 c", "-rw-r--r-- 1 o g 3 Jul 15 1996 b1"},
                         {"-rw-r--r-- 1 o g 4 Jul 15 1996 c1"}});
        server.On("CWD").Arg("/www/a").Delay(500).Reply("250 ok");
        TFtpScriptServer other;
        other.AcceptPassive();
        c.fail(other);
        TWalkForm form;
        form.options.connections = 2;
        form.options.timeoutMs = 1500;
        ASSERT_TRUE(form.LogInTo(server.Port()));
        form.ExtrasGoTo(other.Port());
        form.options.remoteRoot = "/www";
        form.RefreshRemote();
        EXPECT_EQ(Verbs(other, "CWD"), std::vector<std::string>{"/www/b"});
        EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/a/a1", "/b", "/b/c", "/b/c/c1",
                                                         "/b/b1", "/z.html"}));
        EXPECT_TRUE(form.remoteLoad.complete);
        EXPECT_TRUE(form.remoteLoad.unlisted.empty())
            << ::testing::PrintToString(form.remoteLoad.unlisted);
        EXPECT_TRUE(form.remoteLoad.problems.empty())
            << ::testing::PrintToString(form.remoteLoad.problems);
        EXPECT_EQ(form.Status(), "Remote Directory Loaded: 7");
        EXPECT_EQ(Verbs(server, "CWD"),
                  (std::vector<std::string>{"/www", "/www/a", "/www/b", "/www/b/c", "/www"}));
        EXPECT_TRUE(form.connected);
    }
}

// A listing refused at once (550 after the directory was entered) leaves that directory
// unknown unless a name listing of it succeeds with no name; the walk on one session and
// the walk over several ask the same and load the same.
TEST(ParallelWalk, ARefusedListingIsUnknownUnlessProvedEmptyOnEveryWalk) {
    for (const bool provedEmpty : {false, true}) {
        SCOPED_TRACE(provedEmpty ? "names listing empty" : "names listing refused");
        std::vector<std::string> loaded[2];
        for (const int connections : {1, 2}) {
            // The extra session logs in to a server of its own that answers alike.
            TFtpScriptServer server, other;
            for (TFtpScriptServer* each : {&server, &other}) {
                each->AcceptPassive();
                each->On("LIST").Refuse("550 No files found");
                if (provedEmpty)
                    each->On("NLST").Listing({""});
                else
                    each->On("NLST").Refuse("550 No files found");
            }
            server.On("LIST").Uses(1).Listing(
                {Lines({"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b",
                        "-rw-r--r-- 1 o g 5 Jul 15 1996 z.html"})});
            // The main session is slow into /www/a: the other session reads /www/b.
            server.On("CWD").Arg("/www/a").Delay(300).Reply("250 ok");
            TWalkForm form;
            form.options.connections = connections;
            ASSERT_TRUE(form.LogInTo(server.Port()));
            form.ExtrasGoTo(other.Port());
            form.options.remoteRoot = "/www";
            form.RefreshRemote();
            EXPECT_EQ(form.Keys(), (std::vector<std::string>{"/a", "/b", "/z.html"}));
            auto nlsts = Verbs(server, "NLST");
            for (const std::string& n : Verbs(other, "NLST"))
                nlsts.push_back(n);
            EXPECT_EQ(nlsts, (std::vector<std::string>{"-a", "-a"}));
            if (connections == 2) {
                EXPECT_EQ(Verbs(other, "NLST").size(), 1u) << "the other session read one";
            }
            if (provedEmpty) {
                EXPECT_TRUE(form.remoteLoad.complete);
                EXPECT_TRUE(form.remoteLoad.unlisted.empty());
            } else {
                EXPECT_FALSE(form.remoteLoad.complete);
                EXPECT_EQ(form.remoteLoad.unlisted, (std::vector<std::string>{"/a", "/b"}));
                EXPECT_EQ(form.remoteLoad.problems,
                          (std::vector<std::string>{"Could not list /a: 550 No files found",
                                                    "Could not list /b: 550 No files found"}));
            }
            loaded[connections - 1] = form.Loaded();
        }
        EXPECT_EQ(Differences(loaded[0], loaded[1]), std::vector<std::string>{});
    }
}

// One walk, however many sessions read: a tree loaded over one session and over three
// (each logged in to a server of its own that serves the same directories and rules)
// leaves the same entries, nodes, problems and words behind, whatever lies in the way.
TEST(ParallelWalk, OneAndThreeSessionsLoadTheSame) {
    const auto dir = [](const std::string& name) {
        return "drwxr-xr-x 2 o g 1 Jul 15 1996 " + name;
    };
    const auto file = [](const std::string& name) {
        return "-rw-r--r-- 1 o g 5 Jul 15 1996 " + name;
    };
    const std::string leftover = fs::path(TemporaryPathFor("/z.html")).filename().string();
    struct Case {
        const char* name;
        std::map<std::string, std::string> tree; // listing text by directory
        std::function<void(TFtpScriptServer&)> rules;
        std::vector<std::string> keys;
        std::vector<std::string> problems;
        size_t lists; // LIST commands over all sessions
        // Stop once /a is in the lists, while /www/b is being entered.
        bool stop = false;
    };
    const std::vector<Case> cases = {
        {"nested, with what is left out",
         {{"/www", Lines({dir("a"), dir("b"), dir("drafts"), file("z.html"), file(leftover),
                          "lrwxrwxrwx 1 o g 1 Jul 15 1996 l -> a"})},
          {"/www/a", Lines({dir("x"), file("a1"), file("old.bak")})},
          {"/www/a/x", Lines({file("deep.txt")})},
          {"/www/b", Lines({file("b1")})}},
         nullptr,
         {"/a", "/a/x", "/a/x/deep.txt", "/a/a1", "/b", "/b/b1", "/l", "/z.html"},
         {},
         4},
        // Read twice, alike both times: a server that leaves off the last line end.
        {"a listing cut in the middle of a line",
         {{"/www", Lines({dir("a"), dir("b")})},
          {"/www/a", Lines({file("a1")}) + file("a2")},
          {"/www/b", Lines({file("b1")})}},
         nullptr,
         {"/a", "/a/a1", "/a/a2", "/b", "/b/b1"},
         {},
         4},
        {"a directory that cannot be entered",
         {{"/www", Lines({dir("a"), dir("locked"), dir("b")})},
          {"/www/a", Lines({file("a1")})},
          {"/www/b", Lines({file("b1")})}},
         [](TFtpScriptServer& s) {
             s.On("CWD").Arg("/www/locked").Reply("550 No access to /www/locked");
             s.On("CWD").Arg("locked").Reply("550 No access");
         },
         {"/a", "/a/a1", "/b", "/b/b1", "/locked"},
         {"Could not enter /locked: 550 No access"},
         3},
        {"a stop",
         {{"/www", Lines({dir("a"), dir("b"), file("z.html")})},
          {"/www/a", Lines({file("a1")})},
          {"/www/b", Lines({file("b1")})}},
         [](TFtpScriptServer& s) { s.On("CWD").Arg("/www/b").Delay(3000).Reply("250 ok"); },
         {"/a", "/a/a1", "/b"},
         {},
         0,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> loaded[2];
        for (const int connections : {1, 3}) {
            SCOPED_TRACE(connections);
            TFtpScriptServer servers[3];
            for (TFtpScriptServer& server : servers) {
                server.AcceptPassive();
                for (const auto& [path, text] : c.tree)
                    server.SetListingOf(path, text);
                if (c.rules)
                    c.rules(server);
            }
            TWalkForm form;
            form.options.connections = connections;
            form.options.excludes = {"/drafts", "*.bak"};
            TTempTree local;
            form.options.localRoot = local.Path();
            ASSERT_TRUE(form.LoadLocalDirectory());
            ASSERT_TRUE(form.LogInTo(servers[0].Port()));
            if (connections == 3) {
                // Logged in before the walk, each to a server of its own.
                form.ExtrasGoTo(servers[1].Port());
                form.Pool().Open(2);
                form.ExtrasGoTo(servers[2].Port());
                form.Pool().Open(3);
                ASSERT_TRUE(Eventually([&] { return form.Pool().Usable() == 3; }));
            }
            form.options.remoteRoot = "/www";
            form.view.statuses.clear();
            form.view.traces.clear();
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                const auto entering = [](const TFtpScriptServer& s) {
                    return !Verbs(s, "CWD /www/b").empty();
                };
                if (c.stop && !form.userStop && form.remoteList.IndexOf("/a/a1") >= 0 &&
                    std::any_of(std::begin(servers), std::end(servers), entering)) {
                    form.session.Stop();
                    form.userStop = true;
                }
            });
            poll.start(10);
            form.RefreshRemote();
            poll.stop();
            EXPECT_EQ(form.Keys(), c.keys);
            EXPECT_EQ(form.remoteLoad.problems, c.problems);
            if (c.tree.size() == 4) {
                EXPECT_EQ(form.remoteLoad.excluded,
                          (std::vector<TExcludedEntry>{{"/a/old.bak", false}, {"/drafts", true}}));
                EXPECT_EQ(form.remoteLoad.leftovers, std::vector<std::string>{"/" + leftover});
            }
            size_t lists = 0, listsByOthers = 0;
            for (const TFtpScriptServer& server : servers) {
                const size_t here = Verbs(server, "LIST").size();
                lists += here;
                if (&server != &servers[0])
                    listsByOthers += here;
            }
            if (c.stop) {
                EXPECT_EQ(form.Status(), "Directory Load Stopped");
                EXPECT_FALSE(form.view.Enabled(TSyncAction::Compare));
            } else {
                EXPECT_EQ(form.remoteLoad.complete, c.problems.empty());
                // Each directory listed once, the one cut short twice.
                EXPECT_EQ(lists, c.lists);
                if (connections == 3) {
                    EXPECT_GT(listsByOthers, 0u) << "the other sessions read their share";
                }
            }
            loaded[connections == 1 ? 0 : 1] = form.Loaded();
        }
        EXPECT_EQ(Differences(loaded[0], loaded[1]), std::vector<std::string>{});
    }
}

// When the main session goes too, nothing can read what is left: the load fails and
// says where, and no tree is offered for a compare.
TEST(ParallelWalk, TheMainSessionLostFailsTheLoadClearly) {
    TFtpScriptServer server;
    server.AcceptPassive();
    // The root's listing, then the connection closed at the next.
    server.On("LIST").Silent().CloseControl(TFtpRule::CloseBeforeReply);
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b"}});
    server.On("CWD").Arg("/www/a").Delay(300).Reply("250 ok");
    TFtpScriptServer other;
    other.AcceptPassive();
    other.SetListing(Lines({"-rw-r--r-- 1 o g 3 Jul 15 1996 b1"}));
    TWalkForm form;
    form.options.connections = 2;
    ASSERT_TRUE(form.LogInTo(server.Port()));
    form.ExtrasGoTo(other.Port());
    form.options.remoteRoot = "/www";
    form.RefreshRemote();
    EXPECT_FALSE(form.remoteLoad.complete);
    EXPECT_EQ(form.Status().rfind("Could not list the remote directory /a: ", 0), 0u)
        << form.Status();
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Compare));
    EXPECT_FALSE(form.remoteLoading);
    EXPECT_TRUE(Eventually([&] { return other.SessionOver(); }));
}

// Stop while both sessions wait for a slow server: the walk ends at once on both and
// says it was stopped.
TEST(ParallelWalk, StopEndsTheWalkOnEverySessionPromptly) {
    TFtpScriptServer server;
    TFtpScriptServer other;
    for (TFtpScriptServer* s : {&server, &other}) {
        s->AcceptPassive();
        s->On("LIST").Delay(4000);
    }
    // The root's listing comes at once.
    ListingsInOrder(server,
                    {{"drwxr-xr-x 2 o g 1 Jul 15 1996 a", "drwxr-xr-x 2 o g 1 Jul 15 1996 b",
                      "drwxr-xr-x 2 o g 1 Jul 15 1996 c"}});
    TWalkForm form;
    form.options.connections = 2;
    form.options.timeoutMs = 10000;
    ASSERT_TRUE(form.LogInTo(server.Port()));
    form.ExtrasGoTo(other.Port());
    form.options.remoteRoot = "/www";
    QTimer poll;
    uint32_t stoppedAt = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (stoppedAt == 0 && Verbs(server, "LIST").size() == 2 && !Verbs(other, "LIST").empty()) {
            stoppedAt = GetTickCount();
            form.session.Stop();
            form.userStop = true;
        }
    });
    poll.start(10);
    const uint32_t began = GetTickCount();
    form.RefreshRemote();
    const uint32_t ended = GetTickCount();
    poll.stop();
    ASSERT_NE(stoppedAt, 0u) << "both sessions never listed at once";
    EXPECT_LT(ended - stoppedAt, 1000u);
    EXPECT_LT(ended - began, 3500u);
    EXPECT_EQ(form.Status(), "Directory Load Stopped");
    EXPECT_FALSE(form.remoteLoad.complete);
    EXPECT_FALSE(form.remoteLoading);
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Stop));
    EXPECT_FALSE(form.view.Enabled(TSyncAction::Compare));
    EXPECT_TRUE(Eventually([&] { return other.SessionOver(); }));
}

// On real servers in passive mode: nested directories, one the login may not enter, a
// link, excluded names and a temporary file a cut-off run left. Four sessions load
// exactly what one loads, entry by entry and node by node, and say the same on the way.
TEST(ParallelWalk, FourSessionsLoadWhatOneLoadsOnRealServers) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a directory the server's login cannot enter";
    for (const TRealServerKind kind : {TRealServerKind::Vsftpd, TRealServerKind::PureFtpd}) {
        TRealFtpServer server(kind);
        SCOPED_TRACE(server.Name());
        std::string why;
        ASSERT_TRUE(server.Start(why)) << why;
        const fs::path site = server.SiteOnDisk();
        for (int d = 0; d < 5; ++d) {
            const std::string dir = "d" + std::to_string(d);
            Write(site / dir / "index.html", dir);
            for (int s = 0; s < 3; ++s) {
                const std::string sub = dir + "/s" + std::to_string(s);
                Write(site / sub / "page.html", std::string(static_cast<size_t>(10 + s), 'x'));
                Write(site / sub / "deeper" / "leaf.txt", sub);
            }
        }
        fs::create_directories(site / "empty");
        Write(site / "locked/secret.html", "locked");
        Write(site / "drafts/draft.html", "excluded");
        Write(site / "d1/old.bak", "excluded");
        Write(site / fs::path(TemporaryPathFor("/d2/s1/page.html")).relative_path(), "left");
        fs::create_symlink("d0", site / "d4" / "to-d0");
        Write(site / "top.html", "top");
        struct stat owner {};
        ASSERT_EQ(::stat(site.c_str(), &owner), 0);
        for (const auto& e : fs::recursive_directory_iterator(site))
            ASSERT_EQ(::lchown(e.path().c_str(), owner.st_uid, owner.st_gid), 0) << e.path();
        ASSERT_EQ(::chown((site / "locked").c_str(), 0, 0), 0);
        ::chmod((site / "locked").c_str(), 0700);
        if (owner.st_uid == 0)
            GTEST_SKIP() << server.Name() << " runs its sessions as root here";
        TTempTree local;
        std::vector<std::string> loaded[2];
        for (const int connections : {1, 4}) {
            SCOPED_TRACE(connections);
            TWalkForm form;
            form.options.timeoutMs = 10000;
            form.options.connections = connections;
            form.options.excludes = {"/drafts", "*.bak"};
            form.options.localRoot = local.Path();
            ASSERT_TRUE(form.LoadLocalDirectory());
            ASSERT_TRUE(form.LogInTo(server.Port(), server.User(), server.Password()));
            // Logged in before the walk, so that each takes its share however short it is.
            form.Pool().Open(connections);
            ASSERT_TRUE(Eventually([&] { return form.Pool().Usable() == connections; }));
            form.options.remoteRoot = server.SiteDir();
            form.view.statuses.clear();
            form.view.traces.clear();
            form.RefreshRemote();
            EXPECT_EQ(form.joined, connections - 1) << ::testing::PrintToString(form.view.traces);
            EXPECT_FALSE(form.remoteLoad.complete);
            EXPECT_EQ(form.remoteLoad.unlisted, std::vector<std::string>{"/locked"});
            EXPECT_EQ(form.remoteLoad.excluded,
                      (std::vector<TExcludedEntry>{{"/d1/old.bak", false}, {"/drafts", true}}));
            EXPECT_EQ(form.remoteLoad.leftovers.size(), 1u);
            EXPECT_EQ(form.remoteList.IndexOf("/d4/to-d0/index.html"), -1);
            EXPECT_GE(form.remoteList.IndexOf("/d3/s2/deeper/leaf.txt"), 0);
            loaded[connections == 1 ? 0 : 1] = form.Loaded();
            // A load that follows from where this one left the session finds the same.
            form.view.statuses.clear();
            form.view.traces.clear();
            form.RefreshRemote();
            EXPECT_EQ(Differences(form.Loaded(), loaded[connections == 1 ? 0 : 1]),
                      std::vector<std::string>{});
        }
        EXPECT_EQ(Differences(loaded[0], loaded[1]), std::vector<std::string>{});
        EXPECT_EQ(loaded[0], loaded[1]) << "in another order";
    }
}
