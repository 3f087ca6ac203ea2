#pragma once

#include "sync/sync_run.h"

#include <string>
#include <string_view>

namespace pelmora {

// What the program's exit status tells a script, by class of outcome, so cron or CI can
// tell "try again later" (4, 6) from "look at the site" (1) from "someone must decide" (5).
enum class TExitCode : int {
    Success = 0,
    SomeFailed = 1,
    Usage = 2,
    LocalMissing = 3,
    ConnectFailed = 4,
    SafetyRefused = 5,
    Busy = 6,
    Interrupted = 130, // 128 + SIGINT, as a shell reports a program ended by Ctrl-C
    Terminated = 143,  // 128 + SIGTERM
};

constexpr int ToInt(TExitCode code) {
    return static_cast<int>(code);
}

inline constexpr TExitCode allExitCodes[] = {
    TExitCode::Success,      TExitCode::SomeFailed,    TExitCode::Usage,
    TExitCode::LocalMissing, TExitCode::ConnectFailed, TExitCode::SafetyRefused,
    TExitCode::Busy,         TExitCode::Interrupted,   TExitCode::Terminated,
};

// The exit status of a run that ended as `outcome`. A stop is by Ctrl-C unless
// `terminated` says SIGTERM asked for it.
constexpr TExitCode ExitCodeOf(TRunOutcome outcome, bool terminated = false) {
    switch (outcome) {
    case TRunOutcome::Success:
        return TExitCode::Success;
    case TRunOutcome::Settings:
        return TExitCode::Usage;
    case TRunOutcome::LocalDirectory:
        return TExitCode::LocalMissing;
    case TRunOutcome::Connection:
        return TExitCode::ConnectFailed;
    case TRunOutcome::SafetyRefused:
        return TExitCode::SafetyRefused;
    case TRunOutcome::SomeFailed:
        return TExitCode::SomeFailed;
    case TRunOutcome::Busy:
        return TExitCode::Busy;
    case TRunOutcome::Stopped:
        return terminated ? TExitCode::Terminated : TExitCode::Interrupted;
    }
    return TExitCode::SomeFailed;
}

// A short name for logs and messages ("connect-failed").
constexpr std::string_view ExitCodeName(TExitCode code) {
    switch (code) {
    case TExitCode::Success:
        return "success";
    case TExitCode::SomeFailed:
        return "some-failed";
    case TExitCode::Usage:
        return "usage";
    case TExitCode::LocalMissing:
        return "local-missing";
    case TExitCode::ConnectFailed:
        return "connect-failed";
    case TExitCode::SafetyRefused:
        return "safety-refused";
    case TExitCode::Busy:
        return "busy";
    case TExitCode::Interrupted:
        return "interrupted";
    case TExitCode::Terminated:
        return "terminated";
    }
    return "unknown";
}

// What the code means to the person who reads --help.
constexpr std::string_view ExitCodeMeaning(TExitCode code) {
    switch (code) {
    case TExitCode::Success:
        return "success, with or without changes";
    case TExitCode::SomeFailed:
        return "some operations failed (the others were done)";
    case TExitCode::Usage:
        return "usage or settings error";
    case TExitCode::LocalMissing:
        return "the local directory is missing or unreadable";
    case TExitCode::ConnectFailed:
        return "could not connect or log in (refused, timed out, bad password, TLS)";
    case TExitCode::SafetyRefused:
        return "refused by a safety rule (deletion cap, empty local directory)";
    case TExitCode::Busy:
        return "another run of this site is in progress (nothing was done)";
    case TExitCode::Interrupted:
        return "stopped by Ctrl-C";
    case TExitCode::Terminated:
        return "stopped by SIGTERM";
    }
    return "";
}

// The table of exit statuses for --help: one "  N    meaning" line each.
inline std::string ExitCodesHelp() {
    std::string text;
    for (TExitCode code : allExitCodes) {
        std::string number = std::to_string(ToInt(code));
        number.resize(5, ' ');
        text += "  ";
        text += number;
        text += ExitCodeMeaning(code);
        text += '\n';
    }
    return text;
}

} // namespace pelmora
