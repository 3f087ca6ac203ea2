// The run without a window as cron and CI use it: what it prints at each level, its log,
// its exit status by class of failure, the dry run, the deletion cap, the excludes, and
// the settings file it leaves alone.
#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/settings.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>

using namespace pelmora;
using namespace pelmora::testing;
namespace fs = std::filesystem;

namespace {

std::string Listing(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names)
        text += "-rw-r--r-- 1 o g 11 Jan  5  2020 " + name + "\r\n";
    return text;
}

std::vector<std::string> Numbered(const std::string& stem, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.push_back(stem + std::to_string(i) + ".html");
    return names;
}

// A local site and a settings file for the script server, an update with deletion.
struct TSite {
    TTempTree tree;
    TFtpScriptServer server;
    std::string ini = tree.Path("PELMORA.INI");
    std::string out, err;

    explicit TSite(std::vector<std::string> extra = {}) {
        tree.File("site/index.html", "<p>home, a longer page</p>");
        std::vector<std::string> settings = {
            "List.local=" + tree.Path("site"), "FTP.server=127.0.0.1",
            "FTP.port=" + std::to_string(server.Port()), "FTP.userName=web", "FTP.password=pw-7d2e",
            "List.remote=/www", "Options.load=1", "Options.compare=1", "Options.update=1",
            "Options.delete=1", "Options.exit=1", "Options.timeout=5",
            // Each file straight to its name.
            "Options.atomic=0"};
        settings.insert(settings.end(), extra.begin(), extra.end());
        std::string error;
        EXPECT_TRUE(ConfigureSettings(ini, settings, error)) << error;
    }

    int Run(const THeadlessOptions& options = {}) {
        std::ostringstream o, e;
        const int status = RunHeadless(ini, options, o, e);
        out = o.str();
        err = e.str();
        return status;
    }
    std::string Output() const { return out + err; }

    // The command lines sent that start with one of `verbs`.
    std::vector<std::string> Sent(std::initializer_list<const char*> verbs) const {
        std::vector<std::string> sent;
        for (const std::string& c : server.Commands())
            for (const char* v : verbs)
                if (c.rfind(std::string(v) + " ", 0) == 0)
                    sent.push_back(c);
        return sent;
    }
};

// The last line of `text`, without its line end.
std::string LastLine(const std::string& text) {
    if (text.empty() || text.back() != '\n')
        return {};
    const size_t end = text.size() - 1;
    const size_t newline = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    return text.substr(start, end - start);
}

// "2026-12-10T18:03:05Z " at the start of the line.
bool Stamped(const std::string& line) {
    const std::string shape = "dddd-dd-ddTdd:dd:ddZ ";
    if (line.size() <= shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                            : line[i] != shape[i])
            return false;
    return true;
}

const std::initializer_list<const char*> changes = {"STOR", "DELE", "MKD", "RMD", "RNFR"};

} // namespace

TEST(HeadlessRun, DryRunPrintsThePlanAndChangesNothing) {
    TSite site;
    site.tree.File("site/new/page.html", "new");
    site.server.SetListing(Listing({"gone.html", "index.html"}));
    THeadlessOptions options;
    options.dryRun = true;
    const int status = site.Run(options);
    EXPECT_EQ(status, 0) << site.Output();
    EXPECT_EQ(site.Sent(changes), std::vector<std::string>{}) << site.Output();
    // By path, each file with its size (the server's for a delete), and the totals.
    EXPECT_NE(site.out.find("Plan (dry run, nothing is changed on the server)\n"
                            "  delete /gone.html (11 B)\n"
                            "  refresh /index.html (26 B)\n"
                            "  create /new\n"
                            "  upload /new/page.html (3 B)\n"
                            "Total: 2 uploads (1 new, 1 changed), 29 B; 1 directory to create; "
                            "1 delete\n"),
              std::string::npos)
        << site.Output();
    // What the update would do, with the bytes it would send, as the last line.
    EXPECT_EQ(LastLine(site.out), "Dry run: would upload 1, refresh 1, create 1, delete 1 -- 29 B")
        << site.Output();
    // Quiet, a dry run with something to do says what; one with nothing says nothing.
    options.output = TOutputLevel::Quiet;
    EXPECT_EQ(site.Run(options), 0) << site.Output();
    EXPECT_EQ(site.out, "Dry run: would upload 1, refresh 1, create 1, delete 1 -- 29 B\n");
    site.server.SetListing(Listing({}));
    fs::remove_all(site.tree.Path("site/new"));
    fs::remove(site.tree.Path("site/index.html"));
    EXPECT_EQ(site.Run(options), 0) << site.Output();
    EXPECT_EQ(site.Output(), "");
}

TEST(HeadlessRun, OutputLevelsChooseTheLinesAndTheSummaryEndsEveryRun) {
    TSite site;
    site.tree.File("site/a.html", "a");
    site.tree.File("site/b.html", "b");
    site.server.SetListing(Listing({"gone.html"}));
    struct TRow {
        TOutputLevel level;
        bool named, phases;
    };
    for (const TRow row :
         {TRow{TOutputLevel::Quiet, false, false}, TRow{TOutputLevel::Normal, false, true},
          TRow{TOutputLevel::Verbose, true, true}}) {
        THeadlessOptions options;
        options.output = row.level;
        options.logFile = site.tree.Path("run-" + std::to_string(int(row.level)) + ".log");
        ASSERT_EQ(site.Run(options), 0) << site.Output();
        const std::string log = ReadFile(options.logFile);
        SCOPED_TRACE(site.Output() + log);
        // Verbose and the log, whatever the level, name every file sent or deleted; nothing
        // has the counters that name none.
        for (const char* line : {"sent /a.html (1 B)\n", "sent /b.html (1 B)\n",
                                 "sent /index.html (26 B)\n", "deleted /gone.html\n"}) {
            EXPECT_EQ(site.out.find(std::string("\n") + line) != std::string::npos, row.named)
                << line;
            EXPECT_NE(log.find(std::string("Z ") + line), std::string::npos) << line;
        }
        for (const std::string& output : {site.out, log}) {
            EXPECT_EQ(output.find("Loading Local Directory: "), std::string::npos);
            EXPECT_EQ(output.find("Uploading files - "), std::string::npos);
        }
        EXPECT_EQ(site.out.find("\nConnected to 127.0.0.1 (not encrypted)\n") != std::string::npos,
                  row.phases);
        EXPECT_EQ(site.out.find("  upload /a.html") != std::string::npos, row.phases);
        // The summary is the last line, and counts what was sent.
        const std::string last = LastLine(site.out);
        EXPECT_EQ(
            last.rfind("Summary: 3 uploaded, 0 refreshed, 0 created, 1 deleted, 0 failed; ", 0), 0u)
            << last;
        EXPECT_NE(last.find("B sent in "), std::string::npos) << last;
        if (row.level == TOutputLevel::Quiet) {
            EXPECT_EQ(std::count(site.out.begin(), site.out.end(), '\n'), 1);
        }
    }
}

TEST(HeadlessRun, ExitStatusTellsTheClassOfFailure) {
    struct TRow {
        const char* name;
        std::vector<std::string> settings;
        std::function<void(TSite&)> prepare;
        TExitCode code;
    };
    const TRow rows[] = {
        {"local root missing",
         {},
         [](TSite& s) { fs::remove_all(s.tree.Path("site")); },
         TExitCode::LocalMissing},
        {"login refused",
         {},
         [](TSite& s) { s.server.On("PASS").Reply("530 Login incorrect"); },
         TExitCode::ConnectFailed},
        {"connection refused", {"FTP.port=1"}, nullptr, TExitCode::ConnectFailed},
        {"no server named", {"FTP.server="}, nullptr, TExitCode::Usage},
        {"an upload refused",
         {},
         [](TSite& s) { s.server.On("STOR").Refuse("553 Not allowed"); },
         TExitCode::SomeFailed},
        {"the local directory is empty",
         {},
         [](TSite& s) {
             fs::remove(s.tree.Path("site/index.html"));
             s.server.SetListing(Listing({"a.html"}));
         },
         TExitCode::SafetyRefused},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TSite site(row.settings);
        site.server.SetListing(Listing({}));
        if (row.prepare)
            row.prepare(site);
        EXPECT_EQ(site.Run(), ToInt(row.code)) << site.Output();
        // Settings that cannot make a run are not a run that failed: no summary.
        EXPECT_EQ(site.out.find("Summary: ") != std::string::npos, row.code != TExitCode::Usage)
            << site.Output();
        if (row.code == TExitCode::SafetyRefused) {
            EXPECT_EQ(site.Sent({"DELE"}), std::vector<std::string>{});
        }
    }
}

TEST(HeadlessRun, TheDeletionCapRefusesTheDeletesAndTheUploadsGoOn) {
    struct TRow {
        const char* name;
        int serverOnly;
        std::vector<std::string> settings;
        std::optional<std::int64_t> maxDelete;
        bool refused;
    };
    const TRow rows[] = {
        {"default rule: all 25 of 26", 25, {}, std::nullopt, true},
        {"default rule: 20 are never refused", 20, {}, std::nullopt, false},
        {"explicit cap below the deletes", 3, {}, 2, true},
        {"explicit cap from the settings", 3, {"Options.maxDelete=2"}, std::nullopt, true},
        {"the command line overrides the settings", 3, {"Options.maxDelete=2"}, 3, false},
        {"no cap from the settings", 25, {"Options.maxDelete=-1"}, std::nullopt, false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        TSite site(row.settings);
        site.tree.File("site/new.html", "new");
        std::vector<std::string> listed = Numbered("old", row.serverOnly);
        listed.push_back("index.html");
        site.server.SetListing(Listing(listed));
        THeadlessOptions options;
        options.maxDelete = row.maxDelete;
        const int status = site.Run(options);
        EXPECT_EQ(status, row.refused ? ToInt(TExitCode::SafetyRefused) : 0) << site.Output();
        EXPECT_EQ(site.Sent({"DELE"}).size(), row.refused ? 0u : size_t(row.serverOnly));
        EXPECT_EQ(site.Sent({"STOR"}),
                  (std::vector<std::string>{"STOR /www/index.html", "STOR /www/new.html"}));
        const size_t summary = site.out.rfind("Summary: ");
        ASSERT_NE(summary, std::string::npos) << site.Output();
        EXPECT_EQ(site.out.find("Refused to delete", summary) != std::string::npos, row.refused)
            << site.Output();
    }
}

TEST(HeadlessRun, ExcludedEntriesAreNeitherUploadedNorDeleted) {
    TSite site;
    site.tree.File("site/.pelmoraignore", "# drafts stay home\n*.bak\n");
    site.tree.File("site/draft.bak", "draft");
    site.tree.File("site/.git/config", "[core]");
    site.tree.File("site/private/key.txt", "secret");
    site.tree.File("site/page.html", "page");
    site.server.SetListing(Listing({"index.html", "notes.bak", "private", "stats.log"}));
    THeadlessOptions options;
    options.excludes = {"/private", "*.log"};
    ASSERT_EQ(site.Run(options), 0) << site.Output();
    EXPECT_EQ(site.Sent({"DELE", "RMD", "MKD"}), std::vector<std::string>{}) << site.Output();
    EXPECT_EQ(site.Sent({"STOR"}),
              (std::vector<std::string>{"STOR /www/index.html", "STOR /www/page.html"}))
        << site.Output();
}

TEST(HeadlessRun, TheLogHasEveryLineStampedAndNoOutputHasThePassword) {
    TSite site;
    site.tree.File("site/a.html", "a");
    site.server.SetListing(Listing({}));
    // A server that repeats what it was sent.
    site.server.On("CWD").Reply("550 pw-env-31: no such directory");
    THeadlessOptions options;
    options.output = TOutputLevel::Quiet;
    options.logFile = site.tree.Path("run.log");
    options.password = "pw-env-31";
    EXPECT_EQ(site.Run(options), ToInt(TExitCode::SomeFailed)) << site.Output();
    EXPECT_NE(
        std::find(site.server.Commands().begin(), site.server.Commands().end(), "PASS pw-env-31"),
        site.server.Commands().end());
    // Standard output and error end up in cron's mail and CI logs: the server's words
    // stand there as in the log, the password masked.
    EXPECT_EQ(site.Output().find("pw-env-31"), std::string::npos) << site.Output();
    EXPECT_NE(site.err.find("550 ***: no such directory"), std::string::npos) << site.Output();
    const std::string log = ReadFile(options.logFile);
    EXPECT_EQ(log.find("pw-env-31"), std::string::npos) << log;
    std::istringstream lines(log);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(Stamped(line)) << line;
    EXPECT_NE(log.find("Z Connected to 127.0.0.1 (not encrypted)\n"), std::string::npos)
        << "the log holds what --verbose prints\n"
        << log;
    EXPECT_NE(log.find("Summary: "), std::string::npos) << log;
    // The password given for the run is not kept.
    EXPECT_EQ(ReadFile(site.ini).find("pw-env"), std::string::npos);
}

TEST(HeadlessRun, ARunThatLearntNothingLeavesTheSettingsFileAlone) {
    TSite site;
    site.server.SetListing(Listing({"index.html"}));
    const auto before = fs::last_write_time(site.ini);
    const std::string bytes = ReadFile(site.ini);
    THeadlessOptions options;
    options.password = "another";
    ASSERT_EQ(site.Run(options), 0) << site.Output();
    EXPECT_EQ(ReadFile(site.ini), bytes);
    EXPECT_EQ(fs::last_write_time(site.ini), before);
}

TEST(HeadlessRun, ProgressCountsTheBytesThePlanUploads) {
    TSite site;
    site.tree.File("site/big.bin", std::string(3000000, 'b'));
    site.server.SetListing(Listing({}));
    THeadlessOptions options;
    options.terminal = true;
    ASSERT_EQ(site.Run(options), 0) << site.Output();
    // Rewritten in place, the total being both files' bytes; then taken off the row before
    // the next line.
    const size_t progress = site.out.find("\rUploading ");
    ASSERT_NE(progress, std::string::npos) << site.Output();
    const size_t ends = site.out.find("\033[K", progress);
    ASSERT_NE(ends, std::string::npos);
    EXPECT_NE(site.out.substr(progress, ends - progress).find(" of 3.0 MB ("), std::string::npos)
        << site.Output();
    EXPECT_NE(site.out.find("\r\033[K", ends), std::string::npos) << "taken off its row";
    EXPECT_NE(site.out.find("Summary: 2 uploaded, 0 refreshed, 0 created, 0 deleted, 0 failed; "
                            "3.0 MB sent in "),
              std::string::npos)
        << site.Output();
    // On a pipe a short upload prints none.
    options.terminal = false;
    ASSERT_EQ(site.Run(options), 0) << site.Output();
    EXPECT_EQ(site.out.find(" MB of "), std::string::npos) << site.Output();
}

// A TLS refusal starts with what happened, in plain words, and names the setting.
TEST(HeadlessRun, RequireAgainstAServerWithoutTlsSaysSoInPlainWords) {
    TSite site({"FTP.tls=require"});
    EXPECT_EQ(site.Run(), ToInt(TExitCode::ConnectFailed)) << site.Output();
    EXPECT_EQ(site.Sent({"USER", "PASS"}), std::vector<std::string>{}) << site.Output();
    EXPECT_EQ(site.err.rfind("The server 127.0.0.1:", 0), 0u) << site.Output();
    EXPECT_NE(site.err.find("offers no TLS"), std::string::npos) << site.Output();
    EXPECT_NE(site.err.find("set FTP.tls=auto"), std::string::npos) << site.Output();
    EXPECT_EQ(site.Output().find("very rare"), std::string::npos) << site.Output();
}

// A remote root that is refused is made only when it is missing: one that is there but
// may not be entered (MKD refused too) stays an error with the server's words, and
// nothing is sent.
TEST(HeadlessRun, ARootRefusedOnBothEnterAndMakeIsAnErrorWithTheServersWords) {
    TSite site;
    site.server.On("CWD").Arg("www").Reply("550 www: Permission denied");
    site.server.On("CWD").Arg("/www").Reply("550 /www: Permission denied");
    site.server.On("MKD").Reply("550 www: File exists");
    EXPECT_EQ(site.Run(), 1) << site.Output();
    EXPECT_NE(site.err.find("Could not enter the remote directory /www: "), std::string::npos)
        << site.Output();
    EXPECT_NE(site.err.find("550 /www: Permission denied"), std::string::npos) << site.Output();
    EXPECT_EQ(site.Sent({"MKD"}), std::vector<std::string>{"MKD www"}) << site.Output();
    EXPECT_EQ(site.Sent({"STOR", "DELE", "RMD", "RNFR"}), std::vector<std::string>{});
}

// A root the server does not have: the dry run enters what it can, makes nothing and
// says the update would make it; the run makes it a level at a time and publishes there.
TEST(HeadlessRun, AMissingRootIsMadeByTheRunAndOnlyPlannedByTheDryRun) {
    TSite site({"List.remote=/www/new"});
    site.server.On("CWD").Arg("/www/new").Reply("550 No such directory").Uses(2);
    site.server.On("CWD").Arg("new").Reply("550 No such directory").Uses(2);
    THeadlessOptions dry;
    dry.dryRun = true;
    EXPECT_EQ(site.Run(dry), 0) << site.Output();
    EXPECT_NE(site.out.find("  create /www/new (the remote directory)\n"), std::string::npos)
        << site.Output();
    EXPECT_NE(site.out.find("  upload /index.html (26 B)\n"), std::string::npos) << site.Output();
    EXPECT_EQ(site.Sent(changes), std::vector<std::string>{}) << site.Output();

    EXPECT_EQ(site.Run(), 0) << site.Output();
    EXPECT_NE(site.out.find("Made the remote directory /www/new\n"), std::string::npos)
        << site.Output();
    EXPECT_NE(site.out.find("  create /www/new (the remote directory)\n"), std::string::npos)
        << site.Output();
    EXPECT_EQ(site.Sent({"MKD"}), std::vector<std::string>{"MKD new"}) << site.Output();
    EXPECT_EQ(site.Sent({"DELE", "RMD"}), std::vector<std::string>{}) << site.Output();
    EXPECT_TRUE(site.server.HasStored("/www/new/index.html")) << site.Output();
}
