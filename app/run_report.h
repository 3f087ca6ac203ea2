#pragma once

#include "sync/sync_run.h"
#include "toolkit/text.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// "0 B", "999 B", "1.4 kB", "14.2 MB", "4.6 GB": powers of 1000, one decimal.
std::string FormatBytes(std::uint64_t bytes);
// "0.4 s", "3.2 s", "42 s", "2 min 5 s", "1 h 3 min".
std::string FormatDuration(std::chrono::milliseconds duration);

// "Summary: 12 uploaded, 3 refreshed, 2 created, 1 deleted, 0 failed; 1.4 MB sent in 3.2 s"
// The same words every time, whatever the counts, so a script can read it.
std::string SummaryLine(const TRunTotals& totals, TSteadyTime now);
// The dry run's summary, from the counts of what the update would do and the bytes it
// would send (bytesToSend): "Dry run: would upload 3, refresh 1, delete 2 -- 1.4 MB";
// "Dry run: nothing to do" for an empty plan; "; 1 failed" when anything failed.
std::string DryRunSummary(const TRunTotals& would);
// The window's line after an update, from the same counts: "Uploaded 12, refreshed 3,
// deleted 1 — 1.4 MB in 3.2 s; 2 failed". Directories made and failures are named only
// when there are any, so the everyday line stays short.
std::string UpdateSummary(const TRunTotals& totals, TSteadyTime now);
// What --verbose and the log say of a step that was done: "sent /about.html (4.1 kB)",
// "deleted /old.html", "created /new".
std::string StepDoneLine(TStepKind kind, const std::string& path, std::int64_t bytes);
// "Uploading 14.2 MB of 40.1 MB (35%), 2.3 MB/s, 11 s left"; the rate and the time left
// are left out until there is a rate to speak of.
std::string ProgressLine(const TRunTotals& totals, TSteadyTime now);

// "1,204,000": a whole number with a comma between groups of three digits.
std::string GroupedNumber(std::int64_t n);
// "1 file", "1,204 files": the count and its noun, the plural but for one.
std::string CountOf(std::int64_t n, const char* one, const char* many);

// A phase of the run in plain words, as a terminal and the log show it, where the window
// has its status texts: "Local: 1,204 files in 88 directories (/home/me/site)",
// "Connected to example.org (TLS 1.3, certificate verified)", "Deleting 3 files". Empty
// for a phase that says nothing worth a line: a step without work, the start of a load
// whose end is said, the end of an update that the summary tells. `server` is the name the
// connect went to, `security` the session's security as it settled at the login.
std::string PhaseLine(const TPhase& phase, const std::string& server, const std::string& security);

// The plan as a terminal and the log list it: the remote root the update makes, then every
// step sorted by path (bytes order), a file with its size ("  upload /a.html (4.1 kB)"),
// then what the plan keeps, then a totals line; "Nothing to do" for an empty plan. A plan
// an update carries out gets a "Plan:" header; the dry run's header is its phase.
std::vector<std::string> PlanListingLines(const TPlanListing& plan);
// "Total: 12 uploads (3 new, 9 changed), 1.4 MB; 2 directories to create; 3 deletes;
// 1 directory to remove", each part only when there is any; "Nothing to do" when none is.
// The remote root that the update makes counts among the directories to create.
std::string PlanTotals(const TPlanListing& plan);

enum class TOutputLevel { Quiet, Normal, Verbose };

// Whether a line of `kind` is printed at `level`: quiet keeps what a person must act on
// (failures and the summary); normal adds what the run is doing and will do (phases, the
// plan, progress); verbose adds every file as it is sent or deleted.
bool Shows(TOutputLevel level, TLineKind kind);

// The progress line. On a terminal it is rewritten in place, a few times a second at most;
// on a pipe or in a file it is an ordinary line at most every 10 seconds, so cron's mail
// or a CI log shows that the run is alive without a line per file.
class TProgressPrinter {
public:
    using TClock = std::function<TSteadyTime()>;
    // Without a clock, the steady clock.
    TProgressPrinter(std::ostream& out, bool terminal, TClock clock = {});

    static constexpr std::chrono::milliseconds terminalInterval{200};
    static constexpr std::chrono::milliseconds pipeInterval{10000};

    // Prints `line` if its time has come. On a pipe the first line waits a whole interval,
    // so a short upload prints none.
    void Show(std::string_view line);
    // Takes the line off a terminal so the next ordinary line starts on a clean row; call
    // it before printing anything else to the same stream, and at the end.
    void Clear();

private:
    std::ostream& out_;
    bool terminal_;
    TClock clock_;
    bool shown_ = false; // on the terminal now
    bool timing_ = false;
    TSteadyTime last_{};
};

// "2026-12-10T18:03:05Z"
std::string IsoUtcStamp(std::chrono::system_clock::time_point time);

// A log that cron jobs and CI can keep: every line gets a time stamp in UTC, is appended
// at once (a run that is killed still leaves everything it said), and never holds the
// password, even if a message from a server repeats it.
class TLogFile {
public:
    using TClock = std::function<std::chrono::system_clock::time_point()>;
    // Without a clock, the system clock.
    explicit TLogFile(TClock clock = {});
    ~TLogFile();
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Opens `path` for appending, creating it readable by its owner only. False, with
    // `error`, when it cannot be opened.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return fd_ >= 0; }

    // Every later line has `secret` (and its escaped form, as printed) replaced by "***".
    void HideSecret(std::string secret);
    // Writes `text`, one stamped line per line in it. False when the write failed; the
    // run goes on, and `Error()` says why.
    bool Write(std::string_view text);
    const std::string& Error() const { return error_; }

private:
    TClock clock_;
    int fd_ = -1;
    TSecretMask mask_;
    std::string error_;
};

} // namespace pelmora
