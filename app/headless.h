#pragma once

#include <ostream>
#include <string>

namespace pelmora {

class TForm1;

// Runs the window's logic without a window: start-up as usual, then the work of one
// press of Connect, printing every status line to `out`. Returns the exit status:
// 0 when every step attempted succeeded, 1 when one failed or was stopped (the last
// status then also goes to `err`).
int RunHeadless(const std::string& settingsFile, std::ostream& out, std::ostream& err);

// Makes Ctrl-C act as the Stop button of `form` while the object lives; a second Ctrl-C
// ends the program at once.
class TInterruptStop {
public:
    explicit TInterruptStop(TForm1& form);
    ~TInterruptStop();
    TInterruptStop(const TInterruptStop&) = delete;
    TInterruptStop& operator=(const TInterruptStop&) = delete;

private:
    struct TImpl;
    TImpl* impl_;
};

} // namespace pelmora
