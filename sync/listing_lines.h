#pragma once

#include "ftp/listing_entry.h"
#include "sync/detail.h"
#include "toolkit/controls.h"
#include "toolkit/string_list.h"

#include <string_view>
#include <vector>

namespace pelmora {

// The entries of one directory's listing, directories first, then by name without
// regard to case (the bytes decide between names that differ only in case). Lines that
// describe no entry are traced in `memo` as "Not an entry: " and the line.
std::vector<TListedEntry> ReadListing(const TStringList& lines, TMemo& memo);

// True when the listing was written in the DOS/Windows form.
bool DosListing(const std::vector<TListedEntry>& entries);

// Fills a new remote entry from its listing entry. A time without a year is taken as
// this year's; a date that cannot be built (the 31st of April) leaves the date 0, so the
// local copy counts as newer.
void FillRemoteDetail(TDetail& entry, const TListedEntry& listed, std::string_view dir);

} // namespace pelmora
