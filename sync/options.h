#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelmora {

// What the user chose for a sync, as the engine reads it: the window's controls or the
// settings file fill it, never the engine.
struct TSyncOptions {
    std::string localRoot;  // absolute once the local load has resolved it
    std::string remoteRoot; // as typed: absolute, or relative to the login directory
    bool mayDelete = true;  // delete on the server what the disk no longer has
    uint32_t timeoutMs = 30000;
    // The zone the server's listing prints its times in, minutes east of UTC (learnt, or
    // set by the user); 0 until known, as almost every server lists in UTC.
    int listingZone = 0;
    // The server keeps the times Pelmora gives its uploads (learnt): a listing that shows
    // a file's time to the minute then shows the local file's own time.
    bool remoteKeepsOurTimes = false;
    // `listingZone` was learnt from our own uploads: how their listed times stood to the
    // times they were given, or to the moments they were sent. A zone read from the
    // server's MDTM answer (which some servers give in their local time, not in UTC) never
    // overrules it.
    bool listingZoneProven = false;
    // Patterns read after the local root's .pelmoraignore, as if they were its last lines.
    std::vector<std::string> excludes;
    // How many deletions one update may make (see DeleteCapRefusal): unset = the default
    // rule, negative = no cap. Only heeded with `enforceDeleteCap`: a run nobody watches
    // refuses, where the window asks the user instead.
    std::optional<int64_t> maxDelete;
    bool enforceDeleteCap = false;
    // Each upload goes to a temporary name beside its target and is renamed over it once
    // whole, so the site never shows a file half sent.
    bool atomic = true;
    // How many sessions the remote walk and the update may run at once; the extra ones
    // are opened with the main session's parameters only when there is work for them.
    // The settings' default is 4; an engine made without settings keeps to one.
    int connections = 1;
    // The site's publish journal (an SQLite database) and the run lock beside it; empty:
    // neither, and files are judged by their times alone.
    std::string journalFile;
    // Whom the journal's rows are about: the server and account ("user@host:port"); the
    // remote root is added to it by the engine.
    std::string journalPlace;
    // A remote root that cannot be entered because it is not there. Refuse: an error,
    // as for any root that cannot be entered. Make: made, with its parents, one level at
    // a time, before it is listed. Plan: nothing is made; the load finds it empty and the
    // plan says it would be made (the dry run).
    enum class TMissingRoot { Refuse, Make, Plan };
    TMissingRoot missingRoot = TMissingRoot::Refuse;

    bool operator==(const TSyncOptions&) const = default;
};

} // namespace pelmora
