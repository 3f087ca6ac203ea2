#include "sync/listing_lines.h"

#include "toolkit/date_time.h"
#include "toolkit/text.h"

#include <algorithm>

namespace pelmora {

std::vector<TListedEntry> ReadListing(const TStringList& lines, TMemo& memo) {
    std::vector<TListedEntry> entries;
    entries.reserve(static_cast<size_t>(lines.Count()));
    for (int i = 0; i < lines.Count(); ++i) {
        const std::string& line = lines.Strings(i);
        if (auto entry = ParseListedEntry(line))
            entries.push_back(std::move(*entry));
        else if (!line.empty())
            memo.Add("Not an entry: " + line);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TListedEntry& a, const TListedEntry& b) {
                         const bool aDir = a.kind == TListedKind::Directory;
                         const bool bDir = b.kind == TListedKind::Directory;
                         if (aDir != bDir)
                             return aDir;
                         const int order = CompareText(a.name, b.name);
                         return order != 0 ? order < 0 : a.name < b.name;
                     });
    return entries;
}

bool DosListing(const std::vector<TListedEntry>& entries) {
    return std::any_of(entries.begin(), entries.end(),
                       [](const TListedEntry& e) { return e.form == TListingForm::Dos; });
}

void FillRemoteDetail(TDetail& entry, const TListedEntry& listed, std::string_view dir) {
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
    entry.size = listed.kind == TListedKind::File ? listed.size : -1;
    const auto date =
        EncodeDate(listed.year == 0 ? CurrentYear() : listed.year, listed.month, listed.day);
    const auto time = EncodeTime(listed.hour, listed.minute, 0);
    entry.date = date && time ? *date + *time : 0.0;
}

} // namespace pelmora
