#include "sync/delete_cap.h"
#include "sync/plan.h"
#include "sync/sync_core.h"
#include "sync/temporary_names.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <algorithm>
#include <coroutine>
#include <functional>
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
    if (rootState_.absolute)
        return *rootState_.absolute + path;
    // The root's absolute name is unknown (a PWD reply we could not read): the session
    // stands in the root, so paths go relative to it.
    return path.substr(1);
}

bool TSyncCore::RemotePathsAbsolute() const {
    return options.remoteRoot.starts_with('/') || rootState_.absolute.has_value();
}

bool TSyncCore::RemoteRootKnown() const {
    const std::string& typed = options.remoteRoot;
    return typed.starts_with('/') || rootState_.absolute || rootState_.standingIn;
}

std::string TSyncCore::LocalPath(const TDetail& entry) const {
    return Options().localRoot + RelativePath(entry.dir, entry.name);
}

std::vector<std::string> TSyncCore::Problems() const {
    if (!updateFailures.empty())
        return updateFailures;
    std::vector<std::string> problems = localScan.problems;
    problems.insert(problems.end(), remoteLoad.problems.begin(), remoteLoad.problems.end());
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
    if (!localScan.complete)
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
    std::vector<std::string> kept = localScan.kept;
    for (const auto* excluded : {&localScan.excluded, &remoteLoad.excluded})
        for (const TExcludedEntry& entry : *excluded)
            kept.push_back(entry.key);
    return {caseFolding, std::move(kept), localScan.notWalked, remoteLoad.unlisted};
}

TPlan TSyncCore::MakeUpdatePlan() const {
    return MakePlan(localList, remoteList, DeletionAllowed(), DeleteRules(), remoteLoad.leftovers);
}

std::vector<std::string> TSyncCore::UpdatePlan() const {
    return PlanLines(MakeUpdatePlan());
}

std::string TSyncCore::DeleteCapRefusalFor(const TPlan& plan) const {
    if (!options.enforceDeleteCap)
        return {};
    const auto deletions = static_cast<std::int64_t>(PlanDeletions(plan));
    if (deletions == 0)
        return {};
    return DeleteCapRefusal(
        deletions, remoteList.Count() + static_cast<std::int64_t>(remoteLoad.leftovers.size()),
        options.maxDelete);
}

void TSyncCore::UpdateRemote() {
    RunUpdate(MakeUpdatePlan());
}

namespace {

// One run of the update: the plan's deletes, new directories and uploads, in that order,
// spread over the sessions of the pool. Phases follow one another (what is left over, the
// deletes, the new directories, the uploads); within one, steps run at once on as many
// sessions as there are, except that a directory is removed only once everything below it
// has been dealt with, and created only once the directory above it has. Each item keeps
// all its commands on one session. A refusal fails its item only; a lost session takes its
// item with it and leaves the others to go on; the run ends when every session is lost or
// Stop is pressed. Every failure is recorded with its path and reason.
class TUpdateRun {
public:
    TUpdateRun(TSyncCore& core, const TPlan& plan) : core_(core), plan_(plan), pool_(core.Pool()) {}

    void Run() {
        ReportUnsettled();
        if (!core_.RemoteRootKnown()) {
            Fail("The remote directory's place on the server is not known: load it again");
            return;
        }
        core_.ShowProgress();
        StartSessions();
        Deletes();
        Creates();
        Uploads();
        RemoveLeftovers();
        EndSessions();
        Finish();
    }

private:
    void Fail(const std::string& text) {
        core_.updateFailed = true;
        core_.updateFailures.push_back(text);
        core_.ShowStatus(text);
    }

    bool Finished(TRemoteSession& on, TOutcome outcome, const std::string& what) {
        return Finished(outcome, what, on.FailureReason());
    }

    // With the reason the step failed for, when a later operation (a clean-up) has
    // replaced the session's.
    bool Finished(TOutcome outcome, const std::string& what, const std::string& reason) {
        switch (outcome) {
        case TOutcome::Done:
            return true;
        case TOutcome::Lost:
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

    bool GoOn() const { return !allLost_ && !core_.userStop; }

    std::vector<const TPlanStep*> Steps(std::initializer_list<TStepKind> kinds) const {
        std::vector<const TPlanStep*> steps;
        for (const TPlanStep& step : plan_.steps)
            if (std::find(kinds.begin(), kinds.end(), step.kind) != kinds.end())
                steps.push_back(&step);
        return steps;
    }

    // Extra sessions log in while the main one starts on the work; each takes its share
    // once logged in. Every session's upload progress counts.
    void StartSessions() {
        sessions_.push_back(&core_.session);
        Watch(core_.session);
        const size_t work = plan_.leftovers.size() + plan_.steps.size();
        const int wanted =
            static_cast<int>(std::min<size_t>(std::max(core_.Options().connections, 1), work));
        if (wanted < 2 || !core_.RemotePathsAbsolute()) {
            // The main session does it alone: sessions the walk left open go now.
            pool_.Close();
            return;
        }
        pool_.OnSay = [this](const std::string& text) { Say(text); };
        pool_.OnJoined = [this](TRemoteSession& joined) {
            sessions_.push_back(&joined);
            Watch(joined);
        };
        pool_.Open(wanted);
    }

    void EndSessions() {
        pool_.Close();
        pool_.OnSay = nullptr;
        pool_.OnJoined = nullptr;
        TSyncCore& core = core_;
        core_.session.OnProgress = [&core] { core.ShowUploadProgress(); };
        core_.session.OnFileSize = [&core](const std::string& size) {
            core.View().ShowFileSize(size);
        };
    }

    void Watch(TRemoteSession& on) {
        on.OnProgress = [this, &on] { ShowProgressOf(on); };
        on.OnFileSize = [this, &on](const std::string& size) {
            if (&on == current_)
                core_.View().ShowFileSize(size);
        };
    }

    // The bytes of every upload under way together; the step bar is the latest upload's.
    void ShowProgressOf(TRemoteSession& on) {
        int64_t sent = 0;
        for (const TRemoteSession* each : sessions_)
            if (each->Uploading() || each == &on)
                sent += each->BytesSent();
        core_.View().ShowBytesSent(sent);
        if (&on != current_)
            return;
        const int64_t size = on.FileSize();
        core_.SetProgress(size >= 1 ? static_cast<int>(on.BytesSent() * 100 / size) : 0);
        // Stop cuts the upload at this step; its percentage means nothing then.
        if (on.Stopped())
            core_.View().ClearStepPercent();
    }

    // Hands the steps 0..count-1 out in order over the sessions, each as soon as `ready`
    // lets it go; `start` begins one on a session, or settles it at once (and gives no
    // task) when it cannot be sent.
    void RunPhase(size_t count, const std::function<bool(size_t)>& ready,
                  const std::function<TSessionTask(TRemoteSession&, size_t)>& start) {
        std::vector<bool> started(count, false);
        size_t first = 0;
        // A step held back waits for a few in flight; those after it go meanwhile, up to a
        // window, so that one deep directory does not hold up all the others.
        constexpr size_t Window = 256;
        const bool some = pool_.Run([&](TRemoteSession& on) -> TSessionTask {
            while (GoOn()) {
                while (first < count && started[first])
                    ++first;
                size_t pick = count;
                for (size_t i = first; i < count && i < first + Window; ++i)
                    if (!started[i] && ready(i)) {
                        pick = i;
                        break;
                    }
                if (pick == count)
                    return {};
                started[pick] = true;
                if (TSessionTask task = start(on, pick))
                    return task;
            }
            return {};
        });
        if (!some)
            allLost_ = true;
    }

    // What the loads and the compare could not settle: there the server may differ from
    // the disk, whatever follows.
    void ReportUnsettled() {
        for (const auto* problems : {&core_.localScan.problems, &core_.remoteLoad.problems})
            for (const std::string& problem : *problems)
                Fail(problem);
        for (const std::string& conflict : core_.conflicts)
            Fail("Conflict: " + conflict);
    }

    // Temporary files a run cut off left behind, as the plan has them: removed last, once
    // the pages they were meant for are up, and only by a run whose deletes were let go
    // ahead (the plan has them only where the run may delete).
    void RemoveLeftovers() {
        for (const std::string& kept : plan_.leftoversKept)
            Say("Kept a file with the name of a Pelmora temporary file: " + kept);
        const bool planned = !plan_.leftovers.empty() || !plan_.leftoversKept.empty();
        if ((deletesRefused_ || !planned) && !core_.remoteLoad.leftovers.empty()) {
            const size_t count = core_.remoteLoad.leftovers.size();
            Say("Left-over temporary files stay on the server, as this run deletes nothing: " +
                core_.remoteLoad.leftovers.front() +
                (count > 1 ? " and " + std::to_string(count - 1) + " more" : std::string()));
        }
        if (deletesRefused_ || plan_.leftovers.empty())
            return;
        // A copy of a page whose upload failed in this run may be the only one the server
        // has (an earlier run cut off after the old file went): it stays until the page
        // is stored again.
        std::vector<std::string> removable;
        for (const std::string& leftover : plan_.leftovers) {
            if (MayHoldAFailedPage(leftover))
                Say("Kept a left-over temporary file, as its page could not be stored: " +
                    leftover);
            else
                removable.push_back(leftover);
        }
        std::unordered_set<std::string> tried;
        RunPhase(
            removable.size(), [](size_t) { return true; },
            [&](TRemoteSession& on, size_t i) {
                tried.insert(removable[i]);
                return RemoveLeftover(on, removable[i]);
            });
        // What is left stays known, for the next update of this session.
        std::erase_if(core_.remoteLoad.leftovers,
                      [&](const std::string& path) { return tried.count(path) != 0; });
    }

    // Whether `leftover` (a relative path) is named after a file of its directory whose
    // upload failed in this run; a cut name stands for every name it begins.
    bool MayHoldAFailedPage(const std::string& leftover) const {
        const size_t slash = leftover.rfind('/');
        const std::string dir =
            slash == std::string::npos ? std::string() : leftover.substr(0, slash);
        const std::string target = TargetNameOf(leftover.substr(slash + 1));
        for (const std::string& failed : failedUploads_) {
            const size_t cut = failed.rfind('/');
            const std::string failedDir =
                cut == std::string::npos ? std::string() : failed.substr(0, cut);
            if (failedDir == dir && failed.compare(cut + 1, target.size(), target) == 0)
                return true;
        }
        return false;
    }

    TSessionTask RemoveLeftover(TRemoteSession& on, std::string leftover) {
        TDetail entry;
        const size_t slash = leftover.rfind('/');
        entry.dir = leftover.substr(0, slash);
        entry.name = leftover.substr(slash + 1);
        on.BeginDelete(core_.RemotePath(entry));
        const TOutcome outcome = co_await Ended{on};
        if (outcome == TOutcome::Done)
            Say("Removed a left-over temporary file: " + leftover);
        else if (outcome == TOutcome::Failed)
            Say("Could not remove a left-over temporary file: " + leftover + " (" +
                on.FailureReason() + ")");
        else
            Finished(on, outcome, "Could not remove a left-over temporary file: " + leftover);
    }

    void Deletes() {
        // Said before the refusals, which then stand on the status line; the deletes the
        // cap refuses are not counted among those about to be made.
        TPhase deleting{TPhase::TKind::Deleting, "Deleting Files and Directories"};
        if (core_.DeleteCapRefusalFor(plan_).empty())
            for (const TPlanStep* step : Steps({TStepKind::Delete, TStepKind::Remove}))
                ++(step->kind == TStepKind::Delete ? deleting.files : deleting.directories);
        core_.ShowPhase(deleting);
        RunDeletes(DeletesLetGo());
    }

    // Says what keeps deletes from being made (a local tree that cannot vouch for them,
    // deleting turned off since the compare, the cap) and gives those that may be tried.
    std::vector<const TPlanStep*> DeletesLetGo() {
        std::string refusal;
        // Checked, but the local tree cannot vouch for the deletions: they stay marked.
        if (!core_.DeletionAllowed(&refusal) && !refusal.empty()) {
            // An empty local directory beside a full server is a safety refusal, not a
            // failure of the disk.
            if (core_.localScan.complete && core_.localList.Count() == 0)
                core_.deleteRefusal = refusal;
            Fail(refusal);
        }
        // Deleting was turned off since the compare: what it marked stays, and shows so.
        if (!core_.Options().mayDelete)
            for (int n = 0; n < core_.remoteList.Count(); ++n)
                if (const uint8_t a = EntryOf(core_.remoteList, n).action;
                    a == actionDelete || a == actionRemove)
                    core_.remoteTree.SetStateIndex(n, markKept);
        for (const std::string& kept : plan_.kept)
            Fail(kept);
        // The guard is asked again for every delete: an entry that failed keeps the
        // directories above it.
        guard_.emplace(core_.localList, core_.DeleteRules());
        auto deletes = Steps({TStepKind::Delete, TStepKind::Remove});
        // Too many deletions at once look like a local directory that was emptied or
        // mounted wrong: none of them is made, and the rest of the update goes on.
        if (std::string cap = core_.DeleteCapRefusalFor(plan_); !cap.empty()) {
            core_.deleteRefusal = cap;
            Fail(cap);
            deletes.clear();
            deletesRefused_ = true;
        }
        return deletes;
    }

    void RunDeletes(const std::vector<const TPlanStep*>& deletes) {
        // A directory goes only once nothing below it is left to delete: the plan lists
        // a directory's content before it, so whatever is below it was handed out first.
        std::unordered_set<std::string> removes;
        for (const TPlanStep* step : deletes)
            if (step->kind == TStepKind::Remove)
                removes.insert(core_.remoteList.Strings(step->index));
        below_.clear();
        for (const TPlanStep* step : deletes)
            ForEachAbove(core_.remoteList.Strings(step->index), removes,
                         [&](const std::string& dir) { ++below_[dir]; });
        size_t handedOut = 0;
        RunPhase(
            deletes.size(),
            [&](size_t i) {
                if (deletes[i]->kind != TStepKind::Remove)
                    return true;
                const auto it = below_.find(core_.remoteList.Strings(deletes[i]->index));
                return it == below_.end() || it->second == 0;
            },
            [&](TRemoteSession& on, size_t i) -> TSessionTask {
                const TPlanStep& step = *deletes[i];
                core_.SetProgress(TSyncCore::ProgressOf(static_cast<int>(handedOut++),
                                                        static_cast<int>(deletes.size())));
                const std::string& key = core_.remoteList.Strings(step.index);
                if (const std::string why = guard_->Why(key); !why.empty()) {
                    guard_->Keep(key);
                    Fail("Not deleted: " + step.path + " (" + why + ")");
                    core_.View().StepFinished(step.kind, step.path, false, 0);
                    ForEachAbove(key, removes, [&](const std::string& dir) { --below_[dir]; });
                    return {};
                }
                return Delete(on, &step, &removes);
            });
        core_.SetProgress(100);
    }

    // Calls `f` with each directory above `key` that is in `dirs`.
    static void ForEachAbove(std::string key, const std::unordered_set<std::string>& dirs,
                             const std::function<void(const std::string&)>& f) {
        for (RemoveLastComponent(key); !key.empty(); RemoveLastComponent(key))
            if (dirs.count(key) != 0)
                f(key);
    }

    TSessionTask Delete(TRemoteSession& on, const TPlanStep* step,
                        const std::unordered_set<std::string>* removes) {
        const TDetail& entry = EntryOf(core_.remoteList, step->index);
        const std::string key = core_.remoteList.Strings(step->index);
        const std::string path = core_.RemotePath(entry);
        changedDirs_.insert(entry.dir);
        if (step->kind == TStepKind::Delete)
            on.BeginDelete(path);
        else
            on.BeginRemoveDir(path);
        const TOutcome outcome = co_await Ended{on};
        const bool done = Finished(on, outcome, "Could not delete: " + step->path);
        if (done)
            core_.remoteTree.SetStateIndex(step->index, markNone);
        else
            guard_->Keep(key);
        core_.View().StepFinished(step->kind, step->path, done, 0);
        ForEachAbove(key, *removes, [&](const std::string& dir) { --below_[dir]; });
    }

    // Creates below a directory that could not be made fail without being sent; those
    // below one still being made wait for it.
    void Creates() {
        const auto creates = Steps({TStepKind::Create});
        TPhase creating{TPhase::TKind::Creating, "Creating New Directories"};
        creating.directories = static_cast<std::int64_t>(creates.size());
        core_.ShowPhase(creating);
        unfinishedCreates_.clear();
        for (const TPlanStep* step : creates)
            unfinishedCreates_.insert(core_.localList.Strings(step->index));
        size_t handedOut = 0;
        RunPhase(
            creates.size(),
            [&](size_t i) {
                return !BelowAny(core_.localList.Strings(creates[i]->index), unfinishedCreates_);
            },
            [&](TRemoteSession& on, size_t i) -> TSessionTask {
                const TPlanStep& step = *creates[i];
                core_.SetProgress(TSyncCore::ProgressOf(static_cast<int>(handedOut++),
                                                        static_cast<int>(creates.size())));
                const TDetail& entry = EntryOf(core_.localList, step.index);
                const std::string& key = core_.localList.Strings(step.index);
                if (!Sendable(entry) || BelowAny(key, notCreated_)) {
                    notCreated_.insert(key);
                    unfinishedCreates_.erase(key);
                    Fail("Could not create: " + step.path);
                    core_.View().StepFinished(step.kind, step.path, false, 0);
                    return {};
                }
                core_.View().ShowEntry(true, step.index);
                changedDirs_.insert(entry.dir);
                return Create(on, &step);
            });
        core_.SetProgress(100);
    }

    TSessionTask Create(TRemoteSession& on, const TPlanStep* step) {
        const TDetail& entry = EntryOf(core_.localList, step->index);
        const std::string key = core_.localList.Strings(step->index);
        on.BeginMakeDir(core_.RemotePath(entry));
        const TOutcome outcome = co_await Ended{on};
        const bool done = Finished(on, outcome, "Could not create: " + step->path);
        if (done) {
            core_.localTree.SetStateIndex(step->index, markDirectory);
            created_.push_back({key, step->path});
        } else
            notCreated_.insert(key);
        unfinishedCreates_.erase(key);
        core_.View().StepFinished(step->kind, step->path, done, 0);
    }

    void Uploads() {
        core_.ShowOverallProgress();
        const auto uploads = Steps({TStepKind::Upload, TStepKind::Refresh});
        int64_t bytes = 0;
        for (const TPlanStep* step : uploads)
            bytes += std::max(0LL, EntryOf(core_.localList, step->index).size);
        TPhase uploading{TPhase::TKind::Uploading, "Uploading files - 0% complete",
                         TLineKind::PerEntry};
        uploading.files = static_cast<std::int64_t>(uploads.size());
        uploading.bytes = bytes;
        core_.ShowPhase(uploading);
        core_.View().ShowFileFigures(true);
        core_.View().EnableAction(TSyncAction::Stop, true);
        // Entries that stay as they are lose the compare's marks now.
        for (int j = 0; j < core_.localList.Count(); ++j)
            if (const TDetail& e = EntryOf(core_.localList, j);
                e.action != actionUpload && e.action != actionUpdate)
                core_.localTree.SetStateIndex(j,
                                              e.kind == kindDirectory ? markDirectory : markFile);
        core_.View().UploadsStarting(bytes);
        // By exact key: names that differ only in case are different files.
        for (int i = 0; !uploads.empty() && i < core_.remoteList.Count(); ++i)
            listedBefore_.emplace(core_.remoteList.Strings(i),
                                  std::make_pair(EntryOf(core_.remoteList, i).size,
                                                 EntryOf(core_.remoteList, i).time.utc));
        RunPhase(
            uploads.size(), [](size_t) { return true; },
            [&](TRemoteSession& on, size_t k) -> TSessionTask {
                const int p =
                    TSyncCore::ProgressOf(static_cast<int>(k), static_cast<int>(uploads.size()));
                core_.SetOverallProgress(p);
                core_.ShowStatus("Uploading files - " + std::to_string(p) + "% complete",
                                 TLineKind::PerEntry);
                const TPlanStep& step = *uploads[k];
                const TDetail& entry = EntryOf(core_.localList, step.index);
                // Counted whether or not the store went through: a failed one may have
                // left part of a file behind.
                changedDirs_.insert(entry.dir);
                if (!Sendable(entry) ||
                    BelowAny(core_.localList.Strings(step.index), notCreated_)) {
                    failedUploads_.insert(core_.localList.Strings(step.index));
                    Fail("Could not upload: " + step.path);
                    core_.View().StepFinished(step.kind, step.path, false, 0);
                    return {};
                }
                core_.View().ShowEntry(true, step.index);
                current_ = &on;
                core_.View().ShowCurrentFile(entry.name);
                return Upload(on, &step);
            });
    }

    // One upload as its sequences share it.
    struct TUpload {
        const TPlanStep* step;
        const TDetail& entry;
        std::string localPath;
        std::string remotePath;
        std::string failed; // "Could not upload: /path"
        bool done = false;
        // Straight to its name; before that, by a temporary name.
        bool direct = false;
        // The temporary file, while the server holds it.
        std::string temporary{};
        // The old file was deleted (or may have been) and the name has no new one yet.
        bool oldGone = false;
        // Why the upload goes straight to its name after all, said once the direct upload
        // shows that the server takes it.
        std::string directBecause{};
        // How the delete of the old file ended, where it was sent.
        TOutcome removed = TOutcome::Done;
        // How giving the file its time ended.
        TOutcome time = TOutcome::Done;
    };

    // The file to a temporary name beside its target, its time given there (a rename keeps
    // it), then renamed over the old one; or, where the server renames nothing, refuses
    // our temporary names or the options say so, straight to its name (while it is being
    // sent, the site shows a part of it). Whatever is refused, the page the server had is
    // never left missing while the run can help it: once the old file is deleted, the new
    // copy under the temporary name is the page, and stays until the name holds it.
    // Each part is a sequence of its own, run to its end inside this one: while it waits
    // for the session, so does this one.
    TSessionTask Upload(TRemoteSession& on, const TPlanStep* step) {
        const TDetail& entry = EntryOf(core_.localList, step->index);
        TUpload u{.step = step,
                  .entry = entry,
                  .localPath = core_.LocalPath(entry),
                  .remotePath = core_.RemotePath(entry),
                  .failed = "Could not upload: " + step->path,
                  .direct = directUploads_ || !(core_.Options().atomic && on.RenameOffered())};
        if (!u.direct)
            for (TSessionTask part = ByTemporaryName(on, u); !part.Done();)
                if (part.Resume(); !part.Done())
                    co_await Waiting{on};
        if (u.direct && u.oldGone && on.StopAsked()) {
            // Stopped while the name was empty: the copy stays where it is, and is named.
            Missing(step->path, u.temporary, false, "stopped");
        } else if (u.direct) {
            for (TSessionTask part = StraightToName(on, u); !part.Done();)
                if (part.Resume(); !part.Done())
                    co_await Waiting{on};
        }
        UploadEnded(*step, entry, u.done);
    }

    // The session's operation has an outcome (or a Stop came): the part that began it goes
    // on and ends it.
    struct Waiting {
        TRemoteSession& session;
        bool await_ready() const { return !session.Busy() || session.Settled(); }
        void await_suspend(std::coroutine_handle<>) const {}
        void await_resume() const {}
    };

    TSessionTask ByTemporaryName(TRemoteSession& on, TUpload& u) {
        u.temporary = TemporaryPathFor(u.remotePath);
        on.BeginPut(u.localPath, u.temporary);
        const TOutcome put = co_await Ended{on};
        if (put != TOutcome::Done) {
            // Whatever part of it arrived goes (a local file that would not open sent
            // nothing); after a lost session the next run finds it.
            const std::string reason = on.FailureReason();
            const std::string reply = on.LastReplyText();
            const bool sent = put == TOutcome::Failed && !on.LocalFileFailed();
            if (sent) {
                on.BeginDelete(u.temporary);
                co_await Ended{on};
            }
            u.temporary.clear();
            // A lasting refusal may be one of the temporary name itself (a server that
            // forbids names with a leading dot, or that limits their length): the file
            // goes straight to its name, which it may take.
            if (sent && reply.starts_with('5') && GoOn() && !on.Lost()) {
                u.directBecause = "The server refused the temporary name of " + u.step->path +
                                  " (" + reason + ")";
                u.direct = true;
            } else {
                u.done = Finished(put, u.failed, reason);
            }
            co_return;
        }
        for (TSessionTask part = GiveTime(on, u, u.temporary); !part.Done();)
            if (part.Resume(); !part.Done())
                co_await Waiting{on};
        if (u.time == TOutcome::Lost) {
            u.done = Finished(on, u.time, "Could not give " + u.step->path + " its time");
            co_return;
        }
        for (TSessionTask part = RenameOntoName(on, u); !part.Done();)
            if (part.Resume(); !part.Done())
                co_await Waiting{on};
    }

    // Gives the file on the server the local file's time, where it is to have it.
    TSessionTask GiveTime(TRemoteSession& on, TUpload& u, std::string path) {
        const bool timed = core_.FileTimeWanted(u.entry, on);
        u.time = TOutcome::Done;
        if (timed) {
            on.BeginSetFileTime(path, u.entry.time.utc);
            u.time = co_await Ended{on};
        }
        core_.FileTimeKept(u.entry, path, timed, u.time, on);
    }

    // The temporary file renamed over the old one, or what is left to do when it cannot be.
    TSessionTask RenameOntoName(TRemoteSession& on, TUpload& u) {
        on.BeginRename(u.temporary, u.remotePath);
        TOutcome renamed = co_await Ended{on};
        if (renamed == TOutcome::Failed && !on.RenameOffered()) {
            const std::string reason = on.FailureReason();
            on.BeginDelete(u.temporary);
            co_await Ended{on};
            u.temporary.clear();
            if (!GoOn() || on.Lost())
                co_return;
            Say("The server does not rename files (" + reason +
                "): uploads go straight to their names for the rest of the session");
            u.direct = true;
            co_return;
        }
        std::string reason = on.FailureReason();
        // A lasting refusal of the new name (RNTO): of a name that exists on some servers,
        // or of any rename on others.
        const bool nameRefused = renamed == TOutcome::Failed && on.RenameSourceTaken() &&
                                 on.LastReplyText().starts_with('5');
        if (nameRefused && u.step->kind == TStepKind::Refresh && !on.StopAsked()) {
            for (TSessionTask part = ReplaceOldFile(on, u, renamed, reason); !part.Done();)
                if (part.Resume(); !part.Done())
                    co_await Waiting{on};
        }
        // Where the old file is gone, or there was none, the name is free: a refusal of it
        // may still take the file sent straight to it. An old file that the server would
        // not delete stays as it is.
        const bool nameFree = u.oldGone || u.step->kind == TStepKind::Upload;
        if (renamed == TOutcome::Failed && nameRefused && nameFree && !on.Lost() &&
            (u.oldGone || !on.StopAsked())) {
            // The server took the file but not the name for it: it may take the file under
            // its name straight away.
            u.directBecause = "The server refused to rename " +
                              RelativeSibling(u.step->path, u.temporary) + " to " + u.step->path +
                              " (" + reason + ")";
            u.direct = true;
        } else if (u.oldGone) {
            Missing(u.step->path, u.temporary, u.removed != TOutcome::Done, reason);
        } else if (renamed == TOutcome::Failed) {
            if (!on.Stopped()) {
                on.BeginDelete(u.temporary);
                co_await Ended{on};
            }
            u.done = Finished(TOutcome::Failed, u.failed, reason);
        } else {
            u.done = Finished(on, renamed, u.failed);
        }
    }

    // Some servers rename nothing onto a name that exists: the old file goes first. A
    // passing trouble (4xx) is no such refusal, and the old file stays; nor is a refusal of
    // a name the server did not list. From the delete until the rename has ended, a Stop
    // waits.
    TSessionTask ReplaceOldFile(TRemoteSession& on, TUpload& u, TOutcome& renamed,
                                std::string& reason) {
        on.HoldStop();
        on.BeginDelete(u.remotePath);
        u.removed = co_await Ended{on};
        if (u.removed != TOutcome::Failed)
            u.oldGone = true;
        if (u.removed == TOutcome::Done) {
            on.BeginRename(u.temporary, u.remotePath);
            renamed = co_await Ended{on};
            reason = on.FailureReason();
            if (renamed == TOutcome::Done)
                u.oldGone = false;
        } else if (u.removed != TOutcome::Failed) {
            renamed = u.removed;
            reason = on.FailureReason();
        }
        on.ReleaseStop();
    }

    TSessionTask StraightToName(TRemoteSession& on, TUpload& u) {
        on.BeginPut(u.localPath, u.remotePath);
        const TOutcome put = co_await Ended{on};
        const std::string reason = on.FailureReason();
        if (put != TOutcome::Done && u.oldGone)
            Missing(u.step->path, u.temporary, false, reason);
        else
            u.done = Finished(put, u.failed, reason);
        if (u.done) {
            if (!u.directBecause.empty() && !directUploads_) {
                directUploads_ = true;
                Say(u.directBecause +
                    ": uploads go straight to their names for the rest of the session");
            }
            for (TSessionTask part = GiveTime(on, u, u.remotePath); !part.Done();)
                if (part.Resume(); !part.Done())
                    co_await Waiting{on};
            if (u.time == TOutcome::Lost)
                Finished(on, u.time, "Could not give " + u.step->path + " its time");
        }
        // The name holds the page again, or never held one: the copy is no page.
        if (!u.temporary.empty() && (u.done || !u.oldGone) && !on.Lost() && !on.Stopped()) {
            on.BeginDelete(u.temporary);
            co_await Ended{on};
        }
    }

    void UploadEnded(const TPlanStep& step, const TDetail& entry, bool done) {
        core_.localTree.SetStateIndex(step.index, markFile);
        if (done) {
            const std::string key = core_.localList.Strings(step.index);
            std::optional<std::pair<long long, int64_t>> before;
            if (const auto it = listedBefore_.find(key); it != listedBefore_.end())
                before = it->second;
            stored_.push_back({key, step.path, entry.size, before, step.index});
        } else {
            failedUploads_.insert(core_.localList.Strings(step.index));
        }
        core_.View().StepFinished(step.kind, step.path, done, done ? std::max(0LL, entry.size) : 0);
    }

    // The path a temporary file on the server has as the run shows it: beside `path`.
    static std::string RelativeSibling(const std::string& path, const std::string& remote) {
        return path.substr(0, path.rfind('/') + 1) + remote.substr(remote.rfind('/') + 1);
    }

    // The old file was deleted and its new copy could not be put under its name: the copy
    // stays, and the run says where it is. The next run sends the page again.
    void Missing(const std::string& path, const std::string& temporary, bool unsure,
                 const std::string& reason) {
        Fail(path + (unsure ? " may be missing" : " is missing") +
             " on the server: its new copy is " + RelativeSibling(path, temporary) + " (" + reason +
             ")");
    }

    // The directories the run changed are read again, and the run says how it ended.
    // What the server said it took is checked against that listing: a server may store a
    // file under another name than it was given (a name it reads in another encoding, or
    // changes to suit its rules) or not at all (a quarantine), and a store it acknowledged
    // may still have lost bytes on the way (a data connection cut between the two ends
    // looks like a short file to the server). An entry listed just as before the store
    // tells nothing of its size (a server or a proxy may serve a cached listing). A copy
    // under another name is left where it is: the run knows nothing of it.
    void CheckStoredSizes() {
        if (stored_.empty() && created_.empty())
            return;
        // By exact key: names that differ only in case are different files; on a server
        // that ignores case, its own spelling of the name is the same entry.
        std::unordered_map<std::string, int> listed;
        std::unordered_map<std::string, int> folded;
        for (int i = 0; i < core_.remoteList.Count(); ++i) {
            listed.emplace(core_.remoteList.Strings(i), i);
            if (core_.caseFolding)
                folded.emplace(FoldedKey(core_.remoteList.Strings(i)), i);
        }
        auto find = [&](const std::string& key) -> const TDetail* {
            if (const auto it = listed.find(key); it != listed.end())
                return &EntryOf(core_.remoteList, it->second);
            if (const auto it = folded.find(FoldedKey(key));
                core_.caseFolding && it != folded.end())
                return &EntryOf(core_.remoteList, it->second);
            return nullptr;
        };
        for (const TCreated& dir : created_) {
            const TDetail* remote = find(dir.key);
            if (!remote || remote->kind != kindDirectory)
                Fail("The server does not list " + dir.path +
                     " as a directory after creating it: it may have made it under another name");
        }
        for (const TStored& file : stored_) {
            const TDetail* remote = find(file.key);
            if (!remote) {
                Fail("The server does not list " + file.path +
                     " after storing it: it may have stored it under another name");
                continue;
            }
            if (remote->kind == kindDirectory) {
                Fail("The server lists " + file.path + " as a directory after storing it");
                continue;
            }
            const bool listedAsBefore =
                file.before && *file.before == std::make_pair(remote->size, remote->time.utc);
            if (!listedAsBefore && remote->kind == kindFile && remote->size >= 0 &&
                file.size >= 0 && remote->size != file.size)
                Fail("Could not upload: " + file.path + " (the server holds " +
                     std::to_string(remote->size) + " of its " + std::to_string(file.size) +
                     " bytes)");
        }
    }

    // The listing after the update confirms what arrived: the journal keeps it.
    void RecordConfirmed() {
        CheckStoredSizes();
        std::vector<std::pair<std::string, int>> confirmed;
        confirmed.reserve(stored_.size());
        for (const TStored& file : stored_)
            confirmed.emplace_back(file.key, file.index);
        core_.RecordPublished(confirmed);
    }

    void Finish() {
        const bool stopped = core_.userStop;
        // Without the main session nothing can be read again: the run ends as lost.
        const bool lost = allLost_ || core_.session.Lost();
        if (stopped) {
            core_.SetOverallProgress(0);
            core_.ShowPhase(
                {TPhase::TKind::UpdateStopped, "Transfer canceled. You MAY have to reconnect."});
            core_.updateFailed = true;
        } else {
            core_.SetOverallProgress(100);
        }
        core_.View().ShowFileFigures(false);
        for (const TSyncAction action :
             {TSyncAction::Stop, TSyncAction::Update, TSyncAction::Compare})
            core_.View().EnableAction(action, false);
        if (!stopped && !lost && changedDirs_.empty()) {
            // Nothing was sent: the tree as loaded is still the server's.
            core_.View().EnableAction(TSyncAction::Compare, true);
        } else if (!stopped && !lost) {
            core_.RefreshRemoteDirectories(changedDirs_);
            core_.LearnListingTimes();
            if (!core_.remoteLoad.complete)
                Fail("The server's tree could not be read again after the update");
            else
                RecordConfirmed();
        }
        if (const std::string notice = core_.FutureDatedNotice(); !notice.empty())
            Say(notice);
        if (!stopped && !lost) {
            TPhase done{TPhase::TKind::UpdateDone,
                        core_.updateFailures.empty()
                            ? std::string("Remote Site Update Complete")
                            : "Remote Site Update Incomplete: " + core_.updateFailures.front()};
            done.failed = static_cast<std::int64_t>(core_.updateFailures.size());
            core_.ShowPhase(done);
        }
        core_.HideProgress();
        core_.HideOverallProgress();
        if (lost && !stopped) {
            core_.updateFailed = true;
            core_.ClearConnection();
            core_.ShowStatus("Pelmora has been disconnected from the server");
        }
    }

    TSyncCore& core_;
    const TPlan& plan_;
    TSessionPool& pool_;
    // Every session the run has used, the main one first.
    std::vector<TRemoteSession*> sessions_;
    // The session of the upload started last: its figures are the "current file"'s.
    const TRemoteSession* current_ = nullptr;
    bool allLost_ = false;
    // The deletion cap refused the plan's deletes: none is made, leftovers included.
    bool deletesRefused_ = false;
    // Uploads go straight to their names for the rest of the run: the server refused our
    // temporary names, or the renames of them, and took the files under their names.
    bool directUploads_ = false;
    std::optional<TDeleteGuard> guard_;
    // Directories to remove, with how many deletes below them have not ended.
    std::unordered_map<std::string, int> below_;
    std::unordered_set<std::string> unfinishedCreates_;
    std::unordered_set<std::string> notCreated_;
    // Relative paths of the directories the run sent anything into.
    std::set<std::string> changedDirs_;
    // The files the server said it took whole: key, path as shown, local size.
    struct TStored {
        std::string key;
        std::string path;
        long long size;
        // Its size and time in the listing the update started from.
        std::optional<std::pair<long long, int64_t>> before;
        int index = -1; // in localList
    };
    std::vector<TStored> stored_;
    // Local keys of the files whose upload failed in this run.
    std::unordered_set<std::string> failedUploads_;
    // The directories the server said it made: key, path as shown.
    struct TCreated {
        std::string key;
        std::string path;
    };
    std::vector<TCreated> created_;
    // Size and time of every entry of the listing the update started from, by key.
    std::unordered_map<std::string, std::pair<long long, int64_t>> listedBefore_;
};

} // namespace

void TSyncCore::RunUpdate(const TPlan& plan) {
    const TOperationScope operation(*this, TOperation::Update);
    if (!operation)
        return;
    updateFailed = false;
    updateFailures.clear();
    uploadedTimes_.clear();
    futureDated.clear();
    deleteRefusal.clear();
    userStop = false;
    session.Resume();
    session.timeoutMs = TimeoutMs();
    if (rootState_.onlyPlanned) {
        // The load found no root and made none: the session stands nowhere in the site.
        updateFailed = true;
        ShowStatus("The remote directory " + rootState_.made +
                   " was not made: load the remote directory again");
        return;
    }
    TUpdateRun(*this, plan).Run();
}

} // namespace pelmora
