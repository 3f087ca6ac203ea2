#pragma once

#include <QObject>

#include <cstdint>
#include <functional>

namespace pelmora {

// A window message as the notification windows see it.
struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

constexpr uint32_t WM_QUERYENDSESSION = 17;
constexpr uint32_t WM_USER = 1024;

// A handle names a notification window without pointing at it, so a message posted
// to a window that has since been destroyed is dropped instead of delivered to freed memory.
using HWND = uint32_t;
constexpr HWND NoWindow = 0;

// A hidden window that is never shown: it only receives messages, on the thread that
// runs the event loop, and hands each one to its window procedure.
class TNotifyWindow final : public QObject {
public:
    using TWndProc = std::function<void(TMessage&)>;

    explicit TNotifyWindow(TWndProc proc);
    ~TNotifyWindow() override;

    HWND Handle() const { return handle_; }
    // Runs the window procedure on a message now.
    void Dispatch(TMessage& message);

protected:
    bool event(QEvent* e) override;

private:
    HWND handle_;
    TWndProc proc_;
};

// Queues a message for a window. It is delivered after the running handler returns,
// in posting order. False (and nothing queued) when the window does not exist.
bool PostMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// Delivers a message at once, like a direct call of the window procedure.
intptr_t SendMessage(HWND window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// One pass over everything pending: posted messages, socket notifications, timers.
// Never blocks.
void ProcessMessages();

// Sleeps in the event loop until `done` holds or the tick count reaches `deadline`,
// running every handler that becomes due meanwhile. Costs no CPU while nothing happens.
// Returns done() as it stands at the end.
bool WaitUntil(const std::function<bool()>& done, uint32_t deadline);

// Like WaitUntil without a deadline.
void WaitUntil(const std::function<bool()>& done);

} // namespace pelmora
