#include "sync/remote_entries.h"

#include "toolkit/date_time.h"
#include "toolkit/text.h"

#include <algorithm>

namespace pelmora {

void SortEntries(std::vector<TListedEntry>& entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TListedEntry& a, const TListedEntry& b) {
                         const bool aDir = a.kind == TListedKind::Directory;
                         const bool bDir = b.kind == TListedKind::Directory;
                         if (aDir != bDir)
                             return aDir;
                         const int order = CompareText(a.name, b.name);
                         return order != 0 ? order < 0 : a.name < b.name;
                     });
}

bool CaseBlindListing(const std::vector<TListedEntry>& entries) {
    return std::any_of(entries.begin(), entries.end(), [](const TListedEntry& e) {
        return e.form == TListingForm::Dos || e.form == TListingForm::Vms ||
               e.form == TListingForm::Vm;
    });
}

bool NamesEveryEntry(const std::vector<TListedEntry>& entries) {
    return std::none_of(entries.begin(), entries.end(), [](const TListedEntry& e) {
        return e.form == TListingForm::Vm && e.name.starts_with('.');
    });
}

void FillRemoteDetail(TDetail& entry, const TListedEntry& listed, std::string_view dir,
                      const TListingClock& clock) {
    switch (listed.kind) {
    case TListedKind::Directory:
        entry.kind = kindDirectory;
        break;
    case TListedKind::File:
        entry.kind = kindFile;
        break;
    case TListedKind::Link:
    case TListedKind::Other:
        entry.kind = kindLink;
        break;
    }
    entry.name = listed.name;
    entry.dir = std::string(dir);
    const bool bytes = listed.form == TListingForm::Unix || listed.form == TListingForm::Dos;
    entry.size = listed.kind == TListedKind::File && bytes ? listed.size : -1;
    entry.time = ListedTime(listed, clock.zoneMinutes, clock.nowUtc);
    entry.date =
        entry.time.precision == TTimePrecision::Unknown ? 0.0 : LocalDateTimeOf(entry.time.utc);
}

} // namespace pelmora
