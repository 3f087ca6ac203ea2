#include "app/headless.h"

#include "app/exit_codes.h"
#include "app/password_store.h"
#include "app/site_settings.h"
#include "app/sites.h"
#include "sync/sync_core.h"
#include "toolkit/profile.h"
#include "toolkit/services.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <set>
#include <unistd.h>

namespace pelmora {

namespace {

int interruptPipe[2] = {-1, -1};
// The signal that asked for the stop; 0 while none has.
volatile sig_atomic_t stopSignal = 0;

extern "C" void OnWatchdog(int) {
    static const char text[] = "pelmora: the stop did not finish in time; ending now\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(128 + stopSignal);
}

extern "C" void OnInterrupt(int signal) {
    const int savedErrno = errno;
    if (stopSignal == 0) {
        stopSignal = signal;
        // The stop is carried out by the event loop; an operation that keeps the loop
        // from running (a blocking call that never returns) must not keep us alive.
        ::alarm(TInterruptStop::WatchdogSeconds);
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(interruptPipe[1], &byte, 1);
    // The next Ctrl-C or termination is not caught: it ends the program.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(SIGINT, &fallback, nullptr);
    ::sigaction(SIGTERM, &fallback, nullptr);
    errno = savedErrno;
}

} // namespace

struct TInterruptStop::TImpl {
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction savedInt {};
    struct sigaction savedTerm {};
    struct sigaction savedAlarm {};
    bool installed = false;
};

TInterruptStop::TInterruptStop(std::function<void()> stop) : impl_(new TImpl) {
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    impl_->notifier = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, [stop = std::move(stop)] {
        char buffer[16];
        while (::read(interruptPipe[0], buffer, sizeof buffer) > 0) {
        }
        stop();
    });
    stopSignal = 0;
    struct sigaction watchdog {};
    watchdog.sa_handler = OnWatchdog;
    sigemptyset(&watchdog.sa_mask);
    ::sigaction(SIGALRM, &watchdog, &impl_->savedAlarm);
    struct sigaction interrupt {};
    interrupt.sa_handler = OnInterrupt;
    sigemptyset(&interrupt.sa_mask);
    sigaddset(&interrupt.sa_mask, SIGINT);
    sigaddset(&interrupt.sa_mask, SIGTERM);
    interrupt.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &interrupt, &impl_->savedInt);
    ::sigaction(SIGTERM, &interrupt, &impl_->savedTerm);
    impl_->installed = true;
}

TInterruptStop::~TInterruptStop() {
    if (impl_->installed) {
        ::sigaction(SIGINT, &impl_->savedInt, nullptr);
        ::sigaction(SIGTERM, &impl_->savedTerm, nullptr);
        // The orderly stop has finished: no watchdog any more.
        ::alarm(0);
        ::sigaction(SIGALRM, &impl_->savedAlarm, nullptr);
    }
    impl_->notifier.reset();
    for (int& fd : interruptPipe)
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    delete impl_;
}

namespace {

// What the run says, sorted by kind: printed as the output level chooses, each line as
// soon as it is said, and every line (at the verbose level) in the log. Every line, to
// standard output, standard error and the log alike, passes the run's secret mask first.
class TReporter : public TSyncView {
public:
    TReporter(std::ostream& out, TOutputLevel level, bool terminal, TLogFile& log)
        : out_(out), level_(level), log_(log), progress_(out, terminal),
          start_(std::chrono::steady_clock::now()) {}

    // The mask the engine's status uses too: one place decides what is secret.
    void MaskWith(const TSecretMask& mask) { mask_ = &mask; }
    // The run whose session and totals the lines speak of.
    void Follow(const TSyncRun& run) { run_ = &run; }

    void Line(TLineKind kind, const std::string& text) {
        const std::string escaped = Clean(text);
        if (log_.IsOpen())
            log_.Write(escaped);
        if (!Shows(level_, kind))
            return;
        progress_.Clear();
        out_ << escaped << '\n';
        // The per-entry lines of --verbose come by the thousand: they are pushed out
        // every 200 ms; every other line at once, so a pipe sees it while the run goes on.
        if (kind != TLineKind::PerEntry || TickReached(GetTickCount(), lastFlush_ + 200)) {
            out_.flush();
            lastFlush_ = GetTickCount();
        }
    }

    // Failures go to `err`, after what `out` holds so far.
    void Failure(std::ostream& err, const std::string& text) {
        progress_.Clear();
        out_.flush();
        const std::string escaped = Clean(text);
        if (log_.IsOpen())
            log_.Write(escaped);
        err << escaped << '\n';
    }

    void Finish(const TRunResult& result, int failed);

    void ShowLine(TLineKind kind, const std::string& text) override {
        if (kind == TLineKind::Plan) {
            Line(TLineKind::Plan, "  " + text);
            return;
        }
        // A status line said again unchanged is one line, as the status line shows it.
        if (text == status_)
            return;
        status_ = text;
        if (text.empty())
            return;
        // The counters said once per entry name nothing; the files are named as they are
        // sent or deleted instead.
        if (kind != TLineKind::PerEntry) {
            Line(TLineKind::Phase, text);
            lastStatus_ = text;
        }
        SayTheSession();
    }
    // The window's status texts are its own: here each phase is said from its figures, in
    // plain words, or not at all when it has nothing to tell.
    void ShowPhase(const TPhase& phase) override {
        status_ = phase.text;
        if (phase.kind == TPhase::TKind::Connecting)
            server_ = phase.place;
        std::string security;
        if (phase.kind == TPhase::TKind::Connected && run_)
            for (const auto& [label, text] : run_->ConnectionFacts())
                // A plain state goes with the connect; one with a warning in it keeps its
                // own line.
                if (label == "Security" && !text.empty() &&
                    text.find_first_of(":;") == std::string::npos && shown_.insert(label).second)
                    security = text;
        if (const std::string line = PhaseLine(phase, server_, security); !line.empty()) {
            Line(TLineKind::Phase, line);
            lastStatus_ = line;
        } else if (phase.kind == TPhase::TKind::UpdateDone && phase.failed > 0) {
            // What ends a run that failed stands first among its failures.
            lastStatus_ = "The update is incomplete:";
        }
        SayTheSession();
    }
    void ShowPlan(const TPlanListing& plan) override {
        for (const std::string& line : PlanListingLines(plan))
            Line(TLineKind::Plan, line);
    }
    // The last status line as this reporter said it; the engine's as the window has it
    // when none was said.
    std::string LastStatus(const std::string& engines) const {
        return lastStatus_.empty() ? engines : lastStatus_;
    }
    void ShowBytesSent(int64_t) override {
        if (run_ && Shows(level_, TLineKind::Progress) && run_->Result().totals.bytesToSend > 0)
            progress_.Show(ProgressLine(run_->Result().totals, std::chrono::steady_clock::now()));
    }
    void StepFinished(TStepKind kind, const std::string& path, bool done, int64_t bytes) override {
        // Each file by name as it goes up or away, for --verbose and the log; a step that
        // failed has said so, with its reason, as a failure.
        if (done)
            Line(TLineKind::PerEntry, StepDoneLine(kind, path, bytes));
    }

private:
    // Once each, as soon as it is settled: whether the password and the files went over
    // the network readable by anyone on the way, and (after the first data connection)
    // what a user behind a router needs to know when listings work but slowly, or not at all.
    void SayTheSession() {
        if (!run_)
            return;
        for (const auto& [label, text] : run_->ConnectionFacts())
            if (!text.empty() && shown_.insert(label).second)
                Line(TLineKind::Phase, label + ": " + text);
    }

    std::string Clean(const std::string& text) const {
        return EscapeControls(mask_ ? mask_->Apply(text) : text);
    }

    std::ostream& out_;
    const TSecretMask* mask_ = nullptr;
    const TSyncRun* run_ = nullptr;
    TOutputLevel level_;
    TLogFile& log_;
    TProgressPrinter progress_;
    TSteadyTime start_;
    std::string status_;
    std::string lastStatus_;
    // Where the connect went, for the line that says it is done.
    std::string server_;
    // The facts of the session already said.
    std::set<std::string> shown_;
    uint32_t lastFlush_ = GetTickCount();
};

void TReporter::Finish(const TRunResult& result, int failed) {
    progress_.Clear();
    TRunTotals counted = result.totals;
    counted.failed = failed;
    // The run is timed from the start of the program's work, the reading of the disk too.
    counted.start = start_;
    std::string summary = result.planned ? DryRunSummary(counted)
                                         : SummaryLine(counted, std::chrono::steady_clock::now());
    if (!result.deleteRefusal.empty())
        summary += "; " + result.deleteRefusal;
    // Quiet, a run that changed nothing and found nothing wrong says nothing: a cron line
    // that runs every few minutes mails only when there is something to read. The log
    // keeps the summary all the same. A dry run counts what it would change.
    const bool changed =
        counted.uploaded + counted.refreshed + counted.created + counted.deleted > 0;
    const bool silent =
        level_ == TOutputLevel::Quiet && !changed && failed == 0 && result.deleteRefusal.empty();
    Line(silent ? TLineKind::PerEntry : TLineKind::Summary, summary);
    out_.flush();
}

// Messages go to the error stream (and the log) for as long as this run lasts.
struct TMessagesToErr {
    TMessagesToErr(TReporter& reporter, std::ostream& e) : saved(Services().ShowMessage) {
        Services().ShowMessage = [&reporter, &e](const std::string& text) {
            reporter.Failure(e, text);
        };
    }
    ~TMessagesToErr() { Services().ShowMessage = saved; }
    std::function<void(const std::string&)> saved;
};

const char* const KeyringMissingText =
    "The desktop's keyring did not answer: the password stays in the settings file";

// The site as its settings file and the command line make it, and where its password is.
struct THeadlessSite {
    TSiteSettings settings;
    // The password the file or the keyring holds: the one written back, whatever this run
    // was given.
    std::string storedPassword;
    std::string passwordKey;
    TPasswordStore* keyring = nullptr;
    bool keyringMissing = false;
};

// The password: the one given for this run, else the keyring's when the site keeps it
// there and a keyring answers, else the file's. A password in the file is newer than the
// keyring's (the keyring could not take it, or --configure wrote it), so it is used.
void FindPassword(THeadlessSite& site, const std::string& settingsFile,
                  const THeadlessOptions& options) {
    TConnectionSettings& c = site.settings.connection;
    site.keyring = options.passwordStore;
    site.passwordKey =
        PasswordKey(options.siteName.empty() ? settingsFile : options.siteName, c.user, c.host);
    const bool answers = site.keyring && site.keyring->Available();
    if (site.settings.passwordInKeyring) {
        if (c.password.empty() && answers)
            if (const auto stored = site.keyring->Read(site.passwordKey))
                c.password = *stored;
        site.keyringMissing = !answers;
    }
    site.storedPassword = c.password;
    if (options.password)
        c.password = *options.password;
}

// What the command line changes for this run only.
void ApplyOptions(TSyncOptions& sync, const THeadlessOptions& options,
                  const std::string& settingsFile) {
    sync.excludes = options.excludes;
    // A site's first publish makes its remote directory (after the login); the dry run
    // makes nothing and says it would.
    sync.missingRoot =
        options.dryRun ? TSyncOptions::TMissingRoot::Plan : TSyncOptions::TMissingRoot::Make;
    if (options.maxDelete)
        sync.maxDelete = options.maxDelete;
    // Nobody is there to confirm a large deletion: the cap refuses it.
    sync.enforceDeleteCap = true;
    sync.journalFile = SiteJournalFile(settingsFile);
}

// Writes back what the run learnt (the listing zone, whether the server keeps our times,
// that TLS worked), with the stored password, never one given for this run only. A
// password the keyring takes stays out of the file.
void SaveLearnt(THeadlessSite& site, const TSyncCore& engine, const TRunResult& result,
                const std::string& settingsFile) {
    TSiteSettings learnt = site.settings;
    learnt.sync.listingZone = engine.options.listingZone;
    learnt.sync.remoteKeepsOurTimes = engine.options.remoteKeepsOurTimes;
    learnt.sync.listingZoneProven = engine.options.listingZoneProven;
    learnt.connection.tlsSeenBefore = site.settings.connection.tlsSeenBefore || result.tlsLearnt;
    learnt.connection.password = site.storedPassword;
    if (learnt.passwordInKeyring && site.keyring && site.keyring->Available() &&
        site.keyring->Write(site.passwordKey, site.storedPassword))
        learnt.connection.password.clear();
    WriteSiteSettings(settingsFile, learnt);
}

// The steps of a run without a window: it always loads, compares and updates (its dry run
// only looks), whatever the window's "after connect" options say, or cron would never
// publish. Its disk was read at its start.
TSyncSteps HeadlessSteps(bool dryRun) {
    TSyncSteps steps;
    steps.load = steps.compare = true;
    steps.update = !dryRun;
    steps.dryRun = dryRun;
    return steps;
}

bool ReachedTheServer(TRunOutcome outcome) {
    return outcome != TRunOutcome::Settings && outcome != TRunOutcome::Busy &&
           outcome != TRunOutcome::LocalDirectory && outcome != TRunOutcome::Connection;
}

// Reads the disk, then runs; a root that cannot be read ends the run before the connect.
TRunResult ReadAndRun(TSyncCore& engine, TSyncRun& run, const THeadlessSite& site, bool dryRun) {
    bool localRead = true;
    {
        const TSyncCore::TOperationScope operation(engine, TSyncCore::TOperation::LocalLoad);
        localRead = run.ReadLocal(true);
    }
    // Said while the settings were read, and overwritten by the local load since.
    if (site.keyringMissing)
        engine.ShowStatus(KeyringMissingText);
    if (!localRead) {
        TRunResult result;
        result.outcome = TRunOutcome::LocalDirectory;
        result.failures = engine.Problems();
        result.lastStatus = engine.Status();
        return result;
    }
    const TSyncCore::TOperationScope operation(engine, TSyncCore::TOperation::Connect);
    return run.Run(site.settings.connection, HeadlessSteps(dryRun));
}

// The end of the run as the user reads it: what stopped it or failed, every failure with
// its path and reason, and the summary. The exit status by class of outcome.
int Conclude(TReporter& reporter, std::ostream& err, const TRunResult& result,
             const std::string& lastStatus) {
    const bool stopped = stopSignal != 0;
    const bool ok = result.Succeeded();
    // Settings that cannot make a run (no server, no local directory) are the user's to
    // fix, not a run that failed: one line, and where to look.
    if (!stopped && result.outcome == TRunOutcome::Settings) {
        reporter.Failure(err, "pelmora: " + lastStatus + "; see pelmora --help");
        return ToInt(TExitCode::Usage);
    }
    if (stopped)
        // The user's stop is not a failure: it is said as what it was, and only what
        // failed before it is counted.
        reporter.Failure(err, stopSignal == SIGINT ? "Stopped by Ctrl-C" : "Stopped by SIGTERM");
    else if (!ok)
        // The last status, then every failure with its path and reason, so that a mail
        // from cron says all that is wrong.
        reporter.Failure(err, lastStatus);
    if (!ok || stopped)
        for (const std::string& problem : result.failures)
            reporter.Failure(err, "  " + problem);
    int failed = 0;
    if (stopped)
        failed = static_cast<int>(result.failures.size());
    else if (!ok)
        failed = std::max(1, static_cast<int>(result.failures.size()));
    reporter.Finish(result, failed);
    if (stopped)
        return 128 + stopSignal;
    return ToInt(ExitCodeOf(result.outcome));
}

} // namespace

int RunHeadless(const std::string& settingsFile, std::ostream& out, std::ostream& err) {
    return RunHeadless(settingsFile, THeadlessOptions{}, out, err);
}

namespace {

// The run of a site whose settings are read: the engine, the run, and at the end what the
// run learnt written back. `stopTarget` is where Ctrl-C and SIGTERM stop it.
int RunSite(THeadlessSite& site, const std::string& settingsFile, const THeadlessOptions& options,
            TReporter& reporter, std::ostream& err, TSyncCore*& stopTarget) {
    // The settings as read stay as they are, to be written back with what the run learnt.
    TSyncOptions runOptions = site.settings.sync;
    ApplyOptions(runOptions, options, settingsFile);
    TSyncCore engine(reporter, runOptions);
    TSyncRun run(engine);
    reporter.MaskWith(engine.secrets);
    reporter.Follow(run);
    engine.secrets.Hide(site.storedPassword);
    engine.secrets.Hide(site.settings.connection.password);
    if (site.keyringMissing)
        engine.ShowStatus(KeyringMissingText);
    stopTarget = &engine;
    TRunResult result;
    // A stop that came while the settings were read leaves nothing to start.
    if (stopSignal == 0)
        result = ReadAndRun(engine, run, site, options.dryRun);
    if (site.settings.steps.exitWhenDone && ReachedTheServer(result.outcome))
        run.Quit();
    // Saved only when the run learnt something the file must keep: a file that cron runs
    // from need not change, nor its time. A file that cannot be written is worth a
    // warning, not the run's outcome: the site on the server is what cron asked about.
    if (engine.settingsChanged) {
        try {
            SaveLearnt(site, engine, result, settingsFile);
        } catch (const std::exception& e) {
            reporter.Failure(err, "Could not save the settings: " + std::string(e.what()));
        }
    }
    stopTarget = nullptr;
    return Conclude(reporter, err, result, reporter.LastStatus(engine.Status()));
}

} // namespace

int RunHeadless(const std::string& settingsFile, const THeadlessOptions& options, std::ostream& out,
                std::ostream& err) {
    TLogFile log;
    if (!options.logFile.empty()) {
        std::string why;
        if (!log.Open(options.logFile, why)) {
            err << "pelmora: " << EscapeControls(why) << '\n';
            return ToInt(TExitCode::Usage);
        }
    }
    TReporter reporter(out, options.output, options.terminal, log);
    const TMessagesToErr messagesToErr(reporter, err);
    // Caught from the start: reading the settings may block (a pipe, a dead network file
    // system), and the watchdog must end that too.
    TSyncCore* stopTarget = nullptr;
    const TInterruptStop stop([&stopTarget] {
        if (stopTarget)
            stopTarget->Stop();
    });
    THeadlessSite site;
    try {
        site.settings = ReadSiteSettings(settingsFile);
    } catch (const EProfileError& e) {
        reporter.Failure(err, "pelmora: " + std::string(e.what()));
        return ToInt(TExitCode::Usage);
    }
    FindPassword(site, settingsFile, options);
    return RunSite(site, settingsFile, options, reporter, err, stopTarget);
}

} // namespace pelmora
