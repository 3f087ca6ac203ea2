#pragma once

#include "sync/sync_core.h"
#include "sync/sync_view.h"
#include "tests/support/local_settings.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pelmora::testing {

// The exact time of an entry built by a test from a date in the TDateTime form, read as
// UTC.
inline TEntryTime ExactTime(TDateTime date) {
    return {std::llround((date - 25569.0) * 86400.0), TTimePrecision::Second};
}

// A view that keeps what the engine showed: every status as the status line would have
// changed, the trace, and the latest word on each action and on the progress.
class TRecordingView : public TSyncView {
public:
    std::vector<std::string> statuses;
    std::vector<std::string> traces;
    std::map<TSyncAction, bool> enabled;
    std::string localRoot;
    std::string currentFile;
    std::vector<int> stepPercents;
    bool stepShown = false;
    int overallPercent = -1;
    bool fileFigures = false;
    // Called with each new status as it is shown.
    std::function<void(const std::string&)> onStatus;
    int holds = 0;
    // The local directory dialog's answer: the choice, or cancel when empty.
    std::string dialogChoice;
    bool dialogAnswers = true;

    void ShowStatusText(const std::string& text) override {
        if (status_ == text)
            return;
        statuses.push_back(text);
        status_ = text;
        if (onStatus)
            onStatus(text);
    }
    void ShowStepBar(bool shown) override { stepShown = shown; }
    void SetStepBar(int percent) override { stepPercents.push_back(percent); }
    void ShowFileFigures(bool shown) override { fileFigures = shown; }
    void SetOverallBar(int percent) override { overallPercent = percent; }
    void ShowCurrentFile(const std::string& name) override { currentFile = name; }
    void EnableAction(TSyncAction action, bool on) override { enabled[action] = on; }
    void Trace(const std::string& line) override { traces.push_back(line); }
    void ShowLocalRoot(const std::string& root) override { localRoot = root; }
    void HoldActions() override { ++holds; }
    bool ChooseLocalDirectory(std::string& chosen) override {
        chosen = dialogChoice;
        return dialogAnswers;
    }

    const std::string& Status() const { return status_; }
    bool Enabled(TSyncAction action) const {
        const auto it = enabled.find(action);
        return it != enabled.end() && it->second;
    }
    bool Said(const std::string& status) const {
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    }
    bool Traced(const std::string& line) const {
        return std::find(traces.begin(), traces.end(), line) != traces.end();
    }

private:
    std::string status_;
};

struct TRecorded {
    TRecordingView view;
};

// The engine as the tests drive it: options in, a recording view out.
class TRecordedEngine : public TRecorded, public TSyncCore {
public:
    explicit TRecordedEngine(TSyncOptions options = {},
                             std::unique_ptr<TRemoteSession> remote = nullptr)
        : TSyncCore(view, std::move(options), std::move(remote)) {}

    // A test server on this machine, reached as the tests were written against: active
    // data connections and no TLS, unless a test asks otherwise.
    static TConnectionSettings LocalServer(uint16_t port, const std::string& user = "u",
                                           const std::string& password = "p") {
        return LocalSettings(port, user, password);
    }
    // Logs the main session in as the connect does, waiting while the server answers
    // within `waitMs`; the session's own time-out stays as it was.
    bool LogIn(TConnectionSettings settings, uint32_t waitMs = 10000) {
        const uint32_t timeout = session.timeoutMs;
        settings.timeoutMs = waitMs;
        session.BeginConnect(settings);
        const bool loggedIn = session.WaitForLogin() && connected;
        session.timeoutMs = timeout;
        return loggedIn;
    }
    // The main session logged in to a test server on this machine, in passive mode unless
    // asked otherwise: several sessions at once run in passive mode only.
    bool LogInTo(uint16_t port, const std::string& user = "u", const std::string& password = "p",
                 TDataMode mode = TDataMode::Passive) {
        TConnectionSettings settings = LocalServer(port, user, password);
        settings.dataMode = mode;
        return LogIn(settings, 10000);
    }
    // The extra sessions log in with the main session's settings: pointing its port
    // elsewhere once it is logged in sends them to another server.
    void ExtrasGoTo(uint16_t port) {
        TConnectionSettings settings = session.Settings();
        settings.port = port;
        session.SetSettings(settings);
    }
};

} // namespace pelmora::testing
