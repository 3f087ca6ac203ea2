#pragma once

#include "app/run_report.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace pelmora {

class TPasswordStore;

// What the command line asks of a run without a window beyond what the settings say.
struct THeadlessOptions {
    // Loads both sides, compares and prints the plan; nothing on the server changes.
    bool dryRun = false;
    TOutputLevel output = TOutputLevel::Normal;
    // Appended to, every line at the verbose level with a time stamp; empty: no log.
    std::string logFile;
    // Patterns read after the local root's .pelmoraignore.
    std::vector<std::string> excludes;
    // Overrides Options.maxDelete: -1 no cap; unset: the settings' choice.
    std::optional<std::int64_t> maxDelete;
    // Used for this run instead of the stored password, which stays as it is.
    std::optional<std::string> password;
    // Where the password is kept when the site's settings say the keyring; unset: the
    // settings file only.
    TPasswordStore* passwordStore = nullptr;
    // The site's name, which the password's key in the keyring holds; empty: the file's name.
    std::string siteName;
    // `out` is a terminal: the progress line is rewritten in place.
    bool terminal = false;
};

// One run without a window: the site's settings, the engine and a run (TSyncRun) that
// reads the disk, connects, loads, compares and updates, and a reporter that prints what
// the run says by kind of line. `out` gets the phases, the plan, progress and a summary line at the
// end (fewer or more lines by the output level), each line as soon as it is said; the
// last status and every failure go to `err`. Every line is printed with EscapeControls.
// Returns the exit status by class of outcome (TExitCode): the local directory, the
// connection or login, a safety rule, other failures, a stop by signal. The settings file
// is written back only when the run learnt something it must keep; one that cannot be
// written gives a warning on `err` and leaves the status as it is.
int RunHeadless(const std::string& settingsFile, const THeadlessOptions& options, std::ostream& out,
                std::ostream& err);
int RunHeadless(const std::string& settingsFile, std::ostream& out, std::ostream& err);

// Makes Ctrl-C (SIGINT) and SIGTERM call `stop` (which stops the engine, as the Stop
// button does) while the object lives. A second one ends the program at once, and so does the
// watchdog that the first one arms: when the orderly stop has not finished within WatchdogSeconds
// (an operation that keeps the event loop from running), the program exits with 128 + the signal's
// number (130 for SIGINT, 143 for SIGTERM).
class TInterruptStop {
public:
    static constexpr unsigned WatchdogSeconds = 5;

    explicit TInterruptStop(std::function<void()> stop);
    ~TInterruptStop();
    TInterruptStop(const TInterruptStop&) = delete;
    TInterruptStop& operator=(const TInterruptStop&) = delete;

private:
    struct TImpl;
    TImpl* impl_;
};

} // namespace pelmora
