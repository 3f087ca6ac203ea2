#include "app/headless.h"

#include "app/main_form.h"
#include "toolkit/services.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <memory>
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

// Messages go to the error stream for as long as this run lasts.
struct TMessagesToErr {
    explicit TMessagesToErr(std::ostream& e) : saved(Services().ShowMessage) {
        Services().ShowMessage = [&e](const std::string& text) {
            e << EscapeControls(text) << '\n';
        };
    }
    ~TMessagesToErr() { Services().ShowMessage = saved; }
    std::function<void(const std::string&)> saved;
};

// Every line is written; they are pushed out at least every 200 ms and at the end, not
// one by one, so a scan of many thousand entries is not held up by its output. Status
// lines carry names from the server and the disk: they are printed escaped.
void PrintStatuses(TForm1& form, std::ostream& out) {
    form.Panel1.Subscribe(
        [&form, &out, lastFlush = GetTickCount(), dataModeShown = false]() mutable {
            if (form.Panel1.Caption().empty())
                return;
            out << EscapeControls(form.Panel1.Caption()) << '\n';
            // Once, after the first data connection: what a user behind a router needs to
            // know when listings work but slowly, or not at all.
            if (!dataModeShown && !form.Ftp1.DataModeInUse().empty()) {
                dataModeShown = true;
                out << "Data connections: " << form.Ftp1.DataModeInUse() << '\n';
            }
            if (TickReached(GetTickCount(), lastFlush + 200)) {
                out.flush();
                lastFlush = GetTickCount();
            }
        });
}

} // namespace

int RunHeadless(const std::string& settingsFile, std::ostream& out, std::ostream& err) {
    const TMessagesToErr messagesToErr(err);
    TForm1 form;
    PrintStatuses(form, out);
    form.PlanLine = [&out](const std::string& line) {
        out << "  " << EscapeControls(line) << '\n';
    };
    // The settings are saved once, when "exit when complete" closes the form or at the
    // end. A file that cannot be written is worth a warning, not the run's outcome: the
    // site on the server is what cron asked about.
    bool saveTried = false;
    auto saveSettings = [&] {
        if (saveTried || form.Closed)
            return;
        saveTried = true;
        try {
            form.FormClose();
        } catch (const std::exception& e) {
            out.flush();
            err << "Could not save the settings: " << EscapeControls(e.what()) << '\n';
        }
    };
    form.CloseWindow = saveSettings;
    bool ok = false;
    {
        TInterruptStop stop(form);
        form.FormCreate(settingsFile);
        form.FormActivate();
        ok = form.HeadlessConnect();
        out.flush();
        saveSettings();
    }
    if (!ok) {
        // The last status, then every failure with its path and reason, so that a mail
        // from cron says all that is wrong.
        err << EscapeControls(form.Panel1.Caption()) << '\n';
        for (const std::string& problem : form.Problems())
            err << "  " << EscapeControls(problem) << '\n';
        return 1;
    }
    return 0;
}

} // namespace pelmora
