#pragma once

#include "sync/compare.h"
#include "sync/detail.h"
#include "sync/ignore_rules.h"
#include "sync/local_dir.h"
#include "sync/options.h"
#include "sync/plan.h"
#include "sync/publish_journal.h"
#include "sync/remote_entries.h"
#include "sync/remote_session.h"
#include "sync/session_pool.h"
#include "sync/sync_view.h"
#include "toolkit/string_list.h"
#include "toolkit/text.h"
#include "toolkit/tree_model.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace pelmora {

// What a local load found besides the entries it loaded.
struct TLocalFindings {
    // False after a load that was stopped or could not enter every directory: the disk
    // was not seen whole, so nothing may be deleted on its word.
    bool complete = false;
    // False when the local root itself could not be read: nothing of the disk is known.
    bool rootReadable = true;
    // Keys of local entries that are not sent (special files, links that lead nowhere,
    // paths past the limit): the disk still has them, so their server copies are kept.
    std::vector<std::string> kept;
    // Local directories whose content was not walked (a link leads back up into them).
    std::vector<std::string> notWalked;
    // Local entries the rules left out: the disk has them all the same, so no server
    // entry of their name is deleted.
    std::vector<TExcludedEntry> excluded;
    // What the load could not do, one "what: why" line each; the update reports them
    // among its failures.
    std::vector<std::string> problems;
};

// What a remote load found besides the entries it loaded.
struct TRemoteFindings {
    // False after a load that could not enter or list some directories; those are in
    // `unlisted` (relative paths) with their content unknown.
    bool complete = false;
    std::vector<std::string> unlisted;
    // Server entries the rules left out: they stay, and so do the directories above them.
    std::vector<TExcludedEntry> excluded;
    // Temporary files of ours that the load found (relative paths): a run cut off left
    // them. They are no site entries; the next update removes them.
    std::vector<std::string> leftovers;
    // What the load could not do, one "what: why" line each.
    std::vector<std::string> problems;
};

// The synchronisation engine: the master and work lists of both sides, their trees, the
// walk state and the session flags, and the local scan, the remote load, the compare and
// the update that work on them. It reads what the user chose from `options` and shows
// what it does through a TSyncView; it knows no control of any window.
class TSyncCore {
public:
    // `remote` is the main session; a new one of the program's protocol when none is given.
    explicit TSyncCore(TSyncView& view, TSyncOptions options = {},
                       std::unique_ptr<TRemoteSession> remote = nullptr);
    TSyncCore(const TSyncCore&) = delete;
    TSyncCore& operator=(const TSyncCore&) = delete;
    virtual ~TSyncCore();

    // Master lists own their entries; line i is node i of that side's tree.
    TStringList localList{false, true};
    TStringList remoteList{false, true};
    TStringList localWorkList{true};
    TTreeModel localTree;
    TTreeModel remoteTree;

    uint16_t recurseLevel = 0;
    std::string recurseDir;
    // How the listings of the current load read their times.
    TListingClock listingClock;

    // Session flags; see the session controller for who sets and clears each.
    bool localLoading = false;
    bool remoteLoading = false;
    bool connected = false;
    bool userStop = false;
    // Stop: ends every wait, walk, compare and upload at its next check.
    void Stop();
    // What the last local and remote loads found besides the entries themselves.
    TLocalFindings localScan;
    TRemoteFindings remoteLoad;
    // True when the server ignores letter case in names (a DOS/Windows-style server):
    // then entries match without regard to case.
    bool caseFolding = false;
    // What the last local load leaves alone on both sides: the defaults, the local root's
    // .pelmoraignore, then the options' excludes.
    TIgnoreRules ignoreRules;
    // Set when a run learnt something the settings file must keep; a run nobody watches
    // writes the file back only then.
    bool settingsChanged = false;
    // Entries the compare could not give a verdict, one line each ("/docs: a file here,
    // a directory on the server").
    std::vector<std::string> conflicts;

    // What the user chose; the window keeps it in step with its controls.
    TSyncOptions options;

private:
    std::unique_ptr<TRemoteSession> remote_;

public:
    // The main session: the connect logs it in, and the loads and the update send their
    // operations through it and wait for them.
    TRemoteSession& session;
    // The extra sessions the walk and the update run beside `session`, up to
    // options.connections in all; opened by a run that has work for them, closed at its end
    // and on a disconnect.
    TSessionPool& Pool() { return pool_; }
    // The walk logs its extra sessions in only once the reading it has still to do, at the
    // pace the main session reads, is this many times what a login takes: on a fast link a
    // small tree is read sooner than further sessions could log in and be closed again.
    // 0: as soon as there is more than one directory to read.
    static constexpr int DefaultWalkExtrasPayoff = 4;
    int walkExtrasPayoff = DefaultWalkExtrasPayoff;
    // Set by a run whose update follows the load at once: the walk leaves its extra
    // sessions logged in for it instead of closing them, and the run closes them at its end.
    bool keepWalkSessions = false;
    // Every remote path of the run names its place from the server's root, so that a
    // session standing anywhere reaches it (extra sessions stand where their login put them).
    bool RemotePathsAbsolute() const;

    // One operation at a time. The local scan, the remote load, the compare, the update
    // and the connect each run inside their handler and pump messages while they wait, so
    // a press can arrive in the middle of one; were it to start another, that one could
    // free or rebuild the lists the first is walking. While an operation runs, the view
    // holds the actions (TSyncView::HoldActions): the window keeps Connect, Compare,
    // Update, Refresh and Change disabled and Stop enabled; Disconnect stays live (it
    // stops the operation and ends the session once the operation has unwound).
    enum class TOperation : uint8_t { None, LocalLoad, RemoteLoad, Compare, Update, Connect };
    bool OperationRunning() const { return operation_ != TOperation::None; }
    TOperation RunningOperation() const { return operation_; }

    // Opened first thing by every handler that starts an operation. With none running it
    // starts one; inside a running operation it joins it only as a step of that
    // operation's own (the connect's update, the update's closing refresh) and is refused
    // otherwise: the handler then returns at once, having changed nothing. A press that
    // arrives in the middle of an operation cannot be told from such a step here, so the
    // window's presses are refused whenever any operation runs (TForm1). Leaving the
    // outermost scope releases the actions and ends a session that Disconnect closed
    // meanwhile.
    class TOperationScope {
    public:
        TOperationScope(TSyncCore& core, TOperation kind);
        ~TOperationScope();
        TOperationScope(const TOperationScope&) = delete;
        TOperationScope& operator=(const TOperationScope&) = delete;
        explicit operator bool() const { return entered_; }

    private:
        TSyncCore& core_;
        TOperation outer_;
        bool entered_ = false;
    };

    // Disconnect during an operation, once Stop has been given: closes the session (QUIT
    // when it is idle, otherwise Abort, which drops the data side and the control
    // connection) and leaves the window's side of the disconnect to the end of
    // the operation, when nothing walks the lists any more.
    void EndSessionDuringOperation();
    // Ends the session however far it got: QUIT when it is idle, else Abort.
    void EndComponentSession();
    bool DisconnectPending() const { return disconnectPending_; }

    // Status line and progress display. Every status passes `secrets` first: it shows
    // server replies, and a reply may repeat the password.
    void ShowStatus(const std::string& text, TLineKind kind = TLineKind::Phase);
    // A step reached: its text is the status line, and the view may word it its own way.
    void ShowPhase(TPhase phase);
    // A side's master list counted: files (whatever is not a directory) and directories.
    static TPhase Counted(TPhase::TKind kind, const std::string& text, const TStringList& list);
    TSecretMask secrets;
    // The status line's text as the engine last set it.
    const std::string& Status() const { return status_; }
    TSyncView& View() { return viewTap_ ? *viewTap_ : view_; }
    // A run that counts what the update reports (TSyncRun) stands between View() and the
    // view while it lasts; null: nothing does.
    void TapView(TSyncView* tap) { viewTap_ = tap; }
    void ClearStatus();
    void ShowProgress();
    void HideProgress();
    void SetProgress(int percent);
    void ShowOverallProgress();
    void HideOverallProgress();
    void SetOverallProgress(int percent);
    // Progress over a list of `count` entries at `position`.
    static int ProgressOf(int position, int count);

    // Entries and lists.
    void FreeEntries(TStringList& list);
    // Appends the entry to the side's master list under its key and its node under
    // `parentNode`; returns the node.
    int AddEntry(TStringList& list, TTreeModel& tree, TDetail* entry, int parentNode);

    uint32_t TimeoutMs() const { return Options().timeoutMs; }
    const TSyncOptions& Options() const { return options; }

    // A login succeeded: the session starts where the server put it.
    void LoggedIn();
    // The upload's progress as the component reports it.
    void ShowUploadProgress();

    // The window's side of a disconnect.
    void ClearConnection();

    // The remote load, as a press of Refresh starts it.
    void RefreshRemote();
    bool LoadRemoteDirectory();
    // The remote load has ended, said with `text` on the status line: what it found;
    // `again` for the load that ends an update.
    void SayRemoteLoaded(const std::string& text, bool again);
    // The plan's line for a remote root that the last load made, or would have made
    // (see TSyncOptions::missingRoot); empty when the root was there.
    std::string RemoteRootPlanLine() const {
        return rootState_.made.empty() ? std::string()
                                       : "create " + rootState_.made + " (the remote directory)";
    }
    bool ChangeRemoteDir(const std::string& path);
    // The remote load that ends an update: lists again only `changedDirs` (relative
    // directory paths, "" for the root) and keeps what the last load found everywhere
    // else, so the lists and the tree come out as a full load would have left them while
    // nobody else changed the server. A full load when the last one left anything unknown.
    void RefreshRemoteDirectories(const std::set<std::string>& changedDirs);
    // False when the session was stopped or lost on the way.
    bool ReloadRemoteDirectories(const std::set<std::string>& changedDirs);
    // Whether the last load can stand in for the directories an update did not touch.
    bool PartialReloadPossible() const;

    // The compare, as a press of Compare starts it.
    void CompareSides();
    void AnalyseLists();

    // The update run. `updateFailed` tells whether anything it tried failed or was
    // skipped; `updateFailures` says what, one line each.
    void UpdateRemote();
    // Carries out a plan made by MakeUpdatePlan from the lists as they are now.
    void RunUpdate(const TPlan& plan);
    bool updateFailed = false;
    std::vector<std::string> updateFailures;
    // Why a safety rule kept the last update from deleting (the cap, an empty local
    // directory); empty when none did.
    std::string deleteRefusal;
    // Why the options' deletion cap refuses the deletes of `plan`; empty when it does not
    // (or the cap is not enforced).
    std::string DeleteCapRefusalFor(const TPlan& plan) const;
    // Everything the last run could not do, one line each: the update's failures, or
    // without an update what the loads and the compare left unsettled.
    std::vector<std::string> Problems() const;
    // Whether the update may delete on the server: only when allowed, and only on the
    // word of a local tree that was read whole and is not empty beside a full server.
    bool DeletionAllowed(std::string* why = nullptr) const;
    // What the update will do: the plan it carries out, and as printed, one "word /path"
    // line per step.
    TPlan MakeUpdatePlan() const;
    std::vector<std::string> UpdatePlan() const;
    // What keeps a remote entry from being deleted, as the last loads found it.
    TDeleteGuard::TRules DeleteRules() const;
    std::string RemotePath(const TDetail& entry) const;

    // The times of files on the server. After an upload the server's copy is given the
    // local file's time where the server takes one: whether `on` is to be given it, and
    // what the attempt (if `tried`) came to, which the listing after the run should show.
    bool FileTimeWanted(const TDetail& local, const TRemoteSession& on) const;
    void FileTimeKept(const TDetail& local, const std::string& remotePath, bool tried,
                      TOutcome outcome, const TRemoteSession& on);
    // A local file whose time lies ahead of our clock: its time is not given to the server.
    static bool DatedInTheFuture(const TDetail& local);
    // The files of the running update dated in the future (relative paths), and the one
    // line the update says of them at its end (empty when there are none).
    std::vector<std::string> futureDated;
    std::string FutureDatedNotice() const;
    // After the listing that follows a run: learns from its uploads the zone the server
    // lists in and whether it keeps our times; a zone so learnt is proven.
    void LearnListingTimes();
    // After a load that listed times to the minute: asks the server the exact time of one
    // file (MDTM, in UTC) and learns the zone from it, unless our uploads proved another.
    // An answer that disagrees with a time we gave, or with a proven zone, is not trusted,
    // and nor is any MDTM answer for the rest of the session.
    void ProbeListingZone();
    // Reads the loaded listing times as listed in `zoneMinutes` east of UTC from now on.
    void UseListingZone(int zoneMinutes);
    // Whether RemotePath can name the root: it was typed absolute, the server named it,
    // or the session stands in it.
    bool RemoteRootKnown() const;
    std::string LocalPath(const TDetail& entry) const;

    // The site's publish journal (options.journalFile): its rows for the compare, read
    // afresh each time; null when there is no journal or it cannot be used (said once).
    const TJournalRows* JournalRows();
    // Records, for each file of `stored` (local key and index in localList) that the
    // listing after the update shows whole, what was sent and what the server listed.
    void RecordPublished(const std::vector<std::pair<std::string, int>>& stored);
    // One run of a site at a time: the lock beside the journal, taken at the connect and
    // held until the session ends. Busy names the holder's process id (0: unknown). A
    // lock that cannot be made at all is said and the run goes on without it.
    TSiteRunLock::TResult TakeRunLock(long& holder);
    void ReleaseRunLock() { publish_.runLock.Release(); }
    // The lock file of a journal: beside it, "<name>.lock".
    static std::string RunLockFileFor(const std::string& journalFile);

    // The local scan of a directory the user chooses, as a press of Change starts it.
    void ChangeLocal();
    bool LoadLocalDirectory();
    bool ChangeLocalDir(const std::string& path);
    void ScanLocalDir(TStringList& workList, const std::string& path);
    // True when an entry read from the disk is not loaded (excluded, a link that leads
    // nowhere, a special file, our temporary name, a path past the limit), having noted it
    // where it belongs.
    bool LocalLeftOut(const TLocalDir::TEntry& e, const std::string& key);
    void BuildLocalLevel(TStringList& workList, int parentNode);

private:
    void EndOperation();
    // The status line after a remote load, and the load itself when `changedDirs` is null.
    void RunRemoteLoad(const std::set<std::string>* changedDirs);
    // The start of a full load: the root as it is to be entered (false, having said why,
    // when it cannot be), then entered, or made or planned as the options say.
    bool RemoteRootToEnter(const std::string& typed, std::string& root);
    bool EnterRemoteRoot(const std::string& typed, const std::string& root);
    // Empties what a full load fills; the end of a load, full or partial: false when it
    // was stopped or lost on the way.
    void StartRemoteLists();
    bool EndRemoteLoad();
    // The one walk of the server's tree, over the main session and the pool's
    // (remote_load.cpp): the full load and the reload after an update.
    class TRemoteWalk;
    // Whether the walk goes into a listed entry: a directory the load keeps.
    bool WalkedInto(const TListedEntry& listedEntry, const std::string& path) const;
    // Ends the load on a failure of the main session, saying why unless Stop ended it.
    void EndLoad(const std::string& why);
    // True when a listed entry is not loaded (a path past the limit, our own temporary
    // file, an excluded entry), having noted it where it belongs.
    bool LeftOut(const TListedEntry& listedEntry, const std::string& path);
    // The absolute path of a relative directory, when the root's absolute path is known:
    // of the root the load started from, whatever is typed meanwhile.
    std::string RemoteDirectoryPath(const std::string& dir) const;
    void Enable(TSyncAction action, bool enabled) { view_.EnableAction(action, enabled); }

    // Says in the trace why MDTM answers are no longer asked for in this session.
    void DistrustFileTimes(const std::string& why);

    TSyncView& view_;
    TSyncView* viewTap_ = nullptr;
    // The server's MDTM answers were caught out in this session (see ProbeListingZone).
    bool mdtmDistrusted_ = false;
    // The uploads of the running update, by key, for LearnListingTimes.
    std::vector<std::pair<std::string, TUploadedTime>> uploadedTimes_;
    std::string status_;

    TOperation operation_ = TOperation::None;
    bool disconnectPending_ = false;

    // Where the remote root is and how the session stands to it.
    struct TRemoteRootState {
        // The root as the server names it (from the root listing), for a root typed
        // without a leading "/": the load leaves the server standing in it, so a relative
        // path would land one level too deep.
        std::optional<std::string> absolute;
        std::string typed; // the typed root that `absolute` belongs to
        // The session stands in the root: a load that came back up whole leaves it
        // there, and nothing but a load moves it.
        bool standingIn = false;
        // No CWD has been sent since the login: a relative root is still relative to here.
        bool atLogin = false;
        // The last load made the root (Make), or found it missing and made nothing (Plan):
        // the root as typed; empty when it was there.
        std::string made;
        bool onlyPlanned = false;
    };
    TRemoteRootState rootState_;
    // Records a directory whose content stays unknown, and why.
    void MarkUnlisted(const std::string& path, const std::string& why);
    // After the root was refused: walks to it a level at a time and makes what is not
    // there. False, with the refusal's words restored, when a level can neither be
    // entered nor made: a root that exists but may not be entered stays an error.
    bool MakeRemoteRoot(const std::string& root, bool make);
    TLocalDir localDir_;
    TSessionPool pool_{session};
    // The journal's place: the server and account, and the remote root.
    std::string JournalPlace() const;
    // Says once per session why the journal is not used, and closes it.
    void JournalUnusable(const std::string& what, const std::string& why);
    // The site's journal, the rows read from it, and the lock of its runs.
    struct TPublishState {
        TPublishJournal journal;
        TJournalRows rows;
        bool warned = false;
        TSiteRunLock runLock;
    };
    TPublishState publish_;
};

} // namespace pelmora
