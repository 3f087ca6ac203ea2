#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// A set of settings for one web site: the server, the account, both directories and the
// options, kept in a settings file of its own.
struct TSiteInfo {
    std::string Name; // as the user named it, and as the selector shows it
    std::string File; // its settings file
    bool IsDefault = false;
};

// The site whose settings live in PELMORA.INI, as the selector shows it. Its file keeps
// the name it always had, so settings from before there were sites go on working.
inline constexpr std::string_view DefaultSiteName = "Default";

// The name as typed, without the blanks at either end.
std::string TrimSiteName(std::string_view name);

// Whether `name` can name a new site: printable UTF-8 without "/", not empty, not the
// default site's name, short enough for a file name. When not, `error` says why. The
// name is taken as it is: trim it first.
bool CheckSiteName(std::string_view name, std::string& error);

// The file a site's settings live in, within the sites folder: the name with every byte
// but ASCII letters, digits, blank, "-", "_" and a "." that does not lead written as %XX,
// and ".ini" after it. So any name makes a file name, no name makes a hidden file or
// climbs out of the folder, and the name is read back from the file name alone.
std::string SiteFileName(std::string_view name);

// The site name a file of the sites folder stands for; nullopt for a file that is not
// a site's (no ".ini", or a name no site could have). A "%" without two hex digits
// after it stands for itself, so a file made by hand keeps its name.
std::optional<std::string> SiteNameOfFile(std::string_view fileName);

// Where Pelmora keeps what it learns while it runs: $XDG_STATE_HOME/pelmora when that is
// an absolute path, else ~/.local/state/pelmora; "" when neither can be told.
std::string StateDirectory();

// The publish journal of the site whose settings are in `settingsFile`, in the state
// directory: the settings file's name without ".ini", a "-", 8 hex digits that tell apart
// settings files of the same name elsewhere, and ".db" (the run lock is beside it, with
// ".lock"). "" when there is no state directory or no settings file.
std::string SiteJournalFile(const std::string& settingsFile);

// The sites of one user: the default one in PELMORA.INI and one file for each other in
// the "sites" folder beside it. Site names are told apart without regard to letter case
// ("Work" and "work" are one site), as a user reading the selector would.
class TSites {
public:
    // `defaultFile`: the default site's settings file; the sites folder is beside it.
    explicit TSites(std::string defaultFile);

    const std::string& DefaultFile() const { return defaultFile_; }
    std::string Folder() const;

    // The default site first, then the others in the order of their names. A missing
    // sites folder is no error: there is the default site only.
    std::vector<TSiteInfo> List() const;
    // The site of that name (trimmed, exact case first, then without regard to case).
    std::optional<TSiteInfo> Find(std::string_view name) const;

    // Makes an empty settings file for a new site. Refused for a name that CheckSiteName
    // refuses or that a site has already.
    std::optional<TSiteInfo> Create(std::string_view name, std::string& error) const;
    // Gives a site another name; refused for the default site and for a name that another
    // site has. Changing only the letter case of a name is a rename.
    std::optional<TSiteInfo> Rename(std::string_view from, std::string_view to,
                                    std::string& error) const;
    // Removes a site's settings file; the default site is never removed.
    bool Delete(std::string_view name, std::string& error) const;

private:
    std::string defaultFile_;
};

} // namespace pelmora
