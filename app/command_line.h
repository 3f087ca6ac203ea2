#pragma once

#include "app/run_report.h"
#include "app/sites.h"

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace pelmora {

struct TCommandLine {
    enum TMode { Window, Headless, Configure, Show, ListSites, Help, Version, UsageError };
    TMode Mode = Window;
    std::string SettingsFile; // empty: the default file
    std::string Site;         // empty: the default site; never given with SettingsFile
    std::vector<std::string> Assignments;
    // --show: print the site's settings (after writing them, with --configure).
    bool ShowSettings = false;
    std::string Error;

    // What a headless run is asked to do beyond what the settings say.
    bool DryRun = false;
    TOutputLevel Output = TOutputLevel::Normal;
    std::string LogFile;                   // empty: no log
    std::vector<std::string> Excludes;     // in the order given, after .pelmoraignore
    std::optional<std::int64_t> MaxDelete; // unset: the default rule; -1: no cap
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The settings a run uses: the file --settings names, the site --site names, or the
// default site.
struct TRunSite {
    std::string SettingsFile;
    // The site's name; for a file named by --settings, its absolute path, which stands
    // for the site where a site's name is needed (the password's key in the keyring).
    std::string Name;
    // The file is one of `sites`: the window offers the others to switch to.
    bool FromSites = false;
    // --configure named a site that does not exist yet: it is to be made under `Name`
    // (SettingsFile is empty until then).
    bool ToMake = false;
};

// Which settings the command line chooses. False, with `error`, for a site that does
// not exist (--configure makes one, unless its name cannot be a site's): a usage error.
bool ResolveSite(const TCommandLine& cl, const TSites& sites, TRunSite& site, std::string& error);
void PrintUsage(std::ostream& out);

// Gives every "FTP.password=-" among `assignments` the next line of `in`, without its line
// end (LF or CR LF), so the password need not stand on the command line where every local
// user sees it. When `terminalFd` is a terminal, "Password: " goes to `prompt` first and
// the terminal does not echo while the line is typed. Other keys keep "-" as their value.
// False, with `error`, when a line was needed and `in` holds none.
bool ReadPasswordFromInput(std::vector<std::string>& assignments, std::istream& in, int terminalFd,
                           std::ostream& prompt, std::string& error);
std::string VersionText();

} // namespace pelmora
