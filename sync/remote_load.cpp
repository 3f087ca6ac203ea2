#include "sync/remote_entries.h"
#include "sync/sync_core.h"
#include "sync/temporary_names.h"
#include "toolkit/messages.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <utility>

namespace pelmora {

namespace {

// Past this many entries a load is given up: a server that lists without end must not
// take all the memory there is.
constexpr int MaxRemoteEntries = 2'000'000;

// DOS/Windows-style servers name a file the same whatever the case of its letters.
bool CaseBlindSystem(const std::string& systemType) {
    const std::string upper = UpperAscii(systemType);
    return upper.find("WINDOWS") != std::string::npos || upper.find("MSDOS") != std::string::npos ||
           upper.rfind("DOS", 0) == 0;
}

} // namespace

void TSyncCore::RefreshRemote() {
    RunRemoteLoad(nullptr);
}

void TSyncCore::RefreshRemoteDirectories(const std::set<std::string>& changedDirs) {
    RunRemoteLoad(&changedDirs);
}

void TSyncCore::RunRemoteLoad(const std::set<std::string>* changedDirs) {
    const TOperationScope operation(*this, TOperation::RemoteLoad);
    if (!operation)
        return;
    if (!connected) {
        ShowStatus("Not Connected to Remote Site");
        return;
    }
    if (localLoading || remoteLoading)
        return;
    ClearStatus();
    ShowStatus("Loading Remote Directory");
    const bool loaded = changedDirs != nullptr && PartialReloadPossible()
                            ? ReloadRemoteDirectories(*changedDirs)
                            : LoadRemoteDirectory();
    if (!loaded) {
        // A failure has said what failed, with the path and the server's reply.
        if (userStop)
            ShowStatus("Directory Load Stopped");
    } else if (remoteLoadComplete) {
        ShowStatus("Remote Directory Loaded: " + std::to_string(remoteList.Count()));
    } else {
        ShowStatus("Remote Directory Loaded: " + std::to_string(remoteList.Count()) + ", " +
                   std::to_string(remoteUnlisted.size()) + " directories could not be read");
    }
}

void TSyncCore::MarkUnlisted(const std::string& path, const std::string& why) {
    remoteLoadComplete = false;
    remoteUnlisted.push_back(path);
    remoteProblems.push_back(why);
    ShowStatus(why);
}

bool TSyncCore::LoadRemoteDirectory() {
    session.Resume();
    session.timeoutMs = TimeoutMs();
    // A root typed without a leading "/" is taken from where the login put us; once known
    // as the server names it, later loads of the session go there directly. While it is
    // not known, only a session that a load left standing in the root may go on there.
    // The root is taken as it was when the load began, whatever is typed meanwhile.
    const std::string typed = options.remoteRoot;
    const bool relative = !typed.starts_with('/');
    if (!relative || typed != remoteRootTyped_)
        remoteRootAbsolute_.reset();
    std::string root = typed;
    if (relative && remoteRootAbsolute_) {
        root = remoteRootAbsolute_->empty() ? "/" : *remoteRootAbsolute_;
    } else if (relative && !remoteAtLogin_) {
        if (!remoteAtRoot_ || typed != remoteRootTyped_) {
            ShowStatus("The remote directory " + typed +
                       " is relative to where the login started, and the server no longer "
                       "stands there: connect again");
            return false;
        }
        root = ".";
    } else if (typed.empty()) {
        root = ".";
    }
    remoteAtRoot_ = false;
    remoteRootMade_.clear();
    remoteRootOnlyPlanned_ = false;
    const bool fromLogin = remoteAtLogin_;
    if (!ChangeRemoteDir(root)) {
        // The refusal's words are what is said when the root cannot be made either: a
        // root that is there but may not be entered is not taken for a missing one.
        const std::string why = session.FailureReason();
        const bool missingAllowed = options.missingRoot != TSyncOptions::TMissingRoot::Refuse &&
                                    !userStop && !session.Stopped() && (!relative || fromLogin) &&
                                    root == typed;
        if (!missingAllowed ||
            !MakeRemoteRoot(root, options.missingRoot == TSyncOptions::TMissingRoot::Make)) {
            if (!userStop && !session.Stopped())
                ShowStatus("Could not enter the remote directory " + typed + ": " + why);
            else if (!userStop)
                ShowStatus("Could not enter the remote directory " + typed + ": " +
                           session.FailureReason());
            return false;
        }
        remoteRootMade_ = typed;
        if (remoteRootOnlyPlanned_)
            ShowStatus("The remote directory " + typed + " could not be entered (" + why +
                       "): the update would make it");
    }
    remoteRootTyped_ = typed;
    Enable(TSyncAction::Stop, true);
    recurseLevel = 0;
    recurseDir.clear();
    listingClock = {options.listingZone, static_cast<int64_t>(std::time(nullptr))};
    FreeEntries(remoteList);
    remoteTree.Clear();
    remoteWorkList.Clear();
    remoteUnlisted.clear();
    remoteProblems.clear();
    remoteExcluded.clear();
    remoteLeftovers.clear();
    remoteLoadComplete = true;
    caseFolding = CaseBlindSystem(Ftp1.Traits().systemType);
    if (remoteRootOnlyPlanned_) {
        // Nothing is there to list: the server holds none of the site. The session does
        // not stand in the root, and no update may start from this load.
        remoteAtRoot_ = false;
        remoteRootTyped_.clear();
        Enable(TSyncAction::Compare, true);
        Enable(TSyncAction::Stop, false);
        return true;
    }
    remoteLoading = true;
    const bool back = BuildRemoteLevel(TTreeModel::NoNode);
    const bool result = !session.Stopped();
    remoteAtRoot_ = result && back;
    if (result) {
        ProbeListingZone();
        Enable(TSyncAction::Compare, true);
    } else {
        remoteLoadComplete = false;
    }
    Enable(TSyncAction::Stop, false);
    remoteLoading = false;
    return result;
}

bool TSyncCore::MakeRemoteRoot(const std::string& root, bool make) {
    // Only a refusal for good (5xx) may mean "not there"; "not now" is no answer.
    if (!session.LastReplyText().starts_with('5'))
        return false;
    std::vector<std::string> levels;
    for (size_t at = 0; at < root.size();) {
        size_t end = root.find('/', at);
        if (end == std::string::npos)
            end = root.size();
        const std::string level = root.substr(at, end - at);
        if (level == "..")
            return false;
        if (!level.empty() && level != ".")
            levels.push_back(level);
        at = end + 1;
    }
    if (levels.empty())
        return false;
    std::string path = root.starts_with('/') ? "/" : "";
    if (!path.empty() && !ChangeRemoteDir("/"))
        return false;
    bool madeAny = false;
    for (const std::string& level : levels) {
        path += (path.empty() || path == "/" ? "" : "/") + level;
        if (ChangeRemoteDir(level))
            continue;
        if (userStop || session.Stopped())
            return false;
        if (!make) {
            // From here down nothing can be known without making it: the plan says so.
            remoteRootOnlyPlanned_ = true;
            return true;
        }
        const TOutcome made = session.MakeDir(level);
        if (made == TOutcome::Lost)
            session.Stop();
        if (made != TOutcome::Done || !ChangeRemoteDir(level))
            return false;
        madeAny = true;
        ShowStatus("Made the remote directory " + path);
    }
    // Every level could be entered one by one, yet not the whole path: not a missing root.
    return madeAny;
}

bool TSyncCore::ChangeRemoteDir(const std::string& path) {
    remoteAtLogin_ = false;
    const TOutcome outcome = session.ChangeDir(path);
    if (outcome == TOutcome::Lost)
        session.Stop();
    return outcome == TOutcome::Done;
}

bool TSyncCore::ListRemoteLevel(std::vector<TListedEntry>& entries, std::string& here) {
    const TOutcome outcome = session.List(entries, here);
    return TakeRemoteListing(outcome, entries, here, session.NotEntries(), session.FailureReason());
}

bool TSyncCore::TakeRemoteListing(TOutcome outcome, std::vector<TListedEntry>& entries,
                                  const std::string& here,
                                  const std::vector<std::string>& notEntries,
                                  const std::string& why) {
    const bool top = recurseLevel == 1;
    const std::string shown = recurseDir.empty() ? "/" : recurseDir;
    bool listed = outcome == TOutcome::Done;
    std::string reason = why;
    if (listed) {
        for (const std::string& line : notEntries)
            view_.Trace("Not an entry: " + line);
        if (top && !here.empty() && here.front() == '/')
            remoteRootAbsolute_ = here == "/" ? std::string() : here;
        if (CaseBlindListing(entries))
            caseFolding = true;
        if (!NamesEveryEntry(entries)) {
            // What such a listing leaves out cannot be told from what the server lacks.
            listed = false;
            reason = "the listing does not name every file";
            entries.clear();
        }
    } else if (outcome == TOutcome::Lost || outcome == TOutcome::Stopped) {
        session.Stop();
    }
    if (!listed && !userStop) {
        if (top || session.Stopped()) {
            // Without the root's listing nothing at all is known; a lost session ends
            // the load wherever it is.
            ShowStatus("Could not list the remote directory " +
                       (top ? Options().remoteRoot : shown) + ": " + reason);
            session.Stop();
        } else {
            MarkUnlisted(recurseDir, "Could not list " + shown + ": " + reason);
        }
    }
    return listed;
}

// False when the entry ends the level: the load was given up or the session is gone.
bool TSyncCore::AddRemoteEntry(const TListedEntry& listedEntry, int parentNode,
                               const std::string& here) {
    if (remoteList.Count() >= MaxRemoteEntries) {
        ShowStatus("The server lists more than " + std::to_string(MaxRemoteEntries) +
                   " entries; the load was given up");
        session.Stop();
        return false;
    }
    const std::string path = RelativePath(recurseDir, listedEntry.name);
    if (LeftOut(listedEntry, path))
        return true;
    if (listedEntry.kind == TListedKind::Link)
        view_.Trace("Link, left alone: " + path + " -> " + listedEntry.linkTarget);
    auto* detail = new TDetail;
    FillRemoteDetail(*detail, listedEntry, recurseDir, listingClock);
    const int node = AddEntry(remoteList, remoteTree, detail, parentNode);
    remoteTree.MakeVisible(node);
    if (detail->kind != kindDirectory)
        return true;
    if (!ChangeRemoteDir(listedEntry.name)) {
        if (session.Stopped()) {
            if (!userStop)
                ShowStatus("Could not enter " + path + ": " + session.FailureReason());
            return false;
        }
        // The entry stays with its content unknown, and the walk goes on with its
        // siblings: nothing inside it will be deleted or written.
        MarkUnlisted(path, "Could not enter " + path + ": " + session.FailureReason());
        return true;
    }
    recurseDir = path;
    const bool back = BuildRemoteLevel(node);
    RemoveLastComponent(recurseDir);
    // The level below could not climb back with "..": go straight home, or give up
    // the load rather than walk on in the wrong directory.
    if (!back && !session.Stopped() && (here.empty() || !ChangeRemoteDir(here)))
        session.Stop();
    return true;
}

bool TSyncCore::BuildRemoteLevel(int parentNode) {
    ++recurseLevel;
    std::string here; // this directory's absolute path, as the server names it
    std::vector<TListedEntry> entries;
    ListRemoteLevel(entries, here);
    if (bool back = true;
        recurseLevel == 1 && !session.Stopped() && WalkRemoteInParallel(entries, back)) {
        --recurseLevel;
        return back;
    }
    for (const TListedEntry& listedEntry : entries)
        if (session.Stopped() || !AddRemoteEntry(listedEntry, parentNode, here))
            break;
    bool back = true;
    if (recurseLevel != 1)
        back = ChangeRemoteDir("..");
    --recurseLevel;
    return back;
}

// ---------------------------------------------------------------------------------
// The walk over several sessions at once

// The levels below the root, read breadth first by whichever session is free; the master
// list and the tree are then put together from them in the order the walk on one session
// gives, with what it says on the way said at the same places.
struct TSyncCore::TParallelWalk {
    std::deque<std::string> pending;
    // Directories the main session reads again as the walk on it alone would: one another
    // session could not list for a passing trouble (a 4xx reply), and one that could not
    // be entered, entered again by its name from its parent, so that the server's refusal
    // names it in the same words.
    struct TRetry {
        std::string dir;
        bool byName;
    };
    std::deque<TRetry> forMain;
    TRemoteLevels levels;
    size_t entries = 0;
};

bool TSyncCore::WalkedInto(const TListedEntry& listedEntry, const std::string& path) const {
    return listedEntry.kind == TListedKind::Directory && path.size() <= MaxPathLength &&
           (ignoreRules.Empty() || !ignoreRules.ExcludedItself(path, true));
}

bool TSyncCore::WalkRemoteInParallel(const std::vector<TListedEntry>& rootEntries, bool& back) {
    // Every session enters each directory by its absolute path; in active mode one
    // session works alone (see TSessionPool::Open).
    if (options.connections < 2 || !RemotePathsAbsolute() || !pool_.ExtrasAllowed())
        return false;
    TParallelWalk walk;
    for (const TListedEntry& listedEntry : rootEntries)
        if (const std::string path = RelativePath("", listedEntry.name);
            WalkedInto(listedEntry, path))
            walk.pending.push_back(path);
    if (walk.pending.empty())
        return false;
    // In the trace only: the status line says what the load found, as with one session.
    auto said = std::exchange(pool_.OnSay, [this](const std::string& text) { view_.Trace(text); });
    pool_.Open(options.connections);
    pool_.Run([&](TRemoteSession& on) -> TSessionTask {
        if (session.Stopped())
            return {};
        if (&on == &session && !walk.forMain.empty()) {
            TParallelWalk::TRetry retry = std::move(walk.forMain.front());
            walk.forMain.pop_front();
            return FetchRemoteLevel(on, std::move(retry.dir), walk, retry.byName);
        }
        if (walk.pending.empty())
            return {};
        std::string dir = std::move(walk.pending.front());
        walk.pending.pop_front();
        return FetchRemoteLevel(on, std::move(dir), walk, false);
    });
    // The sessions opened for the walk go with it: an update that follows may come much
    // later, and would find them closed by the server.
    pool_.Close();
    pool_.OnSay = std::move(said);
    back = false;
    if (session.Stopped())
        return true;
    AddListedEntries("", TTreeModel::NoNode, rootEntries, walk.levels, {}, true);
    recurseLevel = 1;
    recurseDir.clear();
    // Where a walk on one session ends.
    back = !session.Stopped() && ChangeRemoteDir(RemoteDirectoryPath(""));
    return true;
}

TSessionTask TSyncCore::FetchRemoteLevel(TRemoteSession& on, std::string dir, TParallelWalk& walk,
                                         bool byName) {
    const bool main = &on == &session;
    const std::string shown = dir.empty() ? "/" : dir;
    TFetchedLevel level;
    if (byName) {
        std::string parent = dir;
        RemoveLastComponent(parent);
        on.BeginChangeDir(RemoteDirectoryPath(parent));
        level.entered = co_await Ended{on};
        if (level.entered == TOutcome::Done) {
            on.BeginChangeDir(dir.substr(parent.size() + 1));
            level.entered = co_await Ended{on};
        }
    } else {
        on.BeginChangeDir(RemoteDirectoryPath(dir));
        level.entered = co_await Ended{on};
    }
    TOutcome outcome = level.entered;
    if (outcome == TOutcome::Done) {
        on.BeginList();
        level.listed = co_await Ended{on};
        if (level.listed == TOutcome::Failed && on.ListingRefused()) {
            // As TRemoteSession::List does on one session.
            on.BeginNameListing();
            const TOutcome names = co_await Ended{on};
            level.listed = on.TakeNameListing(names, level.entries, level.here);
        } else if (level.listed == TOutcome::Done) {
            on.TakeListing(level.entries, level.here);
            if (on.ListingEndedMidLine()) {
                // Perhaps cut short on the way: read once more (see TakeSecondListing).
                const std::vector<TListedEntry> first = std::move(level.entries);
                const std::vector<std::string> firstNotEntries = on.NotEntries();
                on.BeginList();
                const TOutcome second = co_await Ended{on};
                level.listed =
                    on.TakeSecondListing(second, first, firstNotEntries, level.entries, level.here);
            }
        }
        outcome = level.listed;
        level.notEntries = on.NotEntries();
    }
    level.why = on.FailureReason();
    if (session.Stopped())
        co_return;
    if (outcome == TOutcome::Lost || outcome == TOutcome::Stopped) {
        if (main) {
            // A lost session ends the load, as on a walk on it alone.
            EndLoad((level.entered == TOutcome::Done ? "Could not list the remote directory "
                                                     : "Could not enter ") +
                    shown + ": " + level.why);
            co_return;
        }
        // What a lost session did not read is read on another: never taken for empty.
        view_.Trace("A session was lost reading " + shown + " (" + level.why +
                    "); it is read on another");
        walk.pending.push_front(std::move(dir));
        co_return;
    }
    if (level.entered == TOutcome::Failed && !byName) {
        walk.forMain.push_back({std::move(dir), true});
        co_return;
    }
    if (outcome == TOutcome::Failed && !main && on.LastReplyText().starts_with('4')) {
        walk.forMain.push_back({std::move(dir), false});
        co_return;
    }
    if (outcome == TOutcome::Done && NamesEveryEntry(level.entries)) {
        walk.entries += level.entries.size();
        if (walk.entries > static_cast<size_t>(MaxRemoteEntries)) {
            EndLoad("The server lists more than " + std::to_string(MaxRemoteEntries) +
                    " entries; the load was given up");
            co_return;
        }
        for (const TListedEntry& listedEntry : level.entries)
            if (const std::string path = RelativePath(dir, listedEntry.name);
                WalkedInto(listedEntry, path))
                walk.pending.push_back(path);
    }
    walk.levels[dir].fetched = std::move(level);
}

// ---------------------------------------------------------------------------------
// The reload after an update

bool TSyncCore::PartialReloadPossible() const {
    // What the last load could not read or had to leave out would need saying again:
    // only a full load says it the same way.
    if (!remoteLoadComplete || !remoteUnlisted.empty() || !remoteProblems.empty())
        return false;
    if (remoteList.Count() != remoteTree.Count() || options.remoteRoot != remoteRootTyped_)
        return false;
    // Each changed directory is entered by its absolute path.
    return options.remoteRoot.starts_with('/') || remoteRootAbsolute_.has_value();
}

std::string TSyncCore::RemoteDirectoryPath(const std::string& dir) const {
    std::string root =
        remoteRootTyped_.starts_with('/') ? remoteRootTyped_ : remoteRootAbsolute_.value_or("");
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    const std::string path = root + dir;
    return path.empty() ? "/" : path;
}

bool TSyncCore::ReloadRemoteDirectories(const std::set<std::string>& changedDirs) {
    session.Resume();
    session.timeoutMs = TimeoutMs();
    Enable(TSyncAction::Stop, true);
    listingClock = {options.listingZone, static_cast<int64_t>(std::time(nullptr))};
    // The last load's entries by directory, in their listed order; what the compare
    // marked on them does not outlive it, as on a fresh load.
    TRemoteLevels old;
    for (int i = 0; i < remoteList.Count(); ++i) {
        std::unique_ptr<TDetail> entry(static_cast<TDetail*>(remoteList.Extract(i)));
        if (!entry)
            continue;
        entry->action = actionNone;
        entry->matched = 0;
        std::string dir = entry->dir;
        old[dir].kept.push_back(std::move(entry));
    }
    remoteList.Clear();
    remoteTree.Clear();
    remoteWorkList.Clear();
    // The run names directories as the disk spells them; a server that ignores case
    // may spell them otherwise.
    std::set<std::string> changed;
    for (const std::string& dir : changedDirs)
        changed.insert(caseFolding ? FoldedKey(dir) : dir);
    // What the directories read again hold is found again there.
    const auto inChanged = [&](std::string dir) {
        RemoveLastComponent(dir);
        return changed.count(caseFolding ? FoldedKey(dir) : dir) != 0;
    };
    std::erase_if(remoteExcluded,
                  [&](const TExcludedEntry& excluded) { return inChanged(excluded.key); });
    std::erase_if(remoteLeftovers, [&](const std::string& path) { return inChanged(path); });
    remoteLoadComplete = true;
    remoteAtRoot_ = false;
    remoteLoading = true;
    ReloadRemoteLevel("", TTreeModel::NoNode, old, changed, false);
    recurseLevel = 0;
    recurseDir.clear();
    const bool result = !session.Stopped();
    if (result) {
        ProbeListingZone();
        Enable(TSyncAction::Compare, true);
    } else {
        remoteLoadComplete = false;
    }
    Enable(TSyncAction::Stop, false);
    remoteLoading = false;
    return result;
}

void TSyncCore::ReloadRemoteLevel(const std::string& dir, int parentNode, TRemoteLevels& levels,
                                  const std::set<std::string>& changedDirs, bool listUnknown) {
    TRemoteLevel level;
    if (const auto it = levels.find(dir); it != levels.end()) {
        level = std::move(it->second);
        levels.erase(it);
    }
    if (changedDirs.count(caseFolding ? FoldedKey(dir) : dir) != 0 ||
        (listUnknown && !level.fetched)) {
        level.fetched = ReadRemoteDirectory(dir);
        if (!level.fetched)
            return;
    }
    if (level.fetched) {
        TFetchedLevel& fetched = *level.fetched;
        recurseDir = dir;
        recurseLevel = dir.empty() ? 1 : 2;
        if (fetched.entered != TOutcome::Done) {
            // The entry stays with its content unknown: nothing inside it will be deleted
            // or written.
            MarkUnlisted(dir, "Could not enter " + dir + ": " + fetched.why);
            return;
        }
        if (TakeRemoteListing(fetched.listed, fetched.entries, fetched.here, fetched.notEntries,
                              fetched.why))
            AddListedEntries(dir, parentNode, fetched.entries, levels, changedDirs, listUnknown);
        return;
    }
    for (std::unique_ptr<TDetail>& entry : level.kept) {
        if (session.Stopped())
            return;
        const bool directory = entry->kind == kindDirectory;
        const std::string path = RelativePath(dir, entry->name);
        const int node = AddEntry(remoteList, remoteTree, entry.release(), parentNode);
        remoteTree.MakeVisible(node);
        if (directory)
            ReloadRemoteLevel(path, node, levels, changedDirs, listUnknown);
    }
}

void TSyncCore::AddListedEntries(const std::string& dir, int parentNode,
                                 const std::vector<TListedEntry>& entries, TRemoteLevels& levels,
                                 const std::set<std::string>& changedDirs, bool listUnknown) {
    for (const TListedEntry& listedEntry : entries) {
        if (session.Stopped())
            return;
        if (remoteList.Count() >= MaxRemoteEntries) {
            ShowStatus("The server lists more than " + std::to_string(MaxRemoteEntries) +
                       " entries; the load was given up");
            session.Stop();
            return;
        }
        const std::string path = RelativePath(dir, listedEntry.name);
        if (LeftOut(listedEntry, path))
            continue;
        if (listedEntry.kind == TListedKind::Link)
            view_.Trace("Link, left alone: " + path + " -> " + listedEntry.linkTarget);
        auto* detail = new TDetail;
        FillRemoteDetail(*detail, listedEntry, dir, listingClock);
        const bool directory = detail->kind == kindDirectory;
        const int node = AddEntry(remoteList, remoteTree, detail, parentNode);
        remoteTree.MakeVisible(node);
        if (directory)
            ReloadRemoteLevel(path, node, levels, changedDirs, listUnknown);
    }
}

std::optional<TSyncCore::TFetchedLevel> TSyncCore::ReadRemoteDirectory(const std::string& dir) {
    TFetchedLevel level;
    if (!ChangeRemoteDir(RemoteDirectoryPath(dir))) {
        if (session.Stopped() || dir.empty()) {
            // Without the root nothing at all is known, as on a full load.
            EndLoad("Could not enter " + (dir.empty() ? std::string("/") : dir) + ": " +
                    session.FailureReason());
            return std::nullopt;
        }
        level.entered = TOutcome::Failed;
        level.why = session.FailureReason();
        return level;
    }
    level.listed = session.List(level.entries, level.here);
    level.why = session.FailureReason();
    level.notEntries = session.NotEntries();
    return level;
}

void TSyncCore::EndLoad(const std::string& why) {
    if (!userStop)
        ShowStatus(why);
    session.Stop();
}

bool TSyncCore::LeftOut(const TListedEntry& listedEntry, const std::string& path) {
    if (path.size() > MaxPathLength) {
        remoteProblems.push_back("Left out (path too long): " + path.substr(0, 200) + "...");
        return true;
    }
    // Our own temporary files are never site entries: shown, compared or kept, they would
    // be taken for pages.
    if (listedEntry.kind == TListedKind::File && IsTemporaryName(listedEntry.name)) {
        remoteLeftovers.push_back(path);
        return true;
    }
    // Excluded entries are never loaded, so nothing can delete or replace them.
    if (!ignoreRules.Empty() &&
        ignoreRules.ExcludedItself(path, listedEntry.kind == TListedKind::Directory)) {
        remoteExcluded.push_back({path, listedEntry.kind == TListedKind::Directory});
        return true;
    }
    return false;
}

} // namespace pelmora
