#pragma once

#include <ostream>
#include <string>

namespace pelmora {

class TForm1;

// Runs the window's logic without a window: start-up as usual, then the work of one
// press of Connect, printing every status line to `out`. Returns the exit status:
// 0 when every step attempted succeeded, 1 when one failed or was stopped (the last
// status then also goes to `err`). Every line is printed with EscapeControls. Settings
// that cannot be saved at the end give a warning on `err` and leave the status as it is.
int RunHeadless(const std::string& settingsFile, std::ostream& out, std::ostream& err);

// Makes Ctrl-C (SIGINT) and SIGTERM act as the Stop button of `form` while the object
// lives. A second one ends the program at once, and so does the watchdog that the first
// one arms: when the orderly stop has not finished within WatchdogSeconds (an operation
// that keeps the event loop from running), the program exits with 128 + the signal's
// number (130 for SIGINT, 143 for SIGTERM).
class TInterruptStop {
public:
    static constexpr unsigned WatchdogSeconds = 5;

    explicit TInterruptStop(TForm1& form);
    ~TInterruptStop();
    TInterruptStop(const TInterruptStop&) = delete;
    TInterruptStop& operator=(const TInterruptStop&) = delete;

private:
    struct TImpl;
    TImpl* impl_;
};

} // namespace pelmora
