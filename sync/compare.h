#pragma once

#include "sync/detail.h"
#include "sync/publish_journal.h"
#include "toolkit/string_list.h"

#include <optional>
#include <string>
#include <vector>

namespace pelmora {

// What the compare decides for one entry. `mark` is what its node is to say of it,
// empty where the node keeps the mark it was loaded with; `partner` is the index of the
// entry it matched on the other side, or -1.
struct TVerdict {
    uint8_t action = actionNone;
    std::optional<TEntryMark> mark;
    int partner = -1;
};

// Verdicts for both sides, in the order of their master lists, and the entries no
// verdict could be given, one line each ("/docs: a file here, a directory on the
// server").
struct TComparison {
    std::vector<TVerdict> local;
    std::vector<TVerdict> remote;
    std::vector<std::string> conflicts;
};

// An entry the excludes left out of one side's load: its key, and whether it is a
// directory. It stays as it is, but it is still there: an entry of the other kind under
// its name on the other side is a conflict.
struct TExcludedEntry {
    std::string key;
    bool directory = false;
    bool operator==(const TExcludedEntry&) const = default;
};

// How the two sides are to be matched.
struct TCompareRules {
    // The server ignores letter case in names (a DOS/Windows-style server).
    bool caseFolding = false;
    // Remote directories whose content is unknown: nothing inside them gets a verdict.
    std::vector<std::string> remoteUnlisted;
    // See TSyncOptions::remoteKeepsOurTimes.
    bool remoteKeepsOurTimes = false;
    // The site's publish journal, by local key, and the zone the listing's times are in
    // (TSyncOptions::listingZone); none: the times alone decide.
    const TJournalRows* journal = nullptr;
    int listingZone = 0;
    // The moment of the compare, UTC: a remote time after it proves nothing (CompareTimes).
    std::optional<int64_t> nowUtc;
    // What the excludes left out of each side's load.
    std::vector<TExcludedEntry> localExcluded;
    std::vector<TExcludedEntry> remoteExcluded;
};

// Compares two master lists (keys beside TDetail entries, in pre-order) and changes
// nothing: the caller applies the verdicts and paints.
//  - A local entry matches the first remote entry with the same key (case aside when
//    the rules say so). A matched file that the journal has a row for remains only when
//    both sides are as the row left them (JudgeByJournal); one without a row is sent
//    again when the server's copy is older or of another size. A matched directory
//    remains.
//  - Unmatched local entries are created (directories) or uploaded (files); unmatched
//    remote entries are removed (directories) or deleted (files), links never.
//  - Conflicts get no verdict, and nor does anything inside them or inside an unlisted
//    directory: a file against a directory (an excluded one too: the excludes of one
//    kind, "foo/", leave the other kind in), a directory against a server link, and, on
//    a server that ignores case, local names that differ only in case.
TComparison CompareLists(const TStringList& local, const TStringList& remote,
                         const TCompareRules& rules);

} // namespace pelmora
