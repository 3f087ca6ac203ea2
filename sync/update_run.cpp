#include "sync/plan.h"
#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <algorithm>
#include <unordered_set>

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
    const TSyncOptions options = Options();
    const std::string& typed = options.remoteRoot;
    const bool relative = !typed.starts_with('/');
    const std::string path = RelativePath(entry.dir, entry.name);
    if (!relative)
        return typed + path;
    if (remoteRootAbsolute_)
        return *remoteRootAbsolute_ + path;
    // The root's absolute name is unknown (a PWD reply we could not read): the session
    // stands in the root, so paths go relative to it.
    return path.substr(1);
}

bool TSyncCore::RemoteRootKnown() const {
    const TSyncOptions options = Options();
    const std::string& typed = options.remoteRoot;
    return typed.starts_with('/') || remoteRootAbsolute_ || remoteAtRoot_;
}

std::string TSyncCore::LocalPath(const TDetail& entry) const {
    return Options().localRoot + RelativePath(entry.dir, entry.name);
}

std::vector<std::string> TSyncCore::Problems() const {
    if (!updateFailures.empty())
        return updateFailures;
    std::vector<std::string> problems = localProblems;
    problems.insert(problems.end(), remoteProblems.begin(), remoteProblems.end());
    for (const std::string& conflict : conflicts)
        problems.push_back("Conflict: " + conflict);
    return problems;
}

bool TSyncCore::DeletionAllowed(std::string* why) const {
    auto refuse = [why](const char* reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (!Options().mayDelete)
        return refuse("");
    // An unreadable or unmounted disk looks like a site whose files were all deleted.
    if (!localLoadComplete)
        return refuse("Nothing deleted on the server: the local directory was not read whole");
    if (localList.Count() == 0 && remoteList.Count() > 0)
        return refuse("Nothing deleted on the server: the local directory is empty");
    return true;
}

namespace {

// True when `key` lies below a directory in `dirs`.
bool BelowAny(std::string key, const std::unordered_set<std::string>& dirs) {
    for (RemoveLastComponent(key); !key.empty(); RemoveLastComponent(key))
        if (dirs.count(key) != 0)
            return true;
    return false;
}

} // namespace

TDeleteGuard::TRules TSyncCore::DeleteRules() const {
    return {caseFolding, localKept, localNotWalked, remoteUnlisted};
}

TPlan TSyncCore::MakeUpdatePlan() const {
    return MakePlan(localList, remoteList, DeletionAllowed(), DeleteRules());
}

std::vector<std::string> TSyncCore::UpdatePlan() const {
    return PlanLines(MakeUpdatePlan());
}

void TSyncCore::updateBtnClick() {
    RunUpdate(MakeUpdatePlan());
}

void TSyncCore::RunUpdate(const TPlan& plan) {
    const TOperationScope operation(*this, TOperation::Update);
    if (!operation)
        return;
    updateFailed = false;
    updateFailures.clear();
    userStop = false;
    ftpAbort = false;
    bool lost = false;
    auto fail = [this](const std::string& text) {
        updateFailed = true;
        updateFailures.push_back(text);
        ShowStatus(text);
    };
    // One operation's outcome: a refusal fails that item only; the run ends when the
    // session is lost or Stop is pressed.
    auto finished = [&](const bool& flag, const std::string& what) {
        switch (AwaitOperation(flag)) {
        case TOutcome::Done:
            return true;
        case TOutcome::Failed:
            fail(what + " (" + FailureReason() + ")");
            return false;
        case TOutcome::Lost:
            lost = true;
            fail(what + " (" + FailureReason() + ")");
            return false;
        case TOutcome::Stopped:
            break;
        }
        return false;
    };
    const auto goOn = [&] { return !lost && !userStop; };

    // What the loads and the compare could not settle: there the server may differ from
    // the disk, whatever follows.
    for (const auto* problems : {&localProblems, &remoteProblems})
        for (const std::string& problem : *problems)
            fail(problem);
    for (const std::string& conflict : conflicts)
        fail("Conflict: " + conflict);

    if (!RemoteRootKnown()) {
        fail("The remote directory's place on the server is not known: load it again");
        return;
    }

    ShowProgress();
    ShowStatus("Deleting Files and Directories");
    std::string refusal;
    const bool mayDelete = DeletionAllowed(&refusal);
    // Checked, but the local tree cannot vouch for the deletions: they stay marked.
    if (!mayDelete && !refusal.empty())
        fail(refusal);
    if (!Options().mayDelete)
        for (int n = 0; n < remoteList.Count(); ++n)
            if (const uint8_t a = EntryOf(remoteList, n).action;
                a == actionDelete || a == actionRemove)
                remoteTree.SetStateIndex(n, imageNone);
    for (const std::string& kept : plan.kept)
        fail(kept);
    const auto phase = [&](std::initializer_list<TStepKind> kinds) {
        std::vector<const TPlanStep*> steps;
        for (const TPlanStep& step : plan.steps)
            if (std::find(kinds.begin(), kinds.end(), step.kind) != kinds.end())
                steps.push_back(&step);
        return steps;
    };

    // The guard is asked again for every delete: an entry that failed keeps the
    // directories above it.
    TDeleteGuard guard(localList, DeleteRules());
    const auto deletes = phase({TStepKind::Delete, TStepKind::Remove});
    for (size_t k = 0; k < deletes.size() && goOn(); ++k) {
        const TPlanStep& step = *deletes[k];
        SetProgress(ProgressOf(static_cast<int>(k), static_cast<int>(deletes.size())));
        const std::string& key = remoteList.Strings(step.index);
        if (const std::string why = guard.Why(key); !why.empty()) {
            guard.Keep(key);
            fail("Not deleted: " + step.path + " (" + why + ")");
            continue;
        }
        deleteDone = false;
        const TDetail& entry = EntryOf(remoteList, step.index);
        if (step.kind == TStepKind::Delete)
            Ftp1.DeleteFile(RemotePath(entry));
        else
            Ftp1.RemoveDir(RemotePath(entry));
        if (finished(deleteDone, "Could not delete: " + step.path))
            remoteTree.SetStateIndex(step.index, imageNone);
        else
            guard.Keep(key);
    }

    SetProgress(100);
    ShowStatus("Creating New Directories");
    std::unordered_set<std::string> notCreated;
    const auto creates = phase({TStepKind::Create});
    for (size_t k = 0; k < creates.size() && goOn(); ++k) {
        const TPlanStep& step = *creates[k];
        SetProgress(ProgressOf(static_cast<int>(k), static_cast<int>(creates.size())));
        const TDetail& entry = EntryOf(localList, step.index);
        const std::string& key = localList.Strings(step.index);
        if (!Sendable(entry) || BelowAny(key, notCreated)) {
            notCreated.insert(key);
            fail("Could not create: " + step.path);
            continue;
        }
        localTree.MakeVisible(step.index);
        dirCreated = false;
        Ftp1.MakeDir(RemotePath(entry));
        if (finished(dirCreated, "Could not create: " + step.path))
            localTree.SetStateIndex(step.index, imageDirectory);
        else
            notCreated.insert(key);
    }

    SetProgress(100);
    ShowOverallProgress();
    ShowStatus("Uploading files - 0% complete");
    for (TLabel* l : {&Label9, &Label13, &Label15, &Label37})
        l->SetCaption("");
    for (TLabel* l : {&Label27, &Label35, &Label36})
        l->SetVisible(true);
    stopLoadBtn.SetEnabled(true);
    // Entries that stay as they are lose the compare's marks now.
    for (int j = 0; j < localList.Count(); ++j)
        if (const TDetail& e = EntryOf(localList, j);
            e.action != actionUpload && e.action != actionUpdate)
            localTree.SetStateIndex(j, e.kind == kindDirectory ? imageDirectory : imageFile);
    uploading = true;
    const auto uploads = phase({TStepKind::Upload, TStepKind::Refresh});
    for (size_t k = 0; k < uploads.size() && goOn(); ++k) {
        const TPlanStep& step = *uploads[k];
        const int p = ProgressOf(static_cast<int>(k), static_cast<int>(uploads.size()));
        SetOverallProgress(p);
        ShowStatus("Uploading files - " + std::to_string(p) + "% complete");
        const TDetail& entry = EntryOf(localList, step.index);
        if (!Sendable(entry) || BelowAny(localList.Strings(step.index), notCreated)) {
            fail("Could not upload: " + step.path);
            continue;
        }
        localTree.MakeVisible(step.index);
        DebugLog("File: " + step.path);
        ftpReady = false;
        Label37.SetCaption(entry.name);
        Ftp1.LocalFile = LocalPath(entry);
        Ftp1.RemoteFile = RemotePath(entry);
        Ftp1.TransferMode = BinaryTransfer;
        uploading = true;
        Ftp1.PutFile();
        const bool sent = finished(ftpReady, "Could not upload: " + step.path);
        localTree.SetStateIndex(step.index, imageFile);
        if (sent && !userStop && !Ftp1.Success())
            fail("Could not upload: " + step.path + " (" + FailureReason() + ")");
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

    if (!userStop && !lost) {
        changeRemoteBtnClick();
        if (!remoteLoadComplete && updateFailures.empty())
            fail("The server's tree could not be read again after the update");
        if (!updateFailed)
            ShowStatus("Remote Site Update Complete");
        else
            ShowStatus("Remote Site Update Incomplete: " + updateFailures.front());
    }
    HideProgress();
    HideOverallProgress();
    if (lost && !userStop) {
        updateFailed = true;
        ClearConnection();
        ShowStatus("Pelmora has been disconnected from the server");
    }
}

} // namespace pelmora
