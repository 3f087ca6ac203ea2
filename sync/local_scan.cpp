#include "sync/sync_core.h"
#include "sync/temporary_names.h"

#include "toolkit/messages.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace pelmora {

namespace {

// Entries of a level that the walk never reached (it was stopped) are not in the
// master list, so they are released here.
void ReleaseUnreached(TStringList& workList, int from) {
    for (int i = from; i < workList.Count(); ++i)
        delete workList.Extract(i);
}

// The rules come with the site: a .pelmoraignore in its root, then what the run adds. A
// file that is there but cannot be read leaves the disk's word incomplete, since what it
// would have kept from deletion is unknown.
bool ReadIgnoreRules(const std::string& root, const std::vector<std::string>& excludes,
                     TIgnoreRules& rules, std::string& problem) {
    rules = {};
    rules.AddDefaults();
    const std::filesystem::path file = std::filesystem::path(root) / ".pelmoraignore";
    std::error_code ec;
    bool read = true;
    if (std::filesystem::exists(file, ec)) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream text;
        if (in && (text << in.rdbuf())) {
            rules.AddLines(text.str());
        } else if (std::filesystem::file_size(file, ec) != 0 || ec) {
            problem = "Could not read " + file.string();
            read = false;
        }
    }
    for (const std::string& pattern : excludes)
        rules.Add(pattern);
    return read;
}

// An entry read from the disk as the master list keeps it.
std::unique_ptr<TDetail> LocalDetailOf(const TLocalDir::TEntry& e) {
    auto detail = std::make_unique<TDetail>();
    detail->kind = e.isDirectory() ? kindDirectory : kindFile;
    detail->name = e.name;
    detail->date = LocalDateTimeOf(e.mtime);
    detail->time = {static_cast<int64_t>(e.mtime), TTimePrecision::Second};
    detail->mtimeNs = static_cast<int64_t>(e.mtime) * 1000000000 + e.mtimeNsec;
    if (!e.isDirectory())
        detail->size = e.size;
    return detail;
}

} // namespace

void TSyncCore::ChangeLocal() {
    const TOperationScope operation(*this, TOperation::LocalLoad);
    if (!operation)
        return;
    if (localLoading || remoteLoading)
        return;
    std::string chosen;
    if (!view_.ChooseLocalDirectory(chosen))
        return;
    Enable(TSyncAction::Connect, false);
    Enable(TSyncAction::LocalChange, false);
    options.localRoot = chosen;
    view_.ShowLocalRoot(chosen);
    ClearStatus();
    ShowStatus("Loading Local Directory");
    ProcessMessages();
    if (LoadLocalDirectory()) {
        ShowStatus("Local Directory Loaded: " + std::to_string(localList.Count()));
        if (remoteTree.Count() >= 1)
            Enable(TSyncAction::Compare, true);
    }
    Enable(TSyncAction::LocalChange, true);
    Enable(TSyncAction::Connect, true);
}

bool TSyncCore::LoadLocalDirectory() {
    if (localLoading || remoteLoading)
        return false;
    // Later paths (uploads) are built from the root, so a relative root is made absolute
    // once, whatever the process's directory is then.
    std::string root = Options().localRoot;
    if (!root.empty() && root.front() != '/') {
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(root, ec);
        if (!ec)
            root = absolute.lexically_normal().string();
        if (root.size() > 1 && root.back() == '/')
            root.pop_back();
    }
    if (!ChangeLocalDir(root)) {
        ShowStatus("Could not change to local directory: " + Options().localRoot);
        return false;
    }
    options.localRoot = root;
    view_.ShowLocalRoot(root);
    userStop = false;
    FreeEntries(localList);
    localTree.Clear();
    localWorkList.Clear();
    recurseLevel = 0;
    recurseDir.clear();
    localLoading = true;
    localScan.complete = true;
    localScan.kept.clear();
    localScan.notWalked.clear();
    localScan.excluded.clear();
    localScan.problems.clear();
    localScan.rootReadable = true;
    if (std::string problem; !ReadIgnoreRules(root, options.excludes, ignoreRules, problem)) {
        localScan.complete = false;
        localScan.problems.push_back(problem);
    }
    BuildLocalLevel(localWorkList, TTreeModel::NoNode);
    localLoading = false;
    if (userStop)
        localScan.complete = false;
    TPhase loaded =
        Counted(TPhase::TKind::LocalLoaded, "Local Directory Loaded - Press Connect", localList);
    ++loaded.directories; // the root, which holds the rest
    loaded.place = root;
    ShowPhase(loaded);
    return true;
}

bool TSyncCore::ChangeLocalDir(const std::string& path) {
    return localDir_.Change(path);
}

void TSyncCore::ScanLocalDir(TStringList& workList, const std::string& path) {
    ReleaseUnreached(workList, 0);
    workList.Clear();
    if (!path.empty() && !ChangeLocalDir(path)) {
        ShowStatus("Could not change to local directory");
        return;
    }
    std::vector<TLocalDir::TEntry> entries;
    if (!localDir_.Read(entries)) {
        localScan.complete = false;
        if (recurseDir.empty())
            localScan.rootReadable = false;
        localScan.problems.push_back("Could not read the local directory " +
                                     (recurseDir.empty() ? std::string("/") : recurseDir));
    }
    // One sort at the end gives a sorted list the order that inserting line by line
    // would, without moving the lines once per entry.
    const bool sorted = workList.Sorted();
    workList.SetSorted(false);
    workList.Reserve(entries.size());
    for (const TLocalDir::TEntry& e : entries)
        if (const std::string key = EntryKey(recurseDir, e.name); !LocalLeftOut(e, key))
            workList.Add((e.isDirectory() ? "D-" : "F-") + e.name, LocalDetailOf(e).release());
    workList.SetSorted(sorted);
}

bool TSyncCore::LocalLeftOut(const TLocalDir::TEntry& e, const std::string& key) {
    // Left alone on both sides; an excluded directory is not walked at all.
    if (!ignoreRules.Empty() &&
        ignoreRules.ExcludedItself(RelativePath(recurseDir, e.name), e.isDirectory())) {
        localScan.excluded.push_back({key, e.isDirectory()});
        return true;
    }
    if (e.type == TLocalDir::Broken) {
        // What it led to may be on a disk that is not there now: its server copy, and
        // everything else, must not be taken for deleted.
        localScan.kept.push_back(key);
        localScan.complete = false;
        localScan.problems.push_back("Local link could not be followed: " + key);
        return true;
    }
    if (e.type == TLocalDir::Special) {
        localScan.kept.push_back(key);
        ShowStatus("Passed over (not a regular file): " + key);
        return true;
    }
    if (!e.isDirectory() && IsTemporaryName(e.name)) {
        // The shape our uploads take for a moment: sent, the next run would take it for a
        // leftover of ours and remove it. It stays on the disk and on the server.
        localScan.kept.push_back(key);
        ShowStatus("Passed over (the name of a Pelmora temporary file): " + key);
        return true;
    }
    if (key.size() > MaxPathLength) {
        localScan.kept.push_back(key);
        localScan.problems.push_back("Local path too long, not sent: " + key.substr(0, 200) +
                                     "...");
        return true;
    }
    return false;
}

void TSyncCore::BuildLocalLevel(TStringList& workList, int parentNode) {
    ++recurseLevel;
    if (workList.Count() == 0)
        ScanLocalDir(workList, "");
    int i = 0;
    for (; i < workList.Count() && !userStop; ++i) {
        ShowStatus("Loading Local Directory: " + std::to_string(localList.Count()),
                   TLineKind::PerEntry);
        auto* detail = static_cast<TDetail*>(workList.Extract(i));
        detail->dir = recurseDir;
        const int node = AddEntry(localList, localTree, detail, parentNode);
        if (detail->kind != kindDirectory)
            continue;
        if (!ChangeLocalDir(detail->name)) {
            // The entry stays, empty, and the level goes on with its next entry: leaving
            // out the rest of the level would make their server copies look deleted.
            ShowStatus("Could not change to local directory: " + detail->name);
            localScan.problems.push_back("Could not enter the local directory " +
                                         RelativePath(recurseDir, detail->name));
            localScan.complete = false;
            continue;
        }
        // A directory that a link leads back into from below is recorded without content;
        // what the server has inside it is not to be taken for deleted.
        if (localDir_.CurrentRepeats()) {
            ChangeLocalDir("..");
            localScan.notWalked.push_back(RelativePath(recurseDir, detail->name));
            continue;
        }
        recurseDir += "/" + detail->name;
        {
            TStringList level;
            BuildLocalLevel(level, node);
        }
        RemoveLastComponent(recurseDir);
        ProcessMessages();
    }
    ReleaseUnreached(workList, i);
    ProcessMessages();
    if (recurseLevel > 1)
        ChangeLocalDir("..");
    --recurseLevel;
}

} // namespace pelmora
