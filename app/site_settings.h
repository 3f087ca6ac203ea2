#pragma once

#include "net/connection_settings.h"
#include "sync/options.h"

#include <string>

namespace pelmora {

// What a press of Connect (or a run without a window) does after the login.
struct TRunSteps {
    bool load = true;          // Options.load: list the server
    bool compare = true;       // Options.compare: compare both sides
    bool update = false;       // Options.update: bring the server into line
    bool exitWhenDone = false; // Options.exit: close the window at the end
    bool operator==(const TRunSteps&) const = default;
};

// Where the window stood and how large it was, as the settings file keeps it.
struct TScreenPlacement {
    int width = 600;
    int height = 438;
    int top = 20;
    int left = 20;
    // The file held a width and a height (otherwise the window picks its first size).
    bool sizeStored = false;
    bool operator==(const TScreenPlacement&) const = default;
};

// One site's settings as one value: read from its settings file once, edited by the
// window (whose controls show it), written back once. Every key of SettingKeys has its
// place here.
struct TSiteSettings {
    TConnectionSettings connection;
    TSyncOptions sync;
    TRunSteps steps;
    // FTP.passwordInKeyring: the password lives in the desktop's keyring when one answers.
    bool passwordInKeyring = false;
    TScreenPlacement screen;
};

// The settings of `fileName`, every key the file lacks at its default; a missing file
// gives the defaults. EProfileError when the file exists and cannot be read.
TSiteSettings ReadSiteSettings(const std::string& fileName);
// Writes every key of `settings` into `fileName` (texts encoded as the file keeps them),
// replacing the file whole so that a reader never sees half of it. EProfileError when it
// cannot be written.
void WriteSiteSettings(const std::string& fileName, const TSiteSettings& settings);

} // namespace pelmora
