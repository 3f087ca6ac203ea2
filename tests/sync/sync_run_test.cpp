#include "app/exit_codes.h"
#include "sync/sync_core.h"
#include "sync/sync_run.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

using namespace pelmora;
using namespace pelmora::testing;

namespace {

// A view that keeps every line with its kind, and answers the run's questions as told.
class TLineView : public TRecordingView {
public:
    std::vector<std::pair<TLineKind, std::string>> lines;
    bool attended = false;
    bool answer = false;
    std::vector<std::string> asked;

    void ShowLine(TLineKind kind, const std::string& text) override {
        lines.emplace_back(kind, text);
        TRecordingView::ShowLine(kind, text);
    }
    bool Attended() const override { return attended; }
    bool ConfirmPlanDeletes(const std::string& counts, const std::vector<std::string>&) override {
        asked.push_back(counts);
        return answer;
    }
    bool Has(TLineKind kind, const std::string& text) const {
        return std::find(lines.begin(), lines.end(), std::make_pair(kind, text)) != lines.end();
    }
};

// The engine and a run over it, against a scripted server, with the site in `local`.
struct TRunFixture {
    explicit TRunFixture(const std::string& local) {
        engine.options.localRoot = local;
        engine.options.remoteRoot = "/www";
        engine.options.timeoutMs = 5000;
        // These transcripts follow each file straight to its name.
        engine.options.atomic = false;
        connection.host = "127.0.0.1";
        connection.port = server.Port();
        connection.user = "u";
        connection.password = "secret-word";
    }
    TRunResult Run(const TSyncSteps& steps) {
        const TSyncCore::TOperationScope operation(engine, TSyncCore::TOperation::Connect);
        return run.Run(connection, steps);
    }

    TFtpScriptServer server;
    TLineView view;
    TSyncCore engine{view};
    TSyncRun run{engine};
    TConnectionSettings connection;
};

TSyncSteps Publish() {
    TSyncSteps steps;
    steps.readLocal = true;
    steps.update = true;
    return steps;
}

} // namespace

TEST(SyncRun, APublishCountsWhatItDidAndSaysItsLinesByKind) {
    TTempTree tree;
    tree.File("site/index.html", "hello");
    TRunFixture f(tree.Path("site"));
    const TRunResult result = f.Run(Publish());
    EXPECT_EQ(result.outcome, TRunOutcome::Success) << f.view.Status();
    EXPECT_EQ(f.server.Stored()["/www/index.html"], "hello");
    EXPECT_TRUE(result.updated);
    EXPECT_EQ(result.totals.uploaded, 1);
    EXPECT_EQ(result.totals.bytesDone, 5u);
    EXPECT_EQ(result.totals.failed, 0);
    EXPECT_TRUE(result.failures.empty());
    // The plan as its own lines, the counters as per-entry lines, the phases as phases.
    EXPECT_TRUE(f.view.Has(TLineKind::Plan, "upload /index.html"));
    EXPECT_TRUE(f.view.Has(TLineKind::PerEntry, "Uploading files - 0% complete"));
    EXPECT_TRUE(f.view.Has(TLineKind::Phase, "Connecting to: 127.0.0.1"));
    EXPECT_TRUE(f.view.Has(TLineKind::Phase, "Remote Site Update Complete"));
    EXPECT_FALSE(f.view.Said("upload /index.html")) << "the plan is no status";
    EXPECT_TRUE(std::none_of(f.view.lines.begin(), f.view.lines.end(), [](const auto& line) {
        return line.first == TLineKind::Phase &&
               line.second.starts_with("Loading Local Directory: ");
    }));
}

TEST(SyncRun, TheDryRunCountsWhatItWouldDoAndChangesNothing) {
    TTempTree tree;
    tree.File("site/index.html", "hello");
    tree.File("site/about.html", "hi");
    TRunFixture f(tree.Path("site"));
    TSyncSteps steps = Publish();
    steps.update = false;
    steps.dryRun = true;
    const TRunResult result = f.Run(steps);
    EXPECT_EQ(result.outcome, TRunOutcome::Success) << f.view.Status();
    EXPECT_TRUE(result.planned);
    EXPECT_FALSE(result.updated);
    EXPECT_EQ(result.totals.uploaded, 2);
    EXPECT_EQ(result.totals.bytesToSend, 7u);
    EXPECT_TRUE(f.server.Stored().empty());
    EXPECT_TRUE(f.view.Has(TLineKind::Plan, "upload /about.html"));
}

// Each way a run can end early is one class, and one exit status.
TEST(SyncRun, EndsAsTheClassOfWhatEndedItWithItsStatusLine) {
    struct TCase {
        const char* name;
        std::function<void(TRunFixture&)> arrange;
        TRunOutcome outcome;
        TExitCode code;
        std::string status; // the start of the last status line
    };
    const TCase cases[] = {
        {"no server", [](TRunFixture& f) { f.connection.host.clear(); }, TRunOutcome::Settings,
         TExitCode::Usage, "Supply FTP server details under SETUP below"},
        {"no local directory", [](TRunFixture& f) { f.engine.options.localRoot.clear(); },
         TRunOutcome::Settings, TExitCode::Usage,
         "Please supply a local directory before connecting"},
        {"local directory gone", [](TRunFixture& f) { f.engine.options.localRoot += "/gone"; },
         TRunOutcome::LocalDirectory, TExitCode::LocalMissing,
         "Could not change to local directory"},
        {"wrong password", [](TRunFixture& f) { f.server.On("PASS").Reply("530 Login incorrect"); },
         TRunOutcome::Connection, TExitCode::ConnectFailed,
         "Access Denied. Incorrect username or password"},
        {"not now", [](TRunFixture& f) { f.server.On("PASS").Reply("421 Too many users"); },
         TRunOutcome::Connection, TExitCode::ConnectFailed,
         "The server refused the login for now: 421 Too many users"},
        {"root refused", [](TRunFixture& f) { f.server.On("CWD").Reply("550 No such directory"); },
         TRunOutcome::SomeFailed, TExitCode::SomeFailed,
         "Could not enter the remote directory /www: 550 No such directory"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TTempTree tree;
        tree.File("site/index.html", "hello");
        TRunFixture f(tree.Path("site"));
        c.arrange(f);
        const TRunResult result = f.Run(Publish());
        EXPECT_EQ(result.outcome, c.outcome) << f.view.Status();
        EXPECT_EQ(ExitCodeOf(result.outcome), c.code);
        EXPECT_EQ(result.lastStatus.rfind(c.status, 0), 0u) << result.lastStatus;
        EXPECT_FALSE(f.server.HasStored("/www/index.html"));
        if (c.outcome == TRunOutcome::Settings) {
            EXPECT_EQ(f.server.Sessions(), 0);
        }
    }
    EXPECT_EQ(ExitCodeOf(TRunOutcome::Stopped), TExitCode::Interrupted);
    EXPECT_EQ(ExitCodeOf(TRunOutcome::Stopped, true), TExitCode::Terminated);
}

// A plan that deletes on the server is put to a view someone watches; one that nobody
// watches is asked nothing (the caps decide there).
TEST(SyncRun, AsksOnlyAWatchedViewBeforeDeletingAndTakesItsNo) {
    TTempTree tree;
    TRunFixture f(tree.Dir("site"));
    TPlan plan;
    plan.steps.push_back({TStepKind::Delete, 0, "/old.html"});
    plan.steps.push_back({TStepKind::Upload, 0, "/new.html"});
    EXPECT_TRUE(f.run.ConfirmDeletes(plan));
    EXPECT_TRUE(f.view.asked.empty());
    f.view.attended = true;
    EXPECT_FALSE(f.run.ConfirmDeletes(plan));
    EXPECT_EQ(f.view.asked, (std::vector<std::string>{"Upload 1, refresh 0, create 0, delete 1"}));
    f.view.answer = true;
    EXPECT_TRUE(f.run.ConfirmDeletes(plan));
    plan.steps.erase(plan.steps.begin());
    f.view.asked.clear();
    EXPECT_TRUE(f.run.ConfirmDeletes(plan)) << "nothing deleted, nothing asked";
    EXPECT_TRUE(f.view.asked.empty());
}
