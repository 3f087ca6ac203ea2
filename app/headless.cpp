#include "app/headless.h"

#include "app/main_form.h"
#include "toolkit/profile.h"
#include "toolkit/services.h"
#include "toolkit/tick.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace pelmora {

namespace {

int interruptPipe[2] = {-1, -1};

extern "C" void OnInterrupt(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(interruptPipe[1], &byte, 1);
    // The next Ctrl-C is not caught: it ends the program.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

struct TInterruptStop::TImpl {
    std::unique_ptr<QSocketNotifier> notifier;
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
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
}

TInterruptStop::~TInterruptStop() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    impl_->notifier.reset();
    for (int& fd : interruptPipe)
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    delete impl_;
}

int RunHeadless(const std::string& settingsFile, std::ostream& out, std::ostream& err) {
    // Messages go to the error stream for as long as this run lasts.
    struct TMessagesToErr {
        explicit TMessagesToErr(std::ostream& e) : saved(Services().ShowMessage) {
            Services().ShowMessage = [&e](const std::string& text) { e << text << '\n'; };
        }
        ~TMessagesToErr() { Services().ShowMessage = saved; }
        std::function<void(const std::string&)> saved;
    } messagesToErr(err);
    TForm1 form;
    // Every line is written; they are pushed out at least every 200 ms and at the end,
    // not one by one, so a scan of many thousand entries is not held up by its output.
    uint32_t lastFlush = GetTickCount();
    form.Panel1.Subscribe([&] {
        if (form.Panel1.Caption().empty())
            return;
        out << form.Panel1.Caption() << '\n';
        if (TickReached(GetTickCount(), lastFlush + 200)) {
            out.flush();
            lastFlush = GetTickCount();
        }
    });
    form.PlanLine = [&out](const std::string& line) { out << "  " << line << '\n'; };
    TInterruptStop stop(form);
    form.FormCreate(settingsFile);
    form.FormActivate();
    const bool ok = form.HeadlessConnect();
    out.flush();
    try {
        if (!form.Closed)
            form.FormClose();
    } catch (const EProfileError& e) {
        err << e.what() << '\n';
        return 1;
    }
    if (!ok) {
        err << form.Panel1.Caption() << '\n';
        return 1;
    }
    return 0;
}

} // namespace pelmora
