#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

namespace pelmora {

namespace {

TDetail& EntryOf(const TStringList& list, int i) {
    return *static_cast<TDetail*>(list.Objects(i));
}

// A local name that holds a line break cannot go into a command; such entries are
// reported and passed over, so the rest of the run goes on.
bool Sendable(const TDetail& entry) {
    return entry.name.find_first_of("\r\n") == std::string::npos &&
           entry.dir.find_first_of("\r\n") == std::string::npos;
}

} // namespace

std::string TSyncCore::RemotePath(const TDetail& entry) const {
    const std::string& typed = Edit4.Text();
    const bool relative = typed.empty() || typed.front() != '/';
    return (relative && remoteRootAbsolute_ ? *remoteRootAbsolute_ : typed) +
           RelativePath(entry.dir, entry.name);
}

std::string TSyncCore::LocalPath(const TDetail& entry) const {
    return Label5.Caption() + RelativePath(entry.dir, entry.name);
}

bool TSyncCore::DeletionAllowed(std::string* why) const {
    auto refuse = [why](const char* reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (!CheckBox5.Checked())
        return refuse("");
    // An unreadable or unmounted disk looks like a site whose files were all deleted.
    if (!localLoadComplete)
        return refuse("Nothing deleted on the server: the local directory was not read whole");
    if (localList.Count() == 0 && remoteList.Count() > 0)
        return refuse("Nothing deleted on the server: the local directory is empty");
    return true;
}

std::vector<std::string> TSyncCore::UpdatePlan() const {
    std::vector<std::string> plan;
    if (DeletionAllowed())
        for (int n = remoteList.Count() - 1; n >= 0; --n) {
            const TDetail& e = EntryOf(remoteList, n);
            if (e.action == actionDelete || e.action == actionRemove)
                plan.push_back(std::string(ActionWord(e.action)) + " " +
                               RelativePath(e.dir, e.name));
        }
    for (uint8_t phase : {actionCreate, actionUpload})
        for (int i = 0; i < localList.Count(); ++i) {
            const TDetail& e = EntryOf(localList, i);
            const bool inPhase = phase == actionCreate
                                     ? e.action == actionCreate
                                     : (e.action == actionUpload || e.action == actionUpdate);
            if (inPhase)
                plan.push_back(std::string(ActionWord(e.action)) + " " +
                               RelativePath(e.dir, e.name));
        }
    return plan;
}

void TSyncCore::updateBtnClick() {
    const TOperationScope operation(*this, TOperation::Update);
    if (!operation)
        return;
    updateFailed = false;
    updateFailures.clear();
    auto fail = [this](const std::string& text) {
        updateFailed = true;
        updateFailures.push_back(text);
        ShowStatus(text);
    };
    const uint32_t timeout = TimeoutMs();

    ShowProgress();
    ShowStatus("Deleting Files and Directories");
    std::string refusal;
    const bool mayDelete = DeletionAllowed(&refusal);
    if (!mayDelete && !refusal.empty()) {
        // Checked, but the local tree cannot vouch for the deletions: keep them marked.
        fail(refusal);
    } else {
        const int count = remoteList.Count();
        for (int n = count - 1; n >= 0 && !ftpError; --n) {
            SetProgress(100 - ProgressOf(n, count));
            const TDetail& entry = EntryOf(remoteList, n);
            if (entry.action != actionDelete && entry.action != actionRemove)
                continue;
            if (mayDelete) {
                deleteDone = false;
                if (entry.action == actionDelete)
                    Ftp1.DeleteFile(RemotePath(entry));
                else
                    Ftp1.RemoveDir(RemotePath(entry));
                if (WaitForFlag(deleteDone, timeout))
                    remoteTree.SetStateIndex(n, imageNone);
                else
                    fail("Could not delete: " + RelativePath(entry.dir, entry.name));
            } else {
                remoteTree.SetStateIndex(n, imageNone);
            }
        }
    }

    SetProgress(100);
    ShowStatus("Creating New Directories");
    const int localCount = localList.Count();
    for (int i = 0; i < localCount && !ftpError; ++i) {
        SetProgress(ProgressOf(i, localCount));
        const TDetail& entry = EntryOf(localList, i);
        if (entry.action != actionCreate)
            continue;
        if (!Sendable(entry)) {
            fail("Could not create: " + RelativePath(entry.dir, entry.name));
            continue;
        }
        localTree.MakeVisible(i);
        dirCreated = false;
        Ftp1.MakeDir(RemotePath(entry));
        if (WaitForFlag(dirCreated, timeout))
            localTree.SetStateIndex(i, imageDirectory);
        else
            fail("Could not create: " + RelativePath(entry.dir, entry.name));
    }

    SetProgress(100);
    ShowOverallProgress();
    ShowStatus("Uploading files - 0% complete");
    for (TLabel* l : {&Label9, &Label13, &Label15, &Label37})
        l->SetCaption("");
    for (TLabel* l : {&Label27, &Label35, &Label36})
        l->SetVisible(true);
    stopLoadBtn.SetEnabled(true);
    userStop = false;
    uploading = true;
    for (int j = 0; j < localCount && !userStop && !ftpError; ++j) {
        const int p = ProgressOf(j, localCount);
        SetOverallProgress(p);
        ShowStatus("Uploading files - " + std::to_string(p) + "% complete");
        const TDetail& entry = EntryOf(localList, j);
        if (entry.action != actionUpload && entry.action != actionUpdate) {
            localTree.SetStateIndex(j, entry.kind == kindDirectory ? imageDirectory : imageFile);
            continue;
        }
        if (!Sendable(entry)) {
            fail("Could not upload: " + RelativePath(entry.dir, entry.name));
            continue;
        }
        localTree.MakeVisible(j);
        DebugLog("File: " + RelativePath(entry.dir, entry.name));
        DebugLog("");
        ftpReady = false;
        Label37.SetCaption(entry.name);
        Ftp1.LocalFile = LocalPath(entry);
        Ftp1.RemoteFile = RemotePath(entry);
        Ftp1.TransferMode = BinaryTransfer;
        uploading = true;
        Ftp1.PutFile();
        // No reply and no progress for the whole command time-out means the transfer
        // is stuck: give it up rather than wait for ever.
        lastActivity_ = GetTickCount();
        while (!ftpReady && !userStop) {
            if (!WaitUntil([this] { return ftpReady || userStop; }, lastActivity_ + timeout) &&
                TickReached(GetTickCount(), lastActivity_ + timeout)) {
                Ftp1.Abort();
                ftpError = true;
                lastErrorCode = ftpDisconnected;
                lastErrorText = ErrorText(ftpDisconnected);
                break;
            }
        }
        localTree.SetStateIndex(j, imageFile);
        if (ftpError || !Ftp1.Success())
            fail("Could not upload: " + RelativePath(entry.dir, entry.name));
    }
    uploading = false;
    if (userStop) {
        SetOverallProgress(0);
        ShowStatus("Transfer canceled. You MAY have to reconnect.");
        updateFailed = true;
    } else {
        SetOverallProgress(100);
    }
    for (TLabel* l : {&Label9, &Label13, &Label15, &Label37})
        l->SetCaption("");
    for (TLabel* l : {&Label27, &Label35, &Label36})
        l->SetVisible(false);
    stopLoadBtn.SetEnabled(false);
    updateBtn.SetEnabled(false);
    compareBtn.SetEnabled(false);

    const bool lostConnection = ftpError && lastErrorCode == ftpDisconnected;
    if (!userStop) {
        changeRemoteBtnClick();
        if (!updateFailed)
            ShowStatus("Remote Site Update Complete");
        else
            ShowStatus("Remote Site Update Incomplete: " + updateFailures.front());
    }
    HideProgress();
    HideOverallProgress();
    if (lostConnection || (ftpError && lastErrorCode == ftpDisconnected)) {
        updateFailed = true;
        ClearConnection();
        ShowStatus("Pelmora has been disconnected from the server");
    }
}

} // namespace pelmora
