#include "sync/delete_cap.h"
#include "sync/plan.h"
#include "sync/sync_core.h"
#include "sync/temporary_names.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <algorithm>
#include <optional>
#include <set>
#include <unordered_map>
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
    std::vector<std::string> kept = localKept;
    kept.insert(kept.end(), remoteExcluded.begin(), remoteExcluded.end());
    return {caseFolding, std::move(kept), localNotWalked, remoteUnlisted};
}

TPlan TSyncCore::MakeUpdatePlan() const {
    return MakePlan(localList, remoteList, DeletionAllowed(), DeleteRules());
}

std::vector<std::string> TSyncCore::UpdatePlan() const {
    return PlanLines(MakeUpdatePlan());
}

std::string TSyncCore::DeleteCapRefusalFor(const TPlan& plan) const {
    if (!options.enforceDeleteCap)
        return {};
    const auto deletions = std::count_if(plan.steps.begin(), plan.steps.end(), [](const auto& s) {
        return s.kind == TStepKind::Delete || s.kind == TStepKind::Remove;
    });
    if (deletions == 0)
        return {};
    return DeleteCapRefusal(deletions, remoteList.Count(), options.maxDelete);
}

void TSyncCore::UpdateRemote() {
    RunUpdate(MakeUpdatePlan());
}

namespace {

// One run of the update: the plan's deletes, new directories and uploads, in that order.
// A refusal fails its item only; the run ends when the session is lost or Stop is
// pressed. Every failure is recorded with its path and reason.
class TUpdateRun {
public:
    TUpdateRun(TSyncCore& core, const TPlan& plan) : core_(core), plan_(plan) {}

    void Run() {
        ReportUnsettled();
        if (!core_.RemoteRootKnown()) {
            Fail("The remote directory's place on the server is not known: load it again");
            return;
        }
        core_.ShowProgress();
        RemoveLeftovers();
        Deletes();
        Creates();
        Uploads();
        Finish();
    }

private:
    void Fail(const std::string& text) {
        core_.updateFailed = true;
        core_.updateFailures.push_back(text);
        core_.ShowStatus(text);
    }

    bool Finished(TOutcome outcome, const std::string& what) {
        return Finished(outcome, what, core_.session.FailureReason());
    }

    // With the reason the step failed for, when a later operation (a clean-up) has
    // replaced the session's.
    bool Finished(TOutcome outcome, const std::string& what, const std::string& reason) {
        switch (outcome) {
        case TOutcome::Done:
            return true;
        case TOutcome::Lost:
            lost_ = true;
            [[fallthrough]];
        case TOutcome::Failed:
            Fail(what + " (" + reason + ")");
            return false;
        case TOutcome::Stopped:
            break;
        }
        return false;
    }

    // On the status line and in the trace: what the run did beyond its plan.
    void Say(const std::string& text) {
        core_.ShowStatus(text);
        core_.View().Trace(text);
    }

    bool GoOn() const { return !lost_ && !core_.userStop; }

    std::vector<const TPlanStep*> Steps(std::initializer_list<TStepKind> kinds) const {
        std::vector<const TPlanStep*> steps;
        for (const TPlanStep& step : plan_.steps)
            if (std::find(kinds.begin(), kinds.end(), step.kind) != kinds.end())
                steps.push_back(&step);
        return steps;
    }

    // What the loads and the compare could not settle: there the server may differ from
    // the disk, whatever follows.
    void ReportUnsettled() {
        for (const auto* problems : {&core_.localProblems, &core_.remoteProblems})
            for (const std::string& problem : *problems)
                Fail(problem);
        for (const std::string& conflict : core_.conflicts)
            Fail("Conflict: " + conflict);
    }

    // Temporary files a run cut off left behind: they are ours whatever the delete option
    // says, and nothing of the site.
    void RemoveLeftovers() {
        std::vector<std::string> leftovers;
        leftovers.swap(core_.remoteLeftovers);
        // A file of the disk may bear such a name too: then it is the user's, not ours.
        const TDeleteGuard guard(core_.localList, core_.DeleteRules());
        for (const std::string& leftover : leftovers) {
            if (!GoOn())
                break;
            if (const std::string why = guard.Why(leftover); !why.empty()) {
                Say("Kept a file with the name of a Pelmora temporary file: " + leftover + " (" +
                    why + ")");
                continue;
            }
            TDetail entry;
            const size_t slash = leftover.rfind('/');
            entry.dir = leftover.substr(0, slash);
            entry.name = leftover.substr(slash + 1);
            const TOutcome outcome = core_.session.Delete(core_.RemotePath(entry));
            if (outcome == TOutcome::Done)
                Say("Removed a left-over temporary file: " + leftover);
            else if (outcome == TOutcome::Failed)
                Say("Could not remove a left-over temporary file: " + leftover + " (" +
                    core_.session.FailureReason() + ")");
            else
                Finished(outcome, "Could not remove a left-over temporary file: " + leftover);
        }
    }

    void Deletes() {
        core_.ShowStatus("Deleting Files and Directories");
        std::string refusal;
        // Checked, but the local tree cannot vouch for the deletions: they stay marked.
        if (!core_.DeletionAllowed(&refusal) && !refusal.empty()) {
            // An empty local directory beside a full server is a safety refusal, not a
            // failure of the disk.
            if (core_.localLoadComplete && core_.localList.Count() == 0)
                core_.deleteRefusal = refusal;
            Fail(refusal);
        }
        if (!core_.Options().mayDelete)
            for (int n = 0; n < core_.remoteList.Count(); ++n)
                if (const uint8_t a = EntryOf(core_.remoteList, n).action;
                    a == actionDelete || a == actionRemove)
                    core_.remoteTree.SetStateIndex(n, imageNone);
        for (const std::string& kept : plan_.kept)
            Fail(kept);
        // The guard is asked again for every delete: an entry that failed keeps the
        // directories above it.
        TDeleteGuard guard(core_.localList, core_.DeleteRules());
        auto deletes = Steps({TStepKind::Delete, TStepKind::Remove});
        // Too many deletions at once look like a local directory that was emptied or
        // mounted wrong: none of them is made, and the rest of the update goes on.
        if (std::string cap = core_.DeleteCapRefusalFor(plan_); !cap.empty()) {
            core_.deleteRefusal = cap;
            Fail(cap);
            deletes.clear();
        }
        for (size_t k = 0; k < deletes.size() && GoOn(); ++k) {
            const TPlanStep& step = *deletes[k];
            core_.SetProgress(
                TSyncCore::ProgressOf(static_cast<int>(k), static_cast<int>(deletes.size())));
            const std::string& key = core_.remoteList.Strings(step.index);
            if (const std::string why = guard.Why(key); !why.empty()) {
                guard.Keep(key);
                Fail("Not deleted: " + step.path + " (" + why + ")");
                core_.View().StepFinished(step.kind, false, 0);
                continue;
            }
            const std::string path = core_.RemotePath(EntryOf(core_.remoteList, step.index));
            changedDirs_.insert(EntryOf(core_.remoteList, step.index).dir);
            const TOutcome outcome = step.kind == TStepKind::Delete ? core_.session.Delete(path)
                                                                    : core_.session.RemoveDir(path);
            const bool done = Finished(outcome, "Could not delete: " + step.path);
            if (done)
                core_.remoteTree.SetStateIndex(step.index, imageNone);
            else
                guard.Keep(key);
            core_.View().StepFinished(step.kind, done, 0);
        }
        core_.SetProgress(100);
    }

    // Creates below a directory that could not be made fail without being sent.
    void Creates() {
        core_.ShowStatus("Creating New Directories");
        const auto creates = Steps({TStepKind::Create});
        for (size_t k = 0; k < creates.size() && GoOn(); ++k) {
            const TPlanStep& step = *creates[k];
            core_.SetProgress(
                TSyncCore::ProgressOf(static_cast<int>(k), static_cast<int>(creates.size())));
            const TDetail& entry = EntryOf(core_.localList, step.index);
            const std::string& key = core_.localList.Strings(step.index);
            if (!Sendable(entry) || BelowAny(key, notCreated_)) {
                notCreated_.insert(key);
                Fail("Could not create: " + step.path);
                core_.View().StepFinished(step.kind, false, 0);
                continue;
            }
            core_.localTree.MakeVisible(step.index);
            changedDirs_.insert(entry.dir);
            const bool done = Finished(core_.session.MakeDir(core_.RemotePath(entry)),
                                       "Could not create: " + step.path);
            if (done)
                core_.localTree.SetStateIndex(step.index, imageDirectory);
            else
                notCreated_.insert(key);
            core_.View().StepFinished(step.kind, done, 0);
        }
        core_.SetProgress(100);
    }

    void Uploads() {
        core_.ShowOverallProgress();
        core_.ShowStatus("Uploading files - 0% complete");
        core_.View().ShowFileFigures(true);
        core_.View().EnableAction(TSyncAction::Stop, true);
        // Entries that stay as they are lose the compare's marks now.
        for (int j = 0; j < core_.localList.Count(); ++j)
            if (const TDetail& e = EntryOf(core_.localList, j);
                e.action != actionUpload && e.action != actionUpdate)
                core_.localTree.SetStateIndex(j,
                                              e.kind == kindDirectory ? imageDirectory : imageFile);
        const auto uploads = Steps({TStepKind::Upload, TStepKind::Refresh});
        int64_t bytes = 0;
        for (const TPlanStep* step : uploads)
            bytes += std::max(0LL, EntryOf(core_.localList, step->index).size);
        core_.View().UploadsStarting(bytes);
        // By exact key: names that differ only in case are different files.
        for (int i = 0; !uploads.empty() && i < core_.remoteList.Count(); ++i)
            listedBefore_.emplace(core_.remoteList.Strings(i),
                                  std::make_pair(EntryOf(core_.remoteList, i).size,
                                                 EntryOf(core_.remoteList, i).time.utc));
        for (size_t k = 0; k < uploads.size() && GoOn(); ++k) {
            const int p =
                TSyncCore::ProgressOf(static_cast<int>(k), static_cast<int>(uploads.size()));
            core_.SetOverallProgress(p);
            core_.ShowStatus("Uploading files - " + std::to_string(p) + "% complete");
            // Counted whether or not the store went through: a failed one may have left
            // part of a file behind.
            changedDirs_.insert(EntryOf(core_.localList, uploads[k]->index).dir);
            Upload(*uploads[k]);
        }
    }

    void Upload(const TPlanStep& step) {
        const TDetail& entry = EntryOf(core_.localList, step.index);
        if (!Sendable(entry) || BelowAny(core_.localList.Strings(step.index), notCreated_)) {
            Fail("Could not upload: " + step.path);
            core_.View().StepFinished(step.kind, false, 0);
            return;
        }
        core_.localTree.MakeVisible(step.index);
        TSyncCore::DebugLog("File: " + step.path);
        core_.View().ShowCurrentFile(entry.name);
        const std::string remotePath = core_.RemotePath(entry);
        const std::string key = core_.localList.Strings(step.index);
        std::optional<std::pair<long long, int64_t>> before;
        if (const auto it = listedBefore_.find(key); it != listedBefore_.end())
            before = it->second;
        const bool done = core_.Options().atomic && core_.session.RenameOffered()
                              ? PutInPlace(step, entry, remotePath)
                              : PutDirect(step, entry, remotePath);
        if (done)
            stored_.push_back({key, step.path, entry.size, before});
        core_.localTree.SetStateIndex(step.index, imageFile);
        core_.View().StepFinished(step.kind, done, done ? std::max(0LL, entry.size) : 0);
    }

    // The file straight to its name: while it is being sent, the site shows a part of it.
    bool PutDirect(const TPlanStep& step, const TDetail& entry, const std::string& remotePath) {
        const TOutcome outcome = core_.session.Put(core_.LocalPath(entry), remotePath);
        const bool done = Finished(outcome, "Could not upload: " + step.path);
        if (done && core_.KeepFileTime(entry, remotePath) == TOutcome::Lost)
            Finished(TOutcome::Lost, "Could not give " + step.path + " its time");
        return done;
    }

    // The file to a temporary name beside its target, its time given there (a rename
    // keeps it), then renamed over the old one.
    bool PutInPlace(const TPlanStep& step, const TDetail& entry, const std::string& remotePath) {
        const std::string temporary = TemporaryPathFor(remotePath);
        const std::string failed = "Could not upload: " + step.path;
        const TOutcome put = core_.session.Put(core_.LocalPath(entry), temporary);
        if (put != TOutcome::Done) {
            // Whatever part of it arrived goes (a local file that would not open sent
            // nothing); after a lost session the next run finds it.
            const std::string reason = core_.session.FailureReason();
            if (put == TOutcome::Failed && core_.session.lastErrorCode != ftpLocalOpenError)
                RemoveTemporary(temporary);
            return Finished(put, failed, reason);
        }
        if (core_.KeepFileTime(entry, temporary) == TOutcome::Lost)
            return Finished(TOutcome::Lost, "Could not give " + step.path + " its time");
        TOutcome renamed = core_.session.Rename(temporary, remotePath);
        if (renamed == TOutcome::Failed && !core_.session.RenameOffered()) {
            const std::string reason = core_.session.FailureReason();
            RemoveTemporary(temporary);
            if (!GoOn())
                return false;
            const std::string said = "The server does not rename files (" + reason +
                                     "): uploads go straight to their names for the rest of "
                                     "the session";
            Say(said);
            return PutDirect(step, entry, remotePath);
        }
        std::string reason = core_.session.FailureReason();
        if (renamed == TOutcome::Failed && step.kind == TStepKind::Refresh &&
            core_.session.RenameSourceTaken() && core_.session.LastReplyText().starts_with('5')) {
            // Some servers rename nothing onto a name that exists: the old file goes first.
            // A passing trouble (4xx) is no such refusal, and the old file stays; nor is a
            // refusal of a name the server did not list.
            const TOutcome removed = core_.session.Delete(remotePath);
            if (removed == TOutcome::Lost)
                return Finished(removed, failed);
            if (removed == TOutcome::Done) {
                renamed = core_.session.Rename(temporary, remotePath);
                reason = core_.session.FailureReason();
            }
        }
        if (renamed == TOutcome::Failed) {
            RemoveTemporary(temporary);
            return Finished(TOutcome::Failed, failed, reason);
        }
        return Finished(renamed, failed);
    }

    // A temporary file of a failed upload, while the session stands.
    void RemoveTemporary(const std::string& temporary) {
        if (core_.session.Delete(temporary) == TOutcome::Lost)
            lost_ = true;
    }

    // A store the server acknowledged may still have lost bytes on the way (a data
    // connection cut between the two ends looks like a short file to the server): the
    // listing read after the update tells. An entry listed just as before the store
    // tells nothing (a server or a proxy may serve a cached listing).
    void CheckStoredSizes() {
        if (stored_.empty())
            return;
        // By exact key: names that differ only in case are different files.
        std::unordered_map<std::string, int> listed;
        for (int i = 0; i < core_.remoteList.Count(); ++i)
            listed.emplace(core_.remoteList.Strings(i), i);
        for (const TStored& file : stored_) {
            const auto it = listed.find(file.key);
            if (it == listed.end())
                continue;
            const TDetail& remote = EntryOf(core_.remoteList, it->second);
            const bool listedAsBefore =
                file.before && *file.before == std::make_pair(remote.size, remote.time.utc);
            if (!listedAsBefore && remote.kind == kindFile && remote.size >= 0 && file.size >= 0 &&
                remote.size != file.size)
                Fail("Could not upload: " + file.path + " (the server holds " +
                     std::to_string(remote.size) + " of its " + std::to_string(file.size) +
                     " bytes)");
        }
    }

    // The directories the run changed are read again, and the run says how it ended.
    void Finish() {
        const bool stopped = core_.userStop;
        if (stopped) {
            core_.SetOverallProgress(0);
            core_.ShowStatus("Transfer canceled. You MAY have to reconnect.");
            core_.updateFailed = true;
        } else {
            core_.SetOverallProgress(100);
        }
        core_.View().ShowFileFigures(false);
        for (const TSyncAction action :
             {TSyncAction::Stop, TSyncAction::Update, TSyncAction::Compare})
            core_.View().EnableAction(action, false);
        if (!stopped && !lost_ && changedDirs_.empty()) {
            // Nothing was sent: the tree as loaded is still the server's.
            core_.View().EnableAction(TSyncAction::Compare, true);
        } else if (!stopped && !lost_) {
            core_.RefreshRemoteDirectories(changedDirs_);
            core_.LearnListingTimes();
            if (!core_.remoteLoadComplete)
                Fail("The server's tree could not be read again after the update");
            else
                CheckStoredSizes();
        }
        if (!stopped && !lost_) {
            core_.ShowStatus(core_.updateFailures.empty()
                                 ? std::string("Remote Site Update Complete")
                                 : "Remote Site Update Incomplete: " +
                                       core_.updateFailures.front());
        }
        core_.HideProgress();
        core_.HideOverallProgress();
        if (lost_ && !stopped) {
            core_.updateFailed = true;
            core_.ClearConnection();
            core_.ShowStatus("Pelmora has been disconnected from the server");
        }
    }

    TSyncCore& core_;
    const TPlan& plan_;
    bool lost_ = false;
    std::unordered_set<std::string> notCreated_;
    // The files the server said it took whole: key, path as shown, local size.
    struct TStored {
        std::string key;
        std::string path;
        long long size;
        // Its size and time in the listing the update started from.
        std::optional<std::pair<long long, int64_t>> before;
    };
    std::vector<TStored> stored_;
    // Size and time of every entry of the listing the update started from, by key.
    std::unordered_map<std::string, std::pair<long long, int64_t>> listedBefore_;
    // Relative paths of the directories the run sent anything into.
    std::set<std::string> changedDirs_;
};

} // namespace

void TSyncCore::RunUpdate(const TPlan& plan) {
    const TOperationScope operation(*this, TOperation::Update);
    if (!operation)
        return;
    updateFailed = false;
    updateFailures.clear();
    uploadedTimes_.clear();
    deleteRefusal.clear();
    userStop = false;
    session.Resume();
    session.timeoutMs = TimeoutMs();
    TUpdateRun(*this, plan).Run();
}

} // namespace pelmora
