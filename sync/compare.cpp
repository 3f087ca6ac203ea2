#include "sync/compare.h"
#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/services.h"
#include "toolkit/text.h"

#include <ctime>
#include <unordered_map>
#include <unordered_set>

namespace pelmora {

namespace {

const TDetail& At(const TStringList& list, int i) {
    return *static_cast<const TDetail*>(list.Objects(i));
}

// Directories whose content cannot be judged, by their matching keys.
class TBlocked {
public:
    explicit TBlocked(bool caseFolding) : caseFolding_(caseFolding) {}
    std::string Key(const std::string& key) const { return caseFolding_ ? FoldedKey(key) : key; }
    void Add(const std::string& key) { dirs_.insert(Key(key)); }
    bool Is(const std::string& key) const { return !dirs_.empty() && dirs_.count(Key(key)) != 0; }
    bool Inside(std::string key) const {
        if (dirs_.empty())
            return false;
        for (RemoveLastComponent(key); !key.empty(); RemoveLastComponent(key))
            if (Is(key))
                return true;
        return false;
    }

private:
    bool caseFolding_;
    std::unordered_set<std::string> dirs_;
};

// The verdict for a local entry and the remote entry of the same key.
TVerdict Matched(const TDetail& local, const TDetail& remote, int j, const std::string& key,
                 const TCompareRules& rules) {
    const bool isDir = local.kind == kindDirectory;
    TVerdict v;
    v.partner = j;
    // What we sent and what the server listed after it tell an unchanged file by no
    // clock: any difference on either side sends it again.
    if (rules.journal && !isDir && remote.kind == kindFile) {
        const auto row = rules.journal->find(key);
        const TJournalSides now{local.size, local.mtimeNs, remote.size,
                                ListedAsPrinted(remote.time, rules.listingZone)};
        switch (JudgeByJournal(row == rules.journal->end() ? nullptr : &row->second, now)) {
        case TJournalVerdict::Unchanged:
            v.action = actionRemain;
            v.icon = imageRemoteNewer;
            return v;
        case TJournalVerdict::Changed:
            v.action = actionUpdate;
            v.icon = imageRefresh;
            return v;
        case TJournalVerdict::NoRow:
            break;
        }
    }
    // A file whose listed size differs from the local one did not arrive whole (an
    // upload cut off leaves a shorter, newer copy): it is sent again, whatever the
    // times say. When in doubt about the times, the file is sent again rather than an
    // edit missed.
    const bool sizeDiffers =
        !isDir && remote.size >= 0 && local.size >= 0 && remote.size != local.size;
    const TTimeOrder order =
        CompareTimes(local.time.utc, remote.time, rules.remoteKeepsOurTimes, rules.nowUtc);
    if (!sizeDiffers && (order == TTimeOrder::Same || order == TTimeOrder::RemoteNewer)) {
        v.action = actionRemain;
        v.icon = isDir ? imageDirectory : imageRemoteNewer;
    } else if (isDir) {
        v.action = actionRemain;
        v.icon = imageDirectory;
    } else {
        v.action = actionUpdate;
        v.icon = imageRefresh;
    }
    return v;
}

// The entry under `key` gets no verdict, and nor does anything inside it.
void Conflict(TComparison& c, TBlocked& blocked, const std::string& key, const std::string& why) {
    c.conflicts.push_back(key + ": " + why);
    blocked.Add(key);
}

// On a server that ignores case, two local names that differ only in case would land on
// one remote file: neither is sent, and neither counts as deleted.
void CaseTwins(const TStringList& local, TBlocked& blocked, TComparison& c) {
    const int localCount = local.Count();
    std::unordered_map<std::string, int> firstLocal;
    for (int i = 0; i < localCount; ++i)
        firstLocal.emplace(blocked.Key(local.Strings(i)), i);
    for (int i = 0; i < localCount; ++i) {
        const int first = firstLocal.at(blocked.Key(local.Strings(i)));
        if (first != i)
            Conflict(c, blocked, local.Strings(i),
                     "differs from " + local.Strings(first) +
                         " only in letter case, which the server does not tell apart");
    }
}

// Remote entries that no local entry matched go, but links never, nor anything inside a
// directory that cannot be judged.
void RemoteVerdicts(const TStringList& remote, const TBlocked& blocked, TComparison& c) {
    for (int j = 0; j < remote.Count(); ++j) {
        TVerdict& v = c.remote[static_cast<size_t>(j)];
        const TDetail& entry = At(remote, j);
        if (v.partner >= 0 || entry.kind == kindLink || blocked.Is(remote.Strings(j)) ||
            blocked.Inside(remote.Strings(j)))
            continue;
        v.action = entry.kind == kindDirectory ? actionRemove : actionDelete;
        v.icon = imageDelete;
    }
}

// An entry one side's excludes left out, against the entry of its name that the other
// side loaded: of the same kind, the same rule left both out; of the other kind, neither
// may be sent or deleted over the other.
void ExcludedAgainst(const std::vector<TExcludedEntry>& excluded, bool excludedLocal,
                     const TStringList& other, const std::unordered_map<std::string, int>& first,
                     TBlocked& blocked, TComparison& c) {
    for (const TExcludedEntry& e : excluded) {
        const auto found = first.find(blocked.Key(e.key));
        if (found == first.end())
            continue;
        const TDetail& entry = At(other, found->second);
        if (entry.kind == kindLink || e.directory == (entry.kind == kindDirectory))
            continue;
        const char* kind = e.directory ? "a directory" : "a file";
        const char* otherKind = e.directory ? "a file" : "a directory";
        Conflict(c, blocked, e.key,
                 excludedLocal
                     ? std::string(kind) + " here (excluded), " + otherKind + " on the server"
                     : std::string(otherKind) + " here, " + kind + " on the server (excluded)");
    }
}

} // namespace

TComparison CompareLists(const TStringList& local, const TStringList& remote,
                         const TCompareRules& rules) {
    const int localCount = local.Count();
    const int remoteCount = remote.Count();
    TComparison c;
    c.local.resize(static_cast<size_t>(localCount));
    c.remote.resize(static_cast<size_t>(remoteCount));
    TBlocked blocked(rules.caseFolding);
    for (const std::string& dir : rules.remoteUnlisted)
        blocked.Add(dir);
    const auto conflict = [&](int i, const std::string& why) {
        Conflict(c, blocked, local.Strings(i), why);
    };

    // The partner of a local entry is the first remote entry with the same key; one
    // index built per pass finds it without scanning the list each time.
    std::unordered_map<std::string, int> firstRemote;
    firstRemote.reserve(static_cast<size_t>(remoteCount));
    for (int j = 0; j < remoteCount; ++j)
        firstRemote.emplace(blocked.Key(remote.Strings(j)), j);
    if (rules.caseFolding)
        CaseTwins(local, blocked, c);
    ExcludedAgainst(rules.localExcluded, true, remote, firstRemote, blocked, c);
    if (!rules.remoteExcluded.empty()) {
        std::unordered_map<std::string, int> firstLocal;
        for (int i = 0; i < localCount; ++i)
            firstLocal.emplace(blocked.Key(local.Strings(i)), i);
        ExcludedAgainst(rules.remoteExcluded, false, local, firstLocal, blocked, c);
    }

    for (int i = 0; i < localCount; ++i) {
        const std::string& key = local.Strings(i);
        const TDetail& entry = At(local, i);
        const bool isDir = entry.kind == kindDirectory;
        const auto found = firstRemote.find(blocked.Key(key));
        const int j = found == firstRemote.end() ? -1 : found->second;
        TVerdict& v = c.local[static_cast<size_t>(i)];
        if (blocked.Is(key) || blocked.Inside(key)) {
            // A conflict of its own, or inside a directory that cannot be judged: its
            // server copy is left alone too.
            v.partner = j;
        } else if (j < 0) {
            v.action = isDir ? actionCreate : actionUpload;
            v.icon = isDir ? imageCreateDir : imageUpload;
        } else if (At(remote, j).kind == kindLink) {
            // Nothing is written through a server link. A file is left as it is; a
            // directory's content cannot be compared.
            v.partner = j;
            if (isDir)
                conflict(i, "a directory here, a link on the server");
            else
                v.action = actionRemain;
        } else if (isDir != (At(remote, j).kind == kindDirectory)) {
            v.partner = j;
            conflict(i, isDir ? "a directory here, a file on the server"
                              : "a file here, a directory on the server");
        } else {
            v = Matched(entry, At(remote, j), j, key, rules);
            c.remote[static_cast<size_t>(j)].icon = v.icon;
        }
        if (j >= 0)
            c.remote[static_cast<size_t>(j)].partner = i;
    }

    RemoteVerdicts(remote, blocked, c);
    return c;
}

void TSyncCore::CompareSides() {
    const TOperationScope operation(*this, TOperation::Compare);
    if (!operation)
        return;
    AnalyseLists();
    HideProgress();
}

void TSyncCore::AnalyseLists() {
    SetHourglassCursor(true);
    const int localCount = localList.Count();
    const int remoteCount = remoteList.Count();
    ShowStatus("Comparing: " + std::to_string(localCount) + " Local and " +
               std::to_string(remoteCount) + " Remote Files");
    Enable(TSyncAction::Stop, true);
    ShowProgress();
    userStop = false;
    // The verdicts of an earlier compare go: the disk may have been read again since, and
    // a server entry that had no partner then may have one now, or lose it.
    for (auto [list, tree] :
         {std::pair{&localList, &localTree}, std::pair{&remoteList, &remoteTree}})
        for (int i = 0; i < list->Count(); ++i) {
            auto& entry = *static_cast<TDetail*>(list->Objects(i));
            if (entry.action == actionNone && entry.matched == 0)
                continue;
            entry.action = actionNone;
            entry.matched = 0;
            tree->SetStateIndex(i, entry.kind == kindDirectory ? imageDirectory : imageFile);
        }

    TCompareRules rules;
    rules.caseFolding = caseFolding;
    rules.remoteUnlisted = remoteUnlisted;
    rules.remoteKeepsOurTimes = options.remoteKeepsOurTimes;
    rules.journal = JournalRows();
    rules.listingZone = options.listingZone;
    rules.nowUtc = static_cast<int64_t>(std::time(nullptr));
    rules.localExcluded = localExcluded;
    rules.remoteExcluded = remoteExcluded;
    const TComparison comparison = CompareLists(localList, remoteList, rules);
    conflicts = comparison.conflicts;

    // The verdicts are applied entry by entry, so that Stop leaves the rest unmarked and
    // nothing marked for deletion.
    for (int i = 0; i < localCount && !userStop; ++i) {
        SetProgress(ProgressOf(i, localCount));
        const TVerdict& v = comparison.local[static_cast<size_t>(i)];
        auto& entry = *static_cast<TDetail*>(localList.Objects(i));
        entry.action = v.action;
        if (v.icon)
            localTree.SetStateIndex(i, *v.icon);
        if (v.partner >= 0) {
            static_cast<TDetail*>(remoteList.Objects(v.partner))->matched = 1;
            if (const auto& icon = comparison.remote[static_cast<size_t>(v.partner)].icon)
                remoteTree.SetStateIndex(v.partner, *icon);
        }
        ProcessMessages();
    }

    if (!userStop) {
        for (int j = 0; j < remoteCount; ++j) {
            const TVerdict& v = comparison.remote[static_cast<size_t>(j)];
            if (v.partner >= 0 || v.action == actionNone)
                continue;
            static_cast<TDetail*>(remoteList.Objects(j))->action = v.action;
            // With deleting off the update leaves it there: shown as kept, not as deleted.
            remoteTree.SetStateIndex(j, options.mayDelete ? *v.icon : imageKept);
        }
        SetProgress(100);
        ShowStatus("Files Compared. Ready for Transfer");
        Enable(TSyncAction::Update, true);
    } else {
        SetProgress(0);
        ShowStatus("Compare stopped");
        Enable(TSyncAction::Update, false);
    }
    Enable(TSyncAction::Stop, false);
    SetHourglassCursor(false);
}

} // namespace pelmora
