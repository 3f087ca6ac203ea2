#pragma once

#include "net/listed_entry.h"
#include "sync/detail.h"

#include <string_view>
#include <vector>

namespace pelmora {

// Puts one directory's entries in the order the walk and the tree use: directories
// first, then by name without regard to case (the bytes decide between names that
// differ only in case).
void SortEntries(std::vector<TListedEntry>& entries);

// True when the listing comes from a server that does not tell names apart by letter
// case: the DOS/Windows form, and the VMS and VM forms, whose names are upper case
// whatever was sent.
bool CaseBlindListing(const std::vector<TListedEntry>& entries);

// False when some entry carries no name of its own (VM/VPS servers list file types
// alone): such a listing cannot be matched with the disk.
bool NamesEveryEntry(const std::vector<TListedEntry>& entries);

// How the server's listing times are to be read: the zone its clock lists in (minutes
// east of UTC) and the moment of the load, which places dates listed without a year.
struct TListingClock {
    int zoneMinutes = 0;
    int64_t nowUtc = 0;
};

// Fills a new remote entry from its listing entry, its time in UTC (see ListedTime); a
// date that cannot be built (the 31st of April) leaves the time unknown, so the local
// copy is sent. VMS and VM listings give blocks or records, not bytes: the size stays
// unknown there, so it never makes a file look changed.
void FillRemoteDetail(TDetail& entry, const TListedEntry& listed, std::string_view dir,
                      const TListingClock& clock = {});

} // namespace pelmora
