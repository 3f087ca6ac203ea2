#include "sync/compare.h"
#include "sync/sync_core.h"
#include "sync/sync_run.h"

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
            v.mark = markSame;
            return v;
        case TJournalVerdict::Changed:
            v.action = actionUpdate;
            v.mark = markRefresh;
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
        v.mark = isDir ? markDirectory : markSame;
    } else if (isDir) {
        v.action = actionRemain;
        v.mark = markDirectory;
    } else {
        v.action = actionUpdate;
        v.mark = markRefresh;
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
        v.mark = markDelete;
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

// The verdict for local entry `i`, whose first remote entry of the same key is `j` (-1:
// none).
void JudgeLocal(const TStringList& local, int i, const TStringList& remote, int j,
                const TCompareRules& rules, TBlocked& blocked, TComparison& c) {
    const std::string& key = local.Strings(i);
    const TDetail& entry = At(local, i);
    const bool isDir = entry.kind == kindDirectory;
    TVerdict& v = c.local[static_cast<size_t>(i)];
    if (blocked.Is(key) || blocked.Inside(key)) {
        // A conflict of its own, or inside a directory that cannot be judged: its server
        // copy is left alone too.
        v.partner = j;
    } else if (j < 0) {
        v.action = isDir ? actionCreate : actionUpload;
        v.mark = isDir ? markCreate : markUpload;
    } else if (At(remote, j).kind == kindLink) {
        // Nothing is written through a server link. A file is left as it is; a
        // directory's content cannot be compared.
        v.partner = j;
        if (isDir)
            Conflict(c, blocked, key, "a directory here, a link on the server");
        else
            v.action = actionRemain;
    } else if (isDir != (At(remote, j).kind == kindDirectory)) {
        v.partner = j;
        Conflict(c, blocked, key,
                 isDir ? "a directory here, a file on the server"
                       : "a file here, a directory on the server");
    } else {
        v = Matched(entry, At(remote, j), j, key, rules);
        c.remote[static_cast<size_t>(j)].mark = v.mark;
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
        const auto found = firstRemote.find(blocked.Key(local.Strings(i)));
        const int j = found == firstRemote.end() ? -1 : found->second;
        JudgeLocal(local, i, remote, j, rules, blocked, c);
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

namespace {

// The verdicts of an earlier compare go: the disk may have been read again since, and a
// server entry that had no partner then may have one now, or lose it.
void ClearVerdicts(TStringList& list, TTreeModel& tree) {
    for (int i = 0; i < list.Count(); ++i) {
        auto& entry = *static_cast<TDetail*>(list.Objects(i));
        if (entry.action == actionNone && entry.matched == 0)
            continue;
        entry.action = actionNone;
        entry.matched = 0;
        tree.SetStateIndex(i, entry.kind == kindDirectory ? markDirectory : markFile);
    }
}

TCompareRules RulesOf(TSyncCore& core) {
    TCompareRules rules;
    rules.caseFolding = core.caseFolding;
    rules.remoteUnlisted = core.remoteLoad.unlisted;
    rules.remoteKeepsOurTimes = core.options.remoteKeepsOurTimes;
    rules.journal = core.JournalRows();
    rules.listingZone = core.options.listingZone;
    rules.nowUtc = static_cast<int64_t>(std::time(nullptr));
    rules.localExcluded = core.localScan.excluded;
    rules.remoteExcluded = core.remoteLoad.excluded;
    return rules;
}

// The verdicts are applied entry by entry, so that Stop leaves the rest unmarked and
// nothing marked for deletion: the local entries with their partners first, then, unless
// stopped, the server entries no local one matched.
void ApplyLocalVerdicts(TSyncCore& core, const TComparison& comparison) {
    const int localCount = core.localList.Count();
    for (int i = 0; i < localCount && !core.userStop; ++i) {
        core.SetProgress(TSyncCore::ProgressOf(i, localCount));
        const TVerdict& v = comparison.local[static_cast<size_t>(i)];
        static_cast<TDetail*>(core.localList.Objects(i))->action = v.action;
        if (v.mark)
            core.localTree.SetStateIndex(i, *v.mark);
        if (v.partner >= 0) {
            static_cast<TDetail*>(core.remoteList.Objects(v.partner))->matched = 1;
            if (const auto& mark = comparison.remote[static_cast<size_t>(v.partner)].mark)
                core.remoteTree.SetStateIndex(v.partner, *mark);
        }
        ProcessMessages();
    }
}

void ApplyRemoteVerdicts(TSyncCore& core, const TComparison& comparison) {
    for (int j = 0; j < core.remoteList.Count(); ++j) {
        const TVerdict& v = comparison.remote[static_cast<size_t>(j)];
        if (v.partner >= 0 || v.action == actionNone)
            continue;
        static_cast<TDetail*>(core.remoteList.Objects(j))->action = v.action;
        // With deleting off the update leaves it there: shown as kept, not as deleted.
        core.remoteTree.SetStateIndex(j, core.options.mayDelete ? *v.mark : markKept);
    }
}

} // namespace

void TSyncCore::AnalyseLists() {
    view_.ShowBusy(true);
    ShowPhase({TPhase::TKind::Comparing, "Comparing: " + std::to_string(localList.Count()) +
                                             " Local and " + std::to_string(remoteList.Count()) +
                                             " Remote Files"});
    Enable(TSyncAction::Stop, true);
    ShowProgress();
    userStop = false;
    ClearVerdicts(localList, localTree);
    ClearVerdicts(remoteList, remoteTree);
    const TComparison comparison = CompareLists(localList, remoteList, RulesOf(*this));
    conflicts = comparison.conflicts;
    ApplyLocalVerdicts(*this, comparison);
    if (!userStop) {
        ApplyRemoteVerdicts(*this, comparison);
        SetProgress(100);
        TPhase compared{TPhase::TKind::Compared, "Files Compared. Ready for Transfer"};
        compared.conflicts = static_cast<std::int64_t>(conflicts.size());
        compared.kept = KeptOnServer(*this);
        ShowPhase(compared);
        Enable(TSyncAction::Update, true);
    } else {
        SetProgress(0);
        ShowStatus("Compare stopped");
        Enable(TSyncAction::Update, false);
    }
    Enable(TSyncAction::Stop, false);
    view_.ShowBusy(false);
}

} // namespace pelmora
