#include "sync/sync_core.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

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
    const std::string& typed = Edit4.Text();
    const bool relative = typed.empty() || typed.front() != '/';
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
    const std::string& typed = Edit4.Text();
    return (!typed.empty() && typed.front() == '/') || remoteRootAbsolute_ || remoteAtRoot_;
}

std::string TSyncCore::LocalPath(const TDetail& entry) const {
    return Label5.Caption() + RelativePath(entry.dir, entry.name);
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
    if (!CheckBox5.Checked())
        return refuse("");
    // An unreadable or unmounted disk looks like a site whose files were all deleted.
    if (!localLoadComplete)
        return refuse("Nothing deleted on the server: the local directory was not read whole");
    if (localList.Count() == 0 && remoteList.Count() > 0)
        return refuse("Nothing deleted on the server: the local directory is empty");
    return true;
}

namespace {

// The one rule before every delete, whatever the compare decided: a remote entry is
// never deleted while the disk holds an entry of the same name, nor inside a directory
// whose listing was not read whole, nor (for a directory) while something inside it was
// kept.
class TDeleteGuard {
public:
    TDeleteGuard(const TStringList& localList, const std::vector<std::string>& localKept,
                 const std::vector<std::string>& localNotWalked,
                 const std::vector<std::string>& remoteUnlisted, bool caseFolding)
        : notWalked_(localNotWalked), unlisted_(remoteUnlisted), caseFolding_(caseFolding) {
        for (int i = 0; i < localList.Count(); ++i)
            Add(localList.Strings(i));
        for (const std::string& key : localKept)
            Add(key);
    }

    // Why the entry under `key` must stay; empty when it may go.
    std::string Why(const std::string& key) const {
        if (onDisk_.count(key) != 0 || (caseFolding_ && onDisk_.count(FoldedKey(key)) != 0))
            return "the disk still has it";
        for (const std::string& dir : unlisted_)
            if (PathInside(key, dir))
                return dir + " could not be read on the server";
        for (const std::string& dir : notWalked_)
            if (PathInside(key, dir) && key != dir)
                return "the disk's " + dir + " was not walked";
        if (keptInside_.count(key) != 0)
            return "something inside it stays";
        return {};
    }

    // The entry stays, and so does every directory above it.
    void Keep(std::string key) {
        for (RemoveLastComponent(key); !key.empty(); RemoveLastComponent(key))
            keptInside_.insert(key);
    }

private:
    void Add(const std::string& key) {
        onDisk_.insert(key);
        if (caseFolding_)
            onDisk_.insert(FoldedKey(key));
    }

    std::unordered_set<std::string> onDisk_;
    std::unordered_set<std::string> keptInside_;
    const std::vector<std::string>& notWalked_;
    const std::vector<std::string>& unlisted_;
    bool caseFolding_;
};

// True when `key` lies below a directory in `dirs`.
bool BelowAny(std::string key, const std::unordered_set<std::string>& dirs) {
    for (RemoveLastComponent(key); !key.empty(); RemoveLastComponent(key))
        if (dirs.count(key) != 0)
            return true;
    return false;
}

} // namespace

std::vector<std::string> TSyncCore::UpdatePlan() const {
    std::vector<std::string> plan;
    if (DeletionAllowed()) {
        TDeleteGuard guard(localList, localKept, localNotWalked, remoteUnlisted, caseFolding);
        for (int n = remoteList.Count() - 1; n >= 0; --n) {
            const TDetail& e = EntryOf(remoteList, n);
            if (e.action != actionDelete && e.action != actionRemove)
                continue;
            if (!guard.Why(remoteList.Strings(n)).empty()) {
                guard.Keep(remoteList.Strings(n));
                continue;
            }
            plan.push_back(std::string(ActionWord(e.action)) + " " + RelativePath(e.dir, e.name));
        }
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
    if (!mayDelete && !refusal.empty()) {
        // Checked, but the local tree cannot vouch for the deletions: keep them marked.
        fail(refusal);
    } else {
        TDeleteGuard guard(localList, localKept, localNotWalked, remoteUnlisted, caseFolding);
        const int count = remoteList.Count();
        for (int n = count - 1; n >= 0 && goOn(); --n) {
            SetProgress(100 - ProgressOf(n, count));
            const TDetail& entry = EntryOf(remoteList, n);
            if (entry.action != actionDelete && entry.action != actionRemove)
                continue;
            if (!mayDelete) {
                remoteTree.SetStateIndex(n, imageNone);
                continue;
            }
            const std::string& key = remoteList.Strings(n);
            const std::string path = RelativePath(entry.dir, entry.name);
            if (const std::string why = guard.Why(key); !why.empty()) {
                guard.Keep(key);
                fail("Not deleted: " + path + " (" + why + ")");
                continue;
            }
            deleteDone = false;
            if (entry.action == actionDelete)
                Ftp1.DeleteFile(RemotePath(entry));
            else
                Ftp1.RemoveDir(RemotePath(entry));
            if (finished(deleteDone, "Could not delete: " + path))
                remoteTree.SetStateIndex(n, imageNone);
            else
                guard.Keep(key);
        }
    }

    SetProgress(100);
    ShowStatus("Creating New Directories");
    const int localCount = localList.Count();
    std::unordered_set<std::string> notCreated;
    for (int i = 0; i < localCount && goOn(); ++i) {
        SetProgress(ProgressOf(i, localCount));
        const TDetail& entry = EntryOf(localList, i);
        if (entry.action != actionCreate)
            continue;
        const std::string path = RelativePath(entry.dir, entry.name);
        if (!Sendable(entry) || BelowAny(localList.Strings(i), notCreated)) {
            notCreated.insert(localList.Strings(i));
            fail("Could not create: " + path);
            continue;
        }
        localTree.MakeVisible(i);
        dirCreated = false;
        Ftp1.MakeDir(RemotePath(entry));
        if (finished(dirCreated, "Could not create: " + path))
            localTree.SetStateIndex(i, imageDirectory);
        else
            notCreated.insert(localList.Strings(i));
    }

    SetProgress(100);
    ShowOverallProgress();
    ShowStatus("Uploading files - 0% complete");
    for (TLabel* l : {&Label9, &Label13, &Label15, &Label37})
        l->SetCaption("");
    for (TLabel* l : {&Label27, &Label35, &Label36})
        l->SetVisible(true);
    stopLoadBtn.SetEnabled(true);
    uploading = true;
    for (int j = 0; j < localCount && goOn(); ++j) {
        const int p = ProgressOf(j, localCount);
        SetOverallProgress(p);
        ShowStatus("Uploading files - " + std::to_string(p) + "% complete");
        const TDetail& entry = EntryOf(localList, j);
        if (entry.action != actionUpload && entry.action != actionUpdate) {
            localTree.SetStateIndex(j, entry.kind == kindDirectory ? imageDirectory : imageFile);
            continue;
        }
        const std::string path = RelativePath(entry.dir, entry.name);
        if (!Sendable(entry) || BelowAny(localList.Strings(j), notCreated)) {
            fail("Could not upload: " + path);
            continue;
        }
        localTree.MakeVisible(j);
        DebugLog("File: " + path);
        DebugLog("");
        ftpReady = false;
        Label37.SetCaption(entry.name);
        Ftp1.LocalFile = LocalPath(entry);
        Ftp1.RemoteFile = RemotePath(entry);
        Ftp1.TransferMode = BinaryTransfer;
        uploading = true;
        Ftp1.PutFile();
        const bool sent = finished(ftpReady, "Could not upload: " + path);
        localTree.SetStateIndex(j, imageFile);
        if (sent && !userStop && !Ftp1.Success())
            fail("Could not upload: " + path + " (" + FailureReason() + ")");
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
