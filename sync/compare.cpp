#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/services.h"
#include "toolkit/text.h"

#include <unordered_map>

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

    // The partner of a local entry is the first remote line with the same key, letter
    // case aside; one index built per pass finds it without scanning the list each time.
    std::unordered_map<std::string, int> firstRemote;
    firstRemote.reserve(static_cast<size_t>(remoteCount));
    for (int j = 0; j < remoteCount; ++j)
        firstRemote.emplace(FoldCase(remoteList.Strings(j)), j);

    for (int i = 0; i < localCount && !userStop; ++i) {
        SetProgress(ProgressOf(i, localCount));
        auto& local = *static_cast<TDetail*>(localList.Objects(i));
        DebugLog("");
        DebugLog("Looking for match string: " + localList.Strings(i));
        const auto found = firstRemote.find(FoldCase(localList.Strings(i)));
        const bool isDir = local.kind == kindDirectory;
        if (found != firstRemote.end()) {
            const int j = found->second;
            auto& remote = *static_cast<TDetail*>(remoteList.Objects(j));
            DebugLog("match found: index=" + std::to_string(j));
            // A file whose listed size differs from the local one did not arrive whole
            // (an upload cut off leaves a shorter, newer copy): it is sent again,
            // whatever the dates say.
            const bool sizeDiffers = !isDir && remote.kind != kindDirectory && remote.size >= 0 &&
                                     local.size >= 0 && remote.size != local.size;
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
            remote.matched = 1;
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
            if (remote.matched)
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
