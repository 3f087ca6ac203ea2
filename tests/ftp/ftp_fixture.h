#pragma once

#include "ftp/ftp.h"
#include "tests/support/local_settings.h"
#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace pelmora::testing {

// A TFtp with every event written down: `events` holds the notifications and completion
// events in the order they arrive ("error OperationFailed", "ready", "available",
// "DirectoryCreated"), `infos` every information code with its text, `errorTexts` what
// each error said, `trace` each change of status and reply state.
class TRecordingFtp {
public:
    struct TInfo {
        FtpInfo code;
        std::string text;
    };

    TRecordingFtp() {
        ftp.OnFtpInfo = [this](TObject*, FtpInfo code, const std::string& text) {
            infos.push_back({code, text});
            if (onInfo)
                onInfo(code, text);
        };
        ftp.OnFtpError = [this](TObject*, FtpInfo code, const std::string& text) {
            events.push_back(std::string("error ") + FtpInfoName(code));
            errorTexts.push_back(text);
        };
        ftp.OnFtpReady = [this](TObject*) { events.push_back("ready"); };
        ftp.OnTrace = [this](const std::string& line) { trace.push_back(line); };
        ftp.OnFtpQuit = [this](TObject*) { events.push_back("available"); };
        const auto record = [this](const char* name) {
            return [this, name](TObject*) { events.push_back(name); };
        };
        ftp.OnLoggedIn = record("LoggedIn");
        ftp.OnDirectoryChanged = record("DirectoryChanged");
        ftp.OnDirectoryCreated = record("DirectoryCreated");
        ftp.OnDirectoryDeleted = record("DirectoryDeleted");
        ftp.OnFileDeleted = record("FileDeleted");
        ftp.OnFileStored = record("FileStored");
        ftp.OnListingDone = record("ListingDone");
        ftp.OnFileTimeSet = record("FileTimeSet");
        ftp.OnFileTimeReceived = record("FileTimeReceived");
    }

    // Sleeps in the event loop until the condition holds; false after `ms`.
    static bool WaitFor(const std::function<bool()>& done, uint32_t ms = 5000) {
        return WaitUntil(done, GetTickCount() + ms);
    }

    bool Saw(const std::string& event) const {
        for (const auto& e : events)
            if (e == event)
                return true;
        return false;
    }
    bool WaitForEvent(const std::string& event, uint32_t ms = 5000) {
        return WaitFor([&] { return Saw(event); }, ms);
    }
    // Lets every notification already posted arrive.
    static void Settle() {
        WaitFor([] { return false; }, 150);
    }
    // Starts an operation and waits for the ready that ends it; false after `ms`.
    bool Perform(const std::function<void()>& operation, uint32_t ms = 5000) {
        const int before = Count("ready");
        operation();
        const bool done = WaitFor([&] { return Count("ready") > before; }, ms);
        Settle();
        return done;
    }
    // The same, and no error on the way.
    bool PerformClean(const std::function<void()>& operation, uint32_t ms = 10000) {
        const size_t first = events.size();
        const bool done = Perform(operation, ms);
        return done && std::none_of(events.begin() + static_cast<long>(first), events.end(),
                                    [](const std::string& e) { return e.starts_with("error"); });
    }
    int Count(const std::string& event) const {
        int n = 0;
        for (const auto& e : events)
            n += e == event;
        return n;
    }
    std::vector<std::string> InfoTexts(FtpInfo code) const {
        std::vector<std::string> texts;
        for (const auto& info : infos)
            if (info.code == code)
                texts.push_back(info.text);
        return texts;
    }

    TFtp ftp;
    // What Connect is given: a local server, in the component's own modes (active data
    // connections, no TLS); a fixture names the port.
    TConnectionSettings settings = LocalSettings();
    std::vector<std::string> events;
    std::vector<TInfo> infos;
    std::vector<std::string> errorTexts; // OnFtpError's addInfo, in order
    std::vector<std::string> trace;
    std::function<void(FtpInfo, const std::string&)> onInfo;
};

// A file's bytes as they lie on the disk.
inline std::string ReadDisk(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool Has(const TStringList& list, const std::string& name) {
    for (int i = 0; i < list.Count(); ++i)
        if (list.Strings(i) == name)
            return true;
    return false;
}

} // namespace pelmora::testing
