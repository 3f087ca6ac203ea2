#include "sync/remote_entries.h"
#include "sync/sync_core.h"
#include "sync/temporary_names.h"
#include "toolkit/messages.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <algorithm>
#include <ctime>

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
    if (!ChangeRemoteDir(root)) {
        if (!userStop)
            ShowStatus("Could not enter the remote directory " + typed + ": " +
                       session.FailureReason());
        return false;
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
    caseFolding = CaseBlindSystem(Ftp1.SystemType());
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

bool TSyncCore::ChangeRemoteDir(const std::string& path) {
    remoteAtLogin_ = false;
    const TOutcome outcome = session.ChangeDir(path);
    if (outcome == TOutcome::Lost)
        session.Stop();
    return outcome == TOutcome::Done;
}

bool TSyncCore::ListRemoteLevel(std::vector<TListedEntry>& entries, std::string& here) {
    const bool top = recurseLevel == 1;
    const std::string shown = recurseDir.empty() ? "/" : recurseDir;
    const TOutcome outcome = session.List(entries, here);
    bool listed = outcome == TOutcome::Done;
    std::string why = session.FailureReason();
    if (listed) {
        for (const std::string& line : session.NotEntries())
            view_.Trace("Not an entry: " + line);
        if (top && !here.empty() && here.front() == '/')
            remoteRootAbsolute_ = here == "/" ? std::string() : here;
        if (CaseBlindListing(entries))
            caseFolding = true;
        if (!NamesEveryEntry(entries)) {
            // What such a listing leaves out cannot be told from what the server lacks.
            listed = false;
            why = "the listing does not name every file";
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
                       (top ? Options().remoteRoot : shown) + ": " + why);
            session.Stop();
        } else {
            MarkUnlisted(recurseDir, "Could not list " + shown + ": " + why);
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
        options.remoteRoot.starts_with('/') ? options.remoteRoot : remoteRootAbsolute_.value_or("");
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
        old[dir].push_back(std::move(entry));
    }
    remoteList.Clear();
    remoteTree.Clear();
    remoteWorkList.Clear();
    // The run names directories as the disk spells them; a server that ignores case
    // may spell them otherwise.
    std::set<std::string> changed;
    for (const std::string& dir : changedDirs)
        changed.insert(caseFolding ? FoldedKey(dir) : dir);
    std::erase_if(remoteExcluded, [&](const std::string& path) {
        std::string dir = path;
        RemoveLastComponent(dir);
        return changed.count(caseFolding ? FoldedKey(dir) : dir) != 0;
    });
    remoteLoadComplete = true;
    remoteAtRoot_ = false;
    remoteLoading = true;
    ReloadRemoteLevel("", TTreeModel::NoNode, old, changed);
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

void TSyncCore::ReloadRemoteLevel(const std::string& dir, int parentNode, TRemoteLevels& old,
                                  const std::set<std::string>& changedDirs) {
    std::vector<std::unique_ptr<TDetail>> entries;
    if (changedDirs.count(caseFolding ? FoldedKey(dir) : dir) != 0) {
        entries = RelistRemoteDirectory(dir);
    } else if (const auto it = old.find(dir); it != old.end()) {
        entries = std::move(it->second);
        old.erase(it);
    }
    for (std::unique_ptr<TDetail>& entry : entries) {
        if (session.Stopped())
            return;
        const bool directory = entry->kind == kindDirectory;
        const std::string path = RelativePath(dir, entry->name);
        const int node = AddEntry(remoteList, remoteTree, entry.release(), parentNode);
        remoteTree.MakeVisible(node);
        if (directory)
            ReloadRemoteLevel(path, node, old, changedDirs);
    }
}

std::vector<std::unique_ptr<TDetail>> TSyncCore::RelistRemoteDirectory(const std::string& dir) {
    std::vector<std::unique_ptr<TDetail>> details;
    const std::string shown = dir.empty() ? "/" : dir;
    if (!ChangeRemoteDir(RemoteDirectoryPath(dir))) {
        if (session.Stopped() || dir.empty()) {
            // Without the root nothing at all is known, as on a full load.
            if (!userStop)
                ShowStatus("Could not enter " + shown + ": " + session.FailureReason());
            session.Stop();
            return details;
        }
        MarkUnlisted(dir, "Could not enter " + dir + ": " + session.FailureReason());
        return details;
    }
    recurseDir = dir;
    recurseLevel = dir.empty() ? 1 : 2;
    std::vector<TListedEntry> entries;
    std::string here;
    if (!ListRemoteLevel(entries, here))
        return details;
    for (const TListedEntry& listedEntry : entries) {
        if (remoteList.Count() + static_cast<int>(details.size()) >= MaxRemoteEntries) {
            ShowStatus("The server lists more than " + std::to_string(MaxRemoteEntries) +
                       " entries; the load was given up");
            session.Stop();
            break;
        }
        const std::string path = RelativePath(dir, listedEntry.name);
        if (LeftOut(listedEntry, path))
            continue;
        if (listedEntry.kind == TListedKind::Link)
            view_.Trace("Link, left alone: " + path + " -> " + listedEntry.linkTarget);
        auto detail = std::make_unique<TDetail>();
        FillRemoteDetail(*detail, listedEntry, dir, listingClock);
        details.push_back(std::move(detail));
    }
    return details;
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
        remoteExcluded.push_back(path);
        return true;
    }
    return false;
}

} // namespace pelmora
