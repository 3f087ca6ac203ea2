#include "toolkit/messages.h"

#include "toolkit/tick.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <unordered_map>

namespace pelmora {

namespace {

const QEvent::Type messageEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TMessageEvent final : public QEvent {
public:
    explicit TMessageEvent(const TMessage& m) : QEvent(messageEventType), message(m) {}
    TMessage message;
};

std::unordered_map<HWND, TNotifyWindow*>& Windows() {
    static std::unordered_map<HWND, TNotifyWindow*> windows;
    return windows;
}

HWND nextHandle = 1;

TNotifyWindow* FindWindow(HWND handle) {
    const auto it = Windows().find(handle);
    return it == Windows().end() ? nullptr : it->second;
}

} // namespace

TNotifyWindow::TNotifyWindow(TWndProc proc) : handle_(nextHandle++), proc_(std::move(proc)) {
    if (nextHandle == NoWindow)
        nextHandle = 1;
    Windows()[handle_] = this;
}

TNotifyWindow::~TNotifyWindow() {
    // Qt drops the events still queued for this object along with it.
    Windows().erase(handle_);
}

bool TNotifyWindow::event(QEvent* e) {
    if (e->type() != messageEventType)
        return QObject::event(e);
    Dispatch(static_cast<TMessageEvent*>(e)->message);
    return true;
}

void TNotifyWindow::Dispatch(TMessage& message) {
    if (proc_)
        proc_(message);
}

bool PostMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    TNotifyWindow* target = FindWindow(window);
    if (target == nullptr)
        return false;
    QCoreApplication::postEvent(target, new TMessageEvent(TMessage{msg, wParam, lParam, 0}));
    return true;
}

intptr_t SendMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    TNotifyWindow* target = FindWindow(window);
    if (target == nullptr)
        return 0;
    TMessage message{msg, wParam, lParam, 0};
    target->Dispatch(message);
    return message.Result;
}

void ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

namespace {

// Sleeps in the event loop until `done` holds or, with a deadline, the tick count reaches it.
bool Wait(const std::function<bool()>& done, const uint32_t* deadline) {
    if (done())
        return true;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    // Some dispatchers deliver the posted messages first and then block for the next
    // socket or timer event. A handler that made `done` true must not leave us asleep
    // until the deadline: just before the loop would block, look again.
    const auto connection =
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&] {
            if (done())
                dispatcher->interrupt();
        });
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        if (deadline) {
            const uint32_t left = TicksLeft(GetTickCount(), *deadline);
            if (left == 0)
                break;
            wake.start(static_cast<int>(left));
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    QObject::disconnect(connection);
    return done();
}

} // namespace

bool WaitUntil(const std::function<bool()>& done, uint32_t deadline) {
    return Wait(done, &deadline);
}

void WaitUntil(const std::function<bool()>& done) {
    Wait(done, nullptr);
}

} // namespace pelmora
