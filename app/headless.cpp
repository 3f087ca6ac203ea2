#include "app/headless.h"

#include "app/exit_codes.h"
#include "app/main_form.h"
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

TInterruptStop::TInterruptStop(TForm1& form) : impl_(new TImpl) {
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    impl_->notifier = std::make_unique<QSocketNotifier>(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, [&form] {
        char buffer[16];
        while (::read(interruptPipe[0], buffer, sizeof buffer) > 0) {
        }
        form.Button5Click();
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
// soon as it is said, and every line (at the verbose level) in the log. It also counts
// what the update did, for the progress line and the summary. Every line, to standard
// output, standard error and the log alike, passes the run's secret mask first.
class TReporter : public TSyncView {
public:
    TReporter(std::ostream& out, TOutputLevel level, bool terminal, TLogFile& log)
        : out_(out), level_(level), log_(log), progress_(out, terminal) {
        totals_.start = std::chrono::steady_clock::now();
    }

    // The mask the window's status uses too: one place decides what is secret.
    void MaskWith(const TSecretMask& mask) { mask_ = &mask; }

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
        if (kind != TLineKind::Status || TickReached(GetTickCount(), lastFlush_ + 200)) {
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

    // The dry run's plan, counted: its summary says what the update would do.
    void Planned(const TRunTotals& would) { planned_ = would; }

    void Finish(const std::string& refusal, int failed) {
        progress_.Clear();
        totals_.failed = failed;
        std::string summary;
        if (planned_) {
            planned_->failed = failed;
            summary = DryRunSummary(*planned_);
        } else {
            summary = SummaryLine(totals_, std::chrono::steady_clock::now());
        }
        if (!refusal.empty())
            summary += "; " + refusal;
        // Quiet, a run that changed nothing and found nothing wrong says nothing: a cron
        // line that runs every few minutes mails only when there is something to read.
        // The log keeps the summary all the same.
        // A dry run counts what it would change.
        const TRunTotals& counted = planned_ ? *planned_ : totals_;
        const bool changed =
            counted.uploaded + counted.refreshed + counted.created + counted.deleted > 0;
        const bool silent =
            level_ == TOutputLevel::Quiet && !changed && failed == 0 && refusal.empty();
        Line(silent ? TLineKind::Status : TLineKind::Summary, summary);
        out_.flush();
    }

    void UploadsStarting(int64_t bytes) override {
        totals_.bytesToSend = static_cast<uint64_t>(std::max<int64_t>(bytes, 0));
        totals_.uploadStart = std::chrono::steady_clock::now();
    }
    void ShowBytesSent(int64_t sent) override {
        totals_.bytesSent = totals_.bytesDone + static_cast<uint64_t>(std::max<int64_t>(sent, 0));
        if (Shows(level_, TLineKind::Progress) && totals_.bytesToSend > 0)
            progress_.Show(ProgressLine(totals_, std::chrono::steady_clock::now()));
    }
    void StepFinished(TStepKind kind, const std::string& path, bool done, int64_t bytes) override {
        CountStep(totals_, kind, done, bytes);
        // Each file by name as it goes up or away, for --verbose and the log; a step that
        // failed has said so, with its reason, as a failure.
        if (done)
            Line(TLineKind::Status, StepDoneLine(kind, path, bytes));
    }

private:
    std::string Clean(const std::string& text) const {
        return EscapeControls(mask_ ? mask_->Apply(text) : text);
    }

    std::ostream& out_;
    const TSecretMask* mask_ = nullptr;
    TOutputLevel level_;
    TLogFile& log_;
    TProgressPrinter progress_;
    TRunTotals totals_;
    std::optional<TRunTotals> planned_;
    uint32_t lastFlush_ = GetTickCount();
};

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

// Status lines carry names from the server and the disk: they are printed escaped.
void PrintStatuses(TForm1& form, TReporter& reporter) {
    form.Panel1.Subscribe(
        [&form, &reporter, dataModeShown = false, securityShown = false]() mutable {
            const std::string& status = form.Panel1.Caption();
            if (status.empty())
                return;
            // The counters said once per entry name nothing; the files are named as they
            // are sent or deleted instead.
            if (!PerEntryStatus(status))
                reporter.Line(TLineKind::Phase, status);
            // Once, as soon as it is settled: whether the password and the files went over
            // the network readable by anyone on the way.
            const TServerTraits& traits = form.Ftp1.Traits();
            if (!securityShown && !traits.securityInUse.empty()) {
                securityShown = true;
                reporter.Line(TLineKind::Phase, "Security: " + traits.securityInUse);
            }
            // Once, after the first data connection: what a user behind a router needs to
            // know when listings work but slowly, or not at all.
            if (!dataModeShown && traits.dataModeInUse != TDataCommand::None) {
                dataModeShown = true;
                reporter.Line(TLineKind::Phase,
                              "Data connections: " + DataModeText(traits.dataModeInUse));
            }
        });
}

// The class of a run that did not succeed, decided where it failed.
TExitCode FailedRunCode(const TForm1& form) {
    if (form.FailureClass() != TExitCode::Success)
        return form.FailureClass();
    if (!form.deleteRefusal.empty())
        return TExitCode::SafetyRefused;
    return TExitCode::SomeFailed;
}

} // namespace

int RunHeadless(const std::string& settingsFile, std::ostream& out, std::ostream& err) {
    return RunHeadless(settingsFile, THeadlessOptions{}, out, err);
}

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
    TForm1 form;
    reporter.MaskWith(form.secrets);
    form.Observer = &reporter;
    form.DryRun = options.dryRun;
    form.DryRunTotals = [&reporter](const TRunTotals& would) { reporter.Planned(would); };
    PrintStatuses(form, reporter);
    form.PlanLine = [&reporter](const std::string& line) {
        reporter.Line(TLineKind::Plan, "  " + line);
    };
    // The stored password, to be put back before the settings are written: one given for
    // this run only never reaches the file.
    std::string storedPassword;
    // The settings are saved once, when "exit when complete" closes the form or at the
    // end, and only when the run learnt something the file must keep: a file that cron
    // runs from need not change, nor its time. A file that cannot be written is worth a
    // warning, not the run's outcome: the site on the server is what cron asked about.
    bool saveTried = false;
    auto saveSettings = [&] {
        if (saveTried || form.Closed)
            return;
        saveTried = true;
        if (!form.settingsChanged)
            return;
        form.Edit3.SetText(storedPassword);
        try {
            form.FormClose();
        } catch (const std::exception& e) {
            reporter.Failure(err, "Could not save the settings: " + std::string(e.what()));
        }
    };
    form.CloseWindow = saveSettings;
    bool ok = false;
    {
        TInterruptStop stop(form);
        // The password: the one given for this run, else the keyring's when the site keeps
        // it there and a keyring answers, else the file's.
        form.PasswordStore = options.passwordStore;
        if (!options.siteName.empty())
            form.UseSiteName(options.siteName);
        form.FormCreate(settingsFile);
        storedPassword = form.Edit3.Text();
        if (options.password)
            form.Edit3.SetText(*options.password);
        form.secrets.Hide(storedPassword);
        form.secrets.Hide(form.Edit3.Text());
        form.options.excludes = options.excludes;
        // A site's first publish makes its remote directory (after the login); the dry
        // run makes nothing and says it would.
        form.options.missingRoot =
            options.dryRun ? TSyncOptions::TMissingRoot::Plan : TSyncOptions::TMissingRoot::Make;
        if (options.maxDelete)
            form.options.maxDelete = options.maxDelete;
        // Nobody is there to confirm a large deletion: the cap refuses it.
        form.options.enforceDeleteCap = true;
        form.FormActivate();
        ok = form.HeadlessConnect();
        saveSettings();
    }
    const std::vector<std::string> problems = form.Problems();
    const bool stopped = stopSignal != 0;
    // Settings that cannot make a run (no server, no local directory) are the user's to
    // fix, not a run that failed: one line, and where to look.
    if (!ok && !stopped && form.FailureClass() == TExitCode::Usage) {
        reporter.Failure(err, "pelmora: " + form.Panel1.Caption() + "; see pelmora --help");
        return ToInt(TExitCode::Usage);
    }
    if (stopped) {
        // The user's stop is not a failure: it is said as what it was, and only what
        // failed before it is counted.
        reporter.Failure(err, stopSignal == SIGINT ? "Stopped by Ctrl-C" : "Stopped by SIGTERM");
    } else if (!ok) {
        // The last status, then every failure with its path and reason, so that a mail
        // from cron says all that is wrong.
        reporter.Failure(err, form.Panel1.Caption());
    }
    if (!ok || stopped)
        for (const std::string& problem : problems)
            reporter.Failure(err, "  " + problem);
    int failed = 0;
    if (stopped)
        failed = static_cast<int>(problems.size());
    else if (!ok)
        failed = std::max(1, static_cast<int>(problems.size()));
    reporter.Finish(form.deleteRefusal, failed);
    if (stopped)
        return 128 + stopSignal;
    return ok ? ToInt(TExitCode::Success) : ToInt(FailedRunCode(form));
}

} // namespace pelmora
