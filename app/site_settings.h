#pragma once

#include "net/connection_settings.h"
#include "sync/options.h"

#include <string>

namespace pelmora {

class TIniFile;
struct TSetting;

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
    // As a site without settings has them (the defaults of SettingKeys): deleting off,
    // four sessions at once.
    TSyncOptions sync = [] {
        TSyncOptions options;
        options.mayDelete = false;
        options.connections = 4;
        return options;
    }();
    TRunSteps steps;
    // FTP.passwordInKeyring: the password lives in the desktop's keyring when one answers.
    bool passwordInKeyring = false;
    TScreenPlacement screen;
    bool operator==(const TSiteSettings&) const = default;
};

// The settings of `fileName`, every key the file lacks (or holds no value of its type
// for) at its default, a number out of its key's range at the nearest end; a missing file
// gives the defaults. EProfileError when the file exists and cannot be read.
TSiteSettings ReadSiteSettings(const std::string& fileName);
// Writes every key of `settings` into `fileName` (texts encoded as the file keeps them),
// every other line of the file kept as it is, and replaces the file whole so that a
// reader never sees half of it (through a symbolic link, the file it leads to; the
// folder is made when missing). EProfileError when it cannot be written.
void WriteSiteSettings(const std::string& fileName, const TSiteSettings& settings);

// One key, as the two above read and write it: from the file into its place in
// `settings`, and from there into the file (a key whose value is no number, as
// Options.maxDelete unset, is left as the file has it).
void ReadSetting(const TIniFile& ini, const TSetting& key, TSiteSettings& settings);
void WriteSetting(TIniFile& ini, const TSetting& key, const TSiteSettings& settings);
// The file as the two above read it: EProfileError when it is there and cannot be read.
TIniFile ReadSettingsFile(const std::string& fileName);
// Writes `ini` out as WriteSiteSettings does.
void SaveSettingsFile(const TIniFile& ini);

} // namespace pelmora
