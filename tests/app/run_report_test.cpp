#include "app/run_report.h"
#include "tests/support/temp_tree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <sys/stat.h>

using namespace pelmora;
using namespace std::chrono_literals;
using pelmora::testing::ReadFile;
using pelmora::testing::TTempTree;

TEST(RunReport, SizesAndDurationsInUnitsAPersonReads) {
    const std::pair<std::uint64_t, const char*> sizes[] = {
        {0, "0 B"},
        {999, "999 B"},
        {1000, "1.0 kB"},
        {1449, "1.4 kB"},
        {999949, "999.9 kB"},
        {999960, "1.0 MB"},
        {14200000, "14.2 MB"},
        {4600000000, "4.6 GB"},
        {UINT64_MAX, "18.4 EB"},
    };
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(FormatBytes(bytes), text) << bytes;
    const std::pair<std::chrono::milliseconds, const char*> durations[] = {
        {0ms, "0.0 s"},          {400ms, "0.4 s"},         {3249ms, "3.2 s"},
        {9960ms, "10 s"},        {42000ms, "42 s"},        {59600ms, "1 min 0 s"},
        {125000ms, "2 min 5 s"}, {3780000ms, "1 h 3 min"}, {7170000ms, "2 h 0 min"},
        {-5ms, "0.0 s"},
    };
    for (const auto& [duration, text] : durations)
        EXPECT_EQ(FormatDuration(duration), text) << duration.count();
}

TEST(RunReport, SummaryAndProgressLines) {
    const TSteadyTime t0{std::chrono::hours(1)};
    TRunTotals totals;
    totals.start = t0;
    totals.uploaded = 12;
    totals.refreshed = 3;
    totals.created = 2;
    totals.deleted = 1;
    totals.bytesSent = 1400000;
    EXPECT_EQ(SummaryLine(totals, t0 + 3200ms),
              "Summary: 12 uploaded, 3 refreshed, 2 created, 1 deleted, 0 failed; 1.4 MB sent "
              "in 3.2 s");

    // The rate counts from the first upload, not from the start of the run.
    totals.uploadStart = t0 + 60s;
    totals.bytesSent = 10000000;
    totals.bytesToSend = 40000000;
    EXPECT_EQ(ProgressLine(totals, t0 + 64s),
              "Uploading 10.0 MB of 40.0 MB (25%), 2.5 MB/s, 12 s left");
    EXPECT_EQ(ProgressLine(totals, t0 + 60s + 100ms), "Uploading 10.0 MB of 40.0 MB (25%)");
    totals.bytesSent = 39999999;
    EXPECT_EQ(ProgressLine(totals, t0 + 64s),
              "Uploading 40.0 MB of 40.0 MB (99%), 10.0 MB/s, 1 s left");
    // A file that grew while it was sent: never more than 100%, no time left.
    totals.bytesSent = 41000000;
    EXPECT_EQ(ProgressLine(totals, t0 + 64s), "Uploading 41.0 MB of 41.0 MB (100%), 10.3 MB/s");
    const TRunTotals nothing{};
    EXPECT_EQ(ProgressLine(nothing, TSteadyTime{} + 5s), "Uploading 0 B of 0 B (100%)");
}

// What a dry run would do, in the words of the update; directories made and failures only
// when there are any.
TEST(RunReport, TheDryRunSummarySaysWhatWouldBeDone) {
    struct TRow {
        int uploaded, refreshed, created, deleted, failed;
        std::uint64_t bytes;
        const char* line;
    };
    const TRow rows[] = {
        {3, 1, 0, 2, 0, 1400000, "Dry run: would upload 3, refresh 1, delete 2 -- 1.4 MB"},
        {0, 0, 1, 0, 0, 0, "Dry run: would upload 0, refresh 0, create 1, delete 0 -- 0 B"},
        {0, 0, 0, 0, 0, 0, "Dry run: nothing to do"},
        {0, 0, 0, 0, 2, 0, "Dry run: nothing to do; 2 failed"},
    };
    for (const TRow& row : rows) {
        TRunTotals would;
        would.uploaded = row.uploaded;
        would.refreshed = row.refreshed;
        would.created = row.created;
        would.deleted = row.deleted;
        would.failed = row.failed;
        would.bytesToSend = row.bytes;
        EXPECT_EQ(DryRunSummary(would), row.line);
    }
}

// The window's line after an update, counted step by step as the run reports them: a
// step that did not finish counts nowhere, and only finished uploads add their bytes.
TEST(RunReport, CountsHaveThousandsSeparatorsAndTheirNoun) {
    const std::pair<std::int64_t, const char*> numbers[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {12345, "12,345"},
        {999999, "999,999"},
        {1234567, "1,234,567"},
        {-1234, "-1,234"},
        {INT64_MIN, "-9,223,372,036,854,775,808"},
    };
    for (const auto& [n, text] : numbers)
        EXPECT_EQ(GroupedNumber(n), text) << n;
    EXPECT_EQ(CountOf(1, "file", "files"), "1 file");
    EXPECT_EQ(CountOf(0, "file", "files"), "0 files");
    EXPECT_EQ(CountOf(1204, "directory", "directories"), "1,204 directories");
}

TEST(RunReport, PlanTotalsCountEachKindAndTheBytesToSend) {
    auto item = [](TStepKind kind, std::int64_t bytes) {
        return TPlanItem{kind, "/x", bytes, false};
    };
    struct TRow {
        const char* name;
        TPlanListing plan;
        const char* totals;
    };
    TPlanListing root;
    root.rootLine = "create /www (the remote directory)";
    TPlanListing everything;
    everything.items = {item(TStepKind::Upload, 1000000),
                        item(TStepKind::Refresh, 400000),
                        item(TStepKind::Refresh, -1),
                        item(TStepKind::Create, -1),
                        item(TStepKind::Delete, 20),
                        item(TStepKind::Remove, -1),
                        TPlanItem{TStepKind::Delete, "/.t", -1, true}};
    TPlanListing single;
    single.items = {item(TStepKind::Upload, 5), item(TStepKind::Create, -1),
                    item(TStepKind::Delete, 1), item(TStepKind::Remove, -1)};
    TPlanListing many;
    for (int i = 0; i < 1204; ++i)
        many.items.push_back(item(TStepKind::Upload, 1000));
    const TRow rows[] = {
        {"empty", {}, "Nothing to do"},
        {"the remote root alone", root, "Total: 1 directory to create"},
        {"every kind; a left-over file counts as a delete", everything,
         "Total: 3 uploads (1 new, 2 changed), 1.4 MB; 1 directory to create; 2 deletes; "
         "1 directory to remove"},
        {"one of each", single,
         "Total: 1 upload, 5 B; 1 directory to create; 1 delete; 1 directory to remove"},
        {"thousands", many, "Total: 1,204 uploads, 1.2 MB"},
    };
    for (const TRow& row : rows)
        EXPECT_EQ(PlanTotals(row.plan), row.totals) << row.name;
}

TEST(RunReport, PhasesInPlainWordsAndNoLineForAStepWithoutWork) {
    using K = TPhase::TKind;
    auto phase = [](K kind, std::int64_t files, std::int64_t directories) {
        TPhase p(kind, "the window's text");
        p.files = files;
        p.directories = directories;
        return p;
    };
    TPhase local = phase(K::LocalLoaded, 1204, 88);
    local.place = "/home/me/site";
    TPhase remote = phase(K::RemoteLoaded, 1, 1);
    remote.notRead = 2;
    TPhase again = phase(K::RemoteLoaded, 0, 1);
    again.again = true;
    again.place = "/www";
    TPhase connecting = phase(K::Connecting, 0, 0);
    connecting.place = "example.org";
    connecting.port = 21;
    TPhase otherPort = connecting;
    otherPort.port = 2121;
    TPhase uploading = phase(K::Uploading, 1, 0);
    uploading.bytes = 1400000;
    TPhase compared = phase(K::Compared, 0, 0);
    compared.kept = 3;
    compared.conflicts = 1;
    TPhase keptOne = phase(K::Compared, 0, 0);
    keptOne.kept = 1;
    const std::pair<TPhase, const char*> rows[] = {
        {local, "Local: 1,204 files in 88 directories (/home/me/site)"},
        {remote, "Remote: 1 file in 1 directory; 2 directories could not be read"},
        {again, "Remote after the update: 0 files in 1 directory (/www)"},
        {connecting, "Connecting to example.org"},
        {otherPort, "Connecting to example.org (port 2121)"},
        {phase(K::Deleting, 3, 0), "Deleting 3 files"},
        {phase(K::Deleting, 0, 1), "Deleting 1 directory"},
        {phase(K::Deleting, 1, 2), "Deleting 1 file and 2 directories"},
        {phase(K::Deleting, 0, 0), ""},
        {phase(K::Creating, 0, 1), "Creating 1 directory"},
        {phase(K::Creating, 0, 0), ""},
        {uploading, "Uploading 1 file (1.4 MB)"},
        {phase(K::Uploading, 0, 0), ""},
        {compared, "Compared: 1 entry could not be compared (listed at the end); 3 entries only "
                   "on the server stay there: deleting is off"},
        {keptOne, "Compared: 1 entry only on the server stays there: deleting is off"},
        {phase(K::Compared, 0, 0), ""},
        {phase(K::LoadingRemote, 0, 0), ""},
        {phase(K::Comparing, 0, 0), ""},
        {phase(K::Updating, 0, 0), ""},
        {phase(K::UpdateDone, 0, 0), ""},
        {phase(K::UpdateStopped, 0, 0), ""},
    };
    for (const auto& [p, line] : rows)
        EXPECT_EQ(PhaseLine(p, "", ""), line) << line;
    // The connect, with where it went and how safely, as far as that is known.
    EXPECT_EQ(PhaseLine(phase(K::Connected, 0, 0), "example.org", "TLS 1.3, certificate verified"),
              "Connected to example.org (TLS 1.3, certificate verified)");
    EXPECT_EQ(PhaseLine(phase(K::Connected, 0, 0), "example.org", ""), "Connected to example.org");
}

TEST(RunReport, TheWindowsSummaryComesFromTheCountedSteps) {
    const TSteadyTime t0{std::chrono::hours(1)};
    TRunTotals totals;
    totals.start = t0;
    CountStep(totals, TStepKind::Delete, true, 0);
    CountStep(totals, TStepKind::Upload, true, 1000000);
    CountStep(totals, TStepKind::Upload, false, 5000000);
    CountStep(totals, TStepKind::Refresh, true, 400000);
    EXPECT_EQ(totals.bytesSent, 1400000u);
    EXPECT_EQ(UpdateSummary(totals, t0 + 3200ms),
              "Uploaded 1, refreshed 1, deleted 1 \u2014 1.4 MB in 3.2 s");
    // Directories made and failures are named once there are any.
    CountStep(totals, TStepKind::Create, true, 0);
    CountStep(totals, TStepKind::Remove, true, 0);
    totals.failed = 2;
    EXPECT_EQ(UpdateSummary(totals, t0 + 42s),
              "Uploaded 1, refreshed 1, created 1, deleted 2 \u2014 1.4 MB in 42 s; 2 failed");
}

TEST(RunReport, WhatEachOutputLevelPrints) {
    const TLineKind kinds[] = {TLineKind::Phase,   TLineKind::Plan,    TLineKind::PerEntry,
                               TLineKind::Failure, TLineKind::Summary, TLineKind::Progress};
    auto shown = [&](TOutputLevel level) {
        std::string s;
        for (TLineKind kind : kinds)
            s += Shows(level, kind) ? '+' : '-';
        return s;
    };
    // phase, plan, status, failure, summary, progress
    EXPECT_EQ(shown(TOutputLevel::Quiet), "---++-");
    EXPECT_EQ(shown(TOutputLevel::Normal), "++-+++");
    EXPECT_EQ(shown(TOutputLevel::Verbose), "++++++");
}

namespace {

struct TFakeClock {
    TSteadyTime now{std::chrono::hours(1)};
    TProgressPrinter::TClock Clock() {
        return [this] { return now; };
    }
};

} // namespace

TEST(RunReport, ProgressRewritesOneRowOnATerminal) {
    TFakeClock clock;
    std::ostringstream out;
    TProgressPrinter progress(out, true, clock.Clock());
    progress.Show("one");
    clock.now += 100ms;
    progress.Show("two"); // too soon
    clock.now += 150ms;
    progress.Show("three");
    progress.Clear();
    progress.Clear();
    progress.Show("four"); // at once after a clear: the row was empty
    EXPECT_EQ(out.str(), "\rone\033[K\rthree\033[K\r\033[K\rfour\033[K");
}

TEST(RunReport, ProgressOnAPipeIsALineEveryTenSecondsAtMost) {
    TFakeClock clock;
    std::ostringstream out;
    TProgressPrinter progress(out, false, clock.Clock());
    for (int second = 0; second <= 25; ++second) {
        progress.Show("at " + std::to_string(second));
        clock.now += 1s;
    }
    progress.Clear();
    EXPECT_EQ(out.str(), "at 10\nat 20\n");
}

TEST(RunReport, TimeStampsAreUtcToTheSecond) {
    const auto t = std::chrono::system_clock::from_time_t(1796925785);
    EXPECT_EQ(IsoUtcStamp(t), "2026-12-10T18:03:05Z");
    EXPECT_EQ(IsoUtcStamp(t + 999ms), "2026-12-10T18:03:05Z");
    EXPECT_EQ(IsoUtcStamp(std::chrono::system_clock::from_time_t(0)), "1970-01-01T00:00:00Z");
}

TEST(RunReport, LogFileAppendsStampedLinesAtOnceWithoutThePassword) {
    TTempTree tree;
    const std::string path = tree.File("run.log", "earlier run\n");
    const auto t = std::chrono::system_clock::from_time_t(1796925785);
    TLogFile log([t] { return t; });
    std::string error;
    ASSERT_TRUE(log.Open(path, error)) << error;
    log.HideSecret("pa\x01ss");
    log.HideSecret("");
    EXPECT_TRUE(log.Write("Logging in with pa\x01ss"));
    EXPECT_TRUE(log.Write("530 Login incorrect for pa\\x01ss\nsecond line"));
    // Read while the log is still open: nothing waits in a buffer.
    EXPECT_EQ(ReadFile(path), "earlier run\n"
                              "2026-12-10T18:03:05Z Logging in with ***\n"
                              "2026-12-10T18:03:05Z 530 Login incorrect for ***\n"
                              "2026-12-10T18:03:05Z second line\n");

    struct stat info {};
    const std::string fresh = tree.Path("new.log");
    TLogFile other;
    ASSERT_TRUE(other.Open(fresh, error)) << error;
    ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << "a log of a site's server is its owner's only";
    EXPECT_TRUE(other.Write("now"));
    const std::string line = ReadFile(fresh);
    ASSERT_EQ(line.size(), 25u) << line;
    EXPECT_EQ(line.substr(19), "Z now\n") << "the system clock when none is given";

    TLogFile nowhere;
    EXPECT_FALSE(nowhere.Open(tree.Path("missing/dir/run.log"), error));
    EXPECT_NE(error.find("missing/dir/run.log"), std::string::npos) << error;
    EXPECT_FALSE(nowhere.Write("dropped"));
}
