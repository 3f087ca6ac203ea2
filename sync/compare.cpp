#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/services.h"
#include "toolkit/text.h"

#include <unordered_map>
#include <unordered_set>

namespace pelmora {

void TSyncCore::analyseButtonClick() {
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
    stopLoadBtn.SetEnabled(true);
    ShowProgress();
    DebugLog("ANALYSE LISTS");
    DebugLog("-------------");
    userStop = false;

    conflicts.clear();
    const auto matchKey = [this](const std::string& key) {
        return caseFolding ? FoldedKey(key) : key;
    };
    // The partner of a local entry is the first remote entry with the same key (letter
    // case aside on servers that ignore it); one index built per pass finds it without
    // scanning the list each time.
    std::unordered_map<std::string, int> firstRemote;
    firstRemote.reserve(static_cast<size_t>(remoteCount));
    for (int j = 0; j < remoteCount; ++j)
        firstRemote.emplace(matchKey(remoteList.Strings(j)), j);
    // Directories whose content cannot be judged: not listed on the server, or standing
    // against something of another kind. Nothing inside them is written or deleted.
    std::unordered_set<std::string> blocked;
    for (const std::string& dir : remoteUnlisted)
        blocked.insert(matchKey(dir));
    const auto insideBlocked = [&](std::string key) {
        while (!key.empty()) {
            RemoveLastComponent(key);
            if (!key.empty() && blocked.count(matchKey(key)) != 0)
                return true;
        }
        return false;
    };
    const auto conflict = [&](int i, const std::string& key, const std::string& why) {
        conflicts.push_back(key + ": " + why);
        blocked.insert(matchKey(key));
        static_cast<TDetail*>(localList.Objects(i))->action = actionNone;
    };
    // On a server that ignores case, two local names that differ only in case would
    // land on one remote file: neither is sent, and neither counts as deleted.
    if (caseFolding) {
        std::unordered_map<std::string, int> firstLocal;
        for (int i = 0; i < localCount; ++i)
            firstLocal.emplace(matchKey(localList.Strings(i)), i);
        for (int i = 0; i < localCount; ++i) {
            const int first = firstLocal.at(matchKey(localList.Strings(i)));
            if (first != i)
                conflict(i, localList.Strings(i),
                         "differs from " + localList.Strings(first) +
                             " only in letter case, which the server does not tell apart");
        }
    }

    for (int i = 0; i < localCount && !userStop; ++i) {
        SetProgress(ProgressOf(i, localCount));
        auto& local = *static_cast<TDetail*>(localList.Objects(i));
        const std::string& key = localList.Strings(i);
        DebugLog("");
        DebugLog("Looking for match string: " + key);
        const auto found = firstRemote.find(matchKey(key));
        const bool isDir = local.kind == kindDirectory;
        if (blocked.count(matchKey(key)) != 0 || insideBlocked(key)) {
            // A conflict of its own, or inside a directory that cannot be judged.
            local.action = actionNone;
            if (found != firstRemote.end())
                static_cast<TDetail*>(remoteList.Objects(found->second))->matched = 1;
            ProcessMessages();
            continue;
        }
        if (found != firstRemote.end()) {
            const int j = found->second;
            auto& remote = *static_cast<TDetail*>(remoteList.Objects(j));
            remote.matched = 1;
            DebugLog("match found: index=" + std::to_string(j));
            if (remote.kind == kindLink) {
                // The server has a link where the disk has this entry: nothing is written
                // through it. A file is left as it is; a directory's content cannot be
                // compared.
                if (isDir)
                    conflict(i, key, "a directory here, a link on the server");
                else
                    local.action = actionRemain;
                ProcessMessages();
                continue;
            }
            if (isDir != (remote.kind == kindDirectory)) {
                conflict(i, key,
                         isDir ? "a directory here, a file on the server"
                               : "a file here, a directory on the server");
                ProcessMessages();
                continue;
            }
            // A file whose listed size differs from the local one did not arrive whole
            // (an upload cut off leaves a shorter, newer copy): it is sent again,
            // whatever the dates say.
            const bool sizeDiffers =
                !isDir && remote.size >= 0 && local.size >= 0 && remote.size != local.size;
            if (!sizeDiffers && remote.date >= local.date) {
                DebugLog((isDir ? "remain (dir) flag set: " : "remain (file) flag set: ") +
                         local.name);
                local.action = actionRemain;
                localTree.SetStateIndex(i, isDir ? imageDirectory : imageRemoteNewer);
                remoteTree.SetStateIndex(j, isDir ? imageDirectory : imageRemoteNewer);
            } else if (isDir) {
                DebugLog("remain flag set: " + local.name);
                local.action = actionRemain;
                localTree.SetStateIndex(i, imageDirectory);
                remoteTree.SetStateIndex(j, imageDirectory);
            } else {
                DebugLog("update flag set: " + local.name);
                local.action = actionUpdate;
                localTree.SetStateIndex(i, imageRefresh);
                remoteTree.SetStateIndex(j, imageRefresh);
            }
        } else if (isDir) {
            DebugLog("create (dir) flag set: " + local.name);
            local.action = actionCreate;
            localTree.SetStateIndex(i, imageCreateDir);
        } else {
            DebugLog("upload (file) flag set: " + local.name);
            local.action = actionUpload;
            localTree.SetStateIndex(i, imageUpload);
        }
        ProcessMessages();
    }

    if (!userStop) {
        for (int j = 0; j < remoteCount; ++j) {
            auto& remote = *static_cast<TDetail*>(remoteList.Objects(j));
            // Links are never deleted; nor is anything inside a directory that cannot
            // be judged.
            if (remote.matched || remote.kind == kindLink || insideBlocked(remoteList.Strings(j)))
                continue;
            const bool isDir = remote.kind == kindDirectory;
            DebugLog((isDir ? "remove flag set: " : "delete flag set: ") + remote.name);
            remote.action = isDir ? actionRemove : actionDelete;
            remoteTree.SetStateIndex(j, imageDelete);
        }
        SetProgress(100);
        ShowStatus("Files Compared. Ready for Transfer");
        updateBtn.SetEnabled(true);
    } else {
        SetProgress(0);
        ShowStatus("Compare stopped");
        updateBtn.SetEnabled(false);
    }
    stopLoadBtn.SetEnabled(false);
    SetHourglassCursor(false);
    DebugLog("ANALYSE LISTS - COMPLETE");
    DebugLog("------------------------");
}

} // namespace pelmora
