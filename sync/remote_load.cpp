#include "sync/remote_entries.h"
#include "sync/sync_core.h"
#include "sync/temporary_names.h"
#include "toolkit/messages.h"
#include "toolkit/text.h"
#include "toolkit/tick.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

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

// One directory as a session read it: entered (CWD) and listed, or why not. Only Done and
// Failed are kept: a session lost or stopped on the way read nothing.
struct TFetchedLevel {
    TOutcome entered = TOutcome::Done;
    TOutcome listed = TOutcome::Done;
    std::string why;
    std::vector<TListedEntry> entries;
    std::string here;
    std::vector<std::string> notEntries;
};

// What is known of one directory: its entries as last loaded, or as just read.
struct TRemoteLevel {
    std::vector<std::unique_ptr<TDetail>> kept;
    std::optional<TFetchedLevel> fetched;
};
using TRemoteLevels = std::unordered_map<std::string, TRemoteLevel>;

std::string GivenUpText() {
    return "The server lists more than " + std::to_string(MaxRemoteEntries) +
           " entries; the load was given up";
}

} // namespace

// The walk of the server's tree, for a full load and for the reload after an update alike.
// The directories to read are read breadth first by whichever session of the pool is free
// (the main session alone when the pool has no other, or may not use it); the master list
// and the tree are put together from what was read in pre-order, the listing's order
// within each directory, as far as the levels read so far allow. So what a load finds,
// says and leaves behind does not depend on how many sessions read it, and a Stop keeps
// what was put together up to the first directory not yet read.
class TSyncCore::TRemoteWalk {
public:
    // A full load: every directory is read; the main session stands in the root.
    explicit TRemoteWalk(TSyncCore& core)
        : core_(core), main_(core.session), sessions_(core.options.connections) {
        places_[&main_] = "";
    }
    // The reload after an update: only the directories of `changed` (folded keys while
    // the server ignores case) are read; every other keeps the entries of `kept`, the last
    // load's by directory. It reads a few directories where the update just closed its
    // sessions: the main session alone does it, rather than log in others again.
    TRemoteWalk(TSyncCore& core, TRemoteLevels kept, std::set<std::string> changed)
        : core_(core), main_(core.session), readAll_(false), sessions_(1),
          changed_(std::move(changed)), levels_(std::move(kept)) {}

    void Run();
    // The main session back in the root, where a load leaves it; false when it is not.
    bool ReturnToRoot();

private:
    // One CWD of a session's way to a directory, and the directory it then stands in.
    struct TStep {
        std::string path;
        std::string place;
    };
    // A directory that could not be entered by its absolute path is entered again by its
    // name from its parent, so that the server's refusal names it as a walk by names does;
    // one another session could not list for a passing trouble (4xx) is read again on the
    // main session, as a walk on it alone would have.
    struct TRetry {
        std::string dir;
        bool byName;
    };
    // A directory being put together: its entries, and how many of them are in the lists.
    struct TFrame {
        std::string dir;
        int node;
        TRemoteLevel level;
        size_t next = 0;
    };
    // An entry put in the lists: its node, and its path when the walk goes into it.
    struct TAdded {
        int node = TTreeModel::NoNode;
        std::optional<std::string> directory;
    };

    bool Reads(const std::string& dir) const {
        return readAll_ || changed_.count(core_.caseFolding ? FoldedKey(dir) : dir) != 0;
    }
    // Whether a directory can be named from the server's root: the root the load started
    // from was typed so, or its listing named it (see RemoteDirectoryPath), whatever is
    // typed meanwhile.
    bool Absolute() const {
        return core_.rootState_.typed.starts_with('/') || core_.rootState_.absolute.has_value();
    }
    bool Parallel() const { return sessions_ >= 2 && Absolute() && core_.pool_.ExtrasAllowed(); }
    // Logs the extra sessions in when the reading left makes them pay (walkExtrasPayoff).
    void OpenPoolIfItPays();
    void Discover(const std::string& dir);
    TSessionTask Next(TRemoteSession& on);
    TSessionTask Read(TRemoteSession& on, std::string dir, bool byName);
    std::vector<TStep> Route(const TRemoteSession& on, const std::string& dir, bool byName) const;
    void Settle(TRemoteSession& on, std::string dir, bool byName, TFetchedLevel level);
    bool Found(const std::string& dir, const std::vector<TListedEntry>& entries);
    void Advance();
    bool Enter(const std::string& dir, int node);
    bool Accepted(const std::string& dir, TFetchedLevel& fetched);
    TAdded AddListed(const std::string& dir, int parentNode, const TListedEntry& listedEntry);
    TAdded AddKept(const std::string& dir, int parentNode, std::unique_ptr<TDetail>& entry);

    TSyncCore& core_;
    TRemoteSession& main_;
    const bool readAll_ = true;
    const int sessions_;
    const std::set<std::string> changed_;
    // What is known of each directory not yet put together.
    TRemoteLevels levels_;
    std::deque<std::string> pending_;
    std::deque<TRetry> forMain_;
    // Where each session stands, relative to the root, as far as the walk knows.
    std::unordered_map<const TRemoteSession*, std::string> places_;
    size_t listed_ = 0;
    bool poolOpened_ = false;
    // How long the main session took for the directories it read, entering them included.
    std::chrono::microseconds mainReading_{0};
    int mainReads_ = 0;
    // The directories being put together, innermost last, and the directory entry the
    // putting together waits at until its level has been read.
    std::vector<TFrame> frames_;
    std::optional<std::pair<std::string, int>> waiting_;
};

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
    ShowPhase({TPhase::TKind::LoadingRemote, "Loading Remote Directory"});
    const bool loaded = changedDirs != nullptr && PartialReloadPossible()
                            ? ReloadRemoteDirectories(*changedDirs)
                            : LoadRemoteDirectory();
    if (!loaded) {
        // A failure has said what failed, with the path and the server's reply.
        if (userStop)
            ShowStatus("Directory Load Stopped");
    } else if (remoteLoad.complete) {
        SayRemoteLoaded("Remote Directory Loaded: " + std::to_string(remoteList.Count()), true);
    } else {
        SayRemoteLoaded("Remote Directory Loaded: " + std::to_string(remoteList.Count()) + ", " +
                            std::to_string(remoteLoad.unlisted.size()) +
                            " directories could not be read",
                        true);
    }
}

void TSyncCore::SayRemoteLoaded(const std::string& text, bool again) {
    TPhase loaded = Counted(TPhase::TKind::RemoteLoaded, text, remoteList);
    // The root holds the rest, unless the load found none (and the update is to make it).
    if (!rootState_.onlyPlanned)
        ++loaded.directories;
    loaded.place = options.remoteRoot;
    loaded.notRead = static_cast<std::int64_t>(remoteLoad.unlisted.size());
    loaded.again = again;
    ShowPhase(loaded);
}

void TSyncCore::MarkUnlisted(const std::string& path, const std::string& why) {
    remoteLoad.complete = false;
    remoteLoad.unlisted.push_back(path);
    remoteLoad.problems.push_back(why);
    ShowStatus(why);
}

bool TSyncCore::LoadRemoteDirectory() {
    session.Resume();
    session.timeoutMs = TimeoutMs();
    // The root is taken as it was when the load began, whatever is typed meanwhile.
    const std::string typed = options.remoteRoot;
    std::string root;
    if (!RemoteRootToEnter(typed, root) || !EnterRemoteRoot(typed, root))
        return false;
    rootState_.typed = typed;
    Enable(TSyncAction::Stop, true);
    StartRemoteLists();
    caseFolding = CaseBlindSystem(session.Traits().systemType);
    if (rootState_.onlyPlanned) {
        // Nothing is there to list: the server holds none of the site. The session does
        // not stand in the root, and no update may start from this load.
        rootState_.standingIn = false;
        rootState_.typed.clear();
        Enable(TSyncAction::Compare, true);
        Enable(TSyncAction::Stop, false);
        return true;
    }
    remoteLoading = true;
    TRemoteWalk walk(*this);
    walk.Run();
    rootState_.standingIn = !session.Stopped() && walk.ReturnToRoot();
    return EndRemoteLoad();
}

bool TSyncCore::RemoteRootToEnter(const std::string& typed, std::string& root) {
    // A root typed without a leading "/" is taken from where the login put us; once known
    // as the server names it, later loads of the session go there directly. While it is
    // not known, only a session that a load left standing in the root may go on there.
    const bool relative = !typed.starts_with('/');
    if (!relative || typed != rootState_.typed)
        rootState_.absolute.reset();
    root = typed;
    if (relative && rootState_.absolute) {
        root = rootState_.absolute->empty() ? "/" : *rootState_.absolute;
    } else if (relative && !rootState_.atLogin) {
        if (!rootState_.standingIn || typed != rootState_.typed) {
            ShowStatus("The remote directory " + typed +
                       " is relative to where the login started, and the server no longer "
                       "stands there: connect again");
            return false;
        }
        root = ".";
    } else if (typed.empty()) {
        root = ".";
    }
    return true;
}

bool TSyncCore::EnterRemoteRoot(const std::string& typed, const std::string& root) {
    rootState_.standingIn = false;
    rootState_.made.clear();
    rootState_.onlyPlanned = false;
    const bool fromLogin = rootState_.atLogin;
    if (ChangeRemoteDir(root))
        return true;
    // The refusal's words are what is said when the root cannot be made either: a root
    // that is there but may not be entered is not taken for a missing one.
    const std::string why = session.FailureReason();
    const bool missingAllowed = options.missingRoot != TSyncOptions::TMissingRoot::Refuse &&
                                !userStop && !session.Stopped() &&
                                (typed.starts_with('/') || fromLogin) && root == typed;
    if (!missingAllowed ||
        !MakeRemoteRoot(root, options.missingRoot == TSyncOptions::TMissingRoot::Make)) {
        if (!userStop && !session.Stopped())
            ShowStatus("Could not enter the remote directory " + typed + ": " + why);
        else if (!userStop)
            ShowStatus("Could not enter the remote directory " + typed + ": " +
                       session.FailureReason());
        return false;
    }
    rootState_.made = typed;
    if (rootState_.onlyPlanned)
        ShowStatus("The remote directory " + typed + " could not be entered (" + why +
                   "): the update would make it");
    return true;
}

void TSyncCore::StartRemoteLists() {
    listingClock = {options.listingZone, static_cast<int64_t>(std::time(nullptr))};
    FreeEntries(remoteList);
    remoteTree.Clear();
    remoteLoad.unlisted.clear();
    remoteLoad.problems.clear();
    remoteLoad.excluded.clear();
    remoteLoad.leftovers.clear();
    remoteLoad.complete = true;
}

bool TSyncCore::EndRemoteLoad() {
    const bool result = !session.Stopped();
    if (result) {
        ProbeListingZone();
        Enable(TSyncAction::Compare, true);
    } else {
        remoteLoad.complete = false;
    }
    Enable(TSyncAction::Stop, false);
    remoteLoading = false;
    return result;
}

bool TSyncCore::MakeRemoteRoot(const std::string& root, bool make) {
    // Only a refusal for good (5xx) may mean "not there"; "not now" is no answer.
    if (!session.LastReplyText().starts_with('5'))
        return false;
    std::vector<std::string> levels;
    for (size_t at = 0; at < root.size();) {
        size_t end = root.find('/', at);
        if (end == std::string::npos)
            end = root.size();
        const std::string level = root.substr(at, end - at);
        if (level == "..")
            return false;
        if (!level.empty() && level != ".")
            levels.push_back(level);
        at = end + 1;
    }
    if (levels.empty())
        return false;
    std::string path = root.starts_with('/') ? "/" : "";
    if (!path.empty() && !ChangeRemoteDir("/"))
        return false;
    bool madeAny = false;
    for (const std::string& level : levels) {
        path += (path.empty() || path == "/" ? "" : "/") + level;
        if (ChangeRemoteDir(level))
            continue;
        if (userStop || session.Stopped())
            return false;
        if (!make) {
            // From here down nothing can be known without making it: the plan says so.
            rootState_.onlyPlanned = true;
            return true;
        }
        const TOutcome made = session.MakeDir(level);
        if (made == TOutcome::Lost)
            session.Stop();
        if (made != TOutcome::Done || !ChangeRemoteDir(level))
            return false;
        madeAny = true;
        ShowStatus("Made the remote directory " + path);
    }
    // Every level could be entered one by one, yet not the whole path: not a missing root.
    return madeAny;
}

bool TSyncCore::ChangeRemoteDir(const std::string& path) {
    rootState_.atLogin = false;
    const TOutcome outcome = session.ChangeDir(path);
    if (outcome == TOutcome::Lost)
        session.Stop();
    return outcome == TOutcome::Done;
}

// ---------------------------------------------------------------------------------
// The walk

void TSyncCore::TRemoteWalk::Run() {
    Discover("");
    waiting_ = {"", TTreeModel::NoNode};
    Advance();
    // In the trace only: the status line says what the load found, as with one session.
    TSessionPool& pool = core_.pool_;
    auto said =
        std::exchange(pool.OnSay, [this](const std::string& text) { core_.view_.Trace(text); });
    pool.Run([this](TRemoteSession& on) { return Next(on); });
    // The sessions opened for the walk go with it unless an update follows at once: one
    // that came much later would find them closed by the server.
    if (!core_.keepWalkSessions)
        pool.Close();
    pool.OnSay = std::move(said);
    Advance();
    if (!main_.Stopped() && (waiting_ || !frames_.empty())) {
        // Never taken for empty: no session was left to read it.
        const std::string& dir = waiting_ ? waiting_->first : frames_.back().dir;
        core_.EndLoad("Could not list " + (dir.empty() ? "/" : dir) +
                      ": no session was left to read it");
    }
}

bool TSyncCore::TRemoteWalk::ReturnToRoot() {
    for (const TStep& step : Route(main_, "", false))
        if (!core_.ChangeRemoteDir(step.path))
            return false;
    return true;
}

// Queues `dir` to be read, or, where the last load's entries stand for it, what lies below
// it that is to be read.
void TSyncCore::TRemoteWalk::Discover(const std::string& dir) {
    if (Reads(dir)) {
        // The root is read where the load entered it.
        if (dir.empty())
            forMain_.push_back({dir, false});
        else
            pending_.push_back(dir);
        return;
    }
    const auto it = levels_.find(dir);
    if (it == levels_.end())
        return;
    for (const std::unique_ptr<TDetail>& entry : it->second.kept)
        if (entry->kind == kindDirectory)
            Discover(RelativePath(dir, entry->name));
}

TSessionTask TSyncCore::TRemoteWalk::Next(TRemoteSession& on) {
    if (main_.Stopped())
        return {};
    const bool onMain = &on == &main_;
    if (onMain && !forMain_.empty()) {
        TRetry retry = std::move(forMain_.front());
        forMain_.pop_front();
        return Read(on, std::move(retry.dir), retry.byName);
    }
    // Every other session enters each directory by its absolute path; in active mode one
    // session works alone (see TSessionPool::Open).
    if (pending_.empty() || (!onMain && !Parallel()))
        return {};
    std::string dir = std::move(pending_.front());
    pending_.pop_front();
    return Read(on, std::move(dir), false);
}

// Enters `dir` on `on` and reads its listing. A listing refused at once is read again by
// names, and one that ended in the middle of a line is read twice (see TakeSecondListing):
// this is the only place a walk lists a directory.
TSessionTask TSyncCore::TRemoteWalk::Read(TRemoteSession& on, std::string dir, bool byName) {
    // Without the root's absolute path every directory is entered by its name.
    byName = byName || !Absolute();
    const auto started = std::chrono::steady_clock::now();
    TFetchedLevel level;
    for (const TStep& step : Route(on, dir, byName)) {
        on.BeginChangeDir(step.path);
        level.entered = co_await Ended{on};
        if (level.entered != TOutcome::Done)
            break;
        places_[&on] = step.place;
    }
    if (level.entered == TOutcome::Done) {
        on.BeginList();
        level.listed = co_await Ended{on};
        if (level.listed == TOutcome::Failed && on.ListingRefused()) {
            on.BeginNameListing();
            const TOutcome names = co_await Ended{on};
            level.listed = on.TakeNameListing(names, level.entries, level.here);
        } else if (level.listed == TOutcome::Done) {
            on.TakeListing(level.entries, level.here);
            if (on.ListingEndedMidLine()) {
                const std::vector<TListedEntry> first = std::move(level.entries);
                const std::vector<std::string> firstNotEntries = on.NotEntries();
                on.BeginList();
                const TOutcome second = co_await Ended{on};
                level.listed =
                    on.TakeSecondListing(second, first, firstNotEntries, level.entries, level.here);
            }
        }
        level.notEntries = on.NotEntries();
    }
    level.why = on.FailureReason();
    if (&on == &main_) {
        mainReading_ += std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started);
        ++mainReads_;
    }
    Settle(on, std::move(dir), byName, std::move(level));
}

// The CWDs that take `on` to `dir`: none where it stands there; its absolute path, or with
// `byName` its parent's and then its name; without absolute paths (the main session
// alone), ".." up to the nearest directory above it and its names down from there.
std::vector<TSyncCore::TRemoteWalk::TStep>
TSyncCore::TRemoteWalk::Route(const TRemoteSession& on, const std::string& dir, bool byName) const {
    const auto at = places_.find(&on);
    const bool known = at != places_.end();
    if (known && at->second == dir)
        return {};
    std::vector<TStep> steps;
    if (Absolute()) {
        if (!byName || dir.empty())
            return {{core_.RemoteDirectoryPath(dir), dir}};
        std::string parent = dir;
        RemoveLastComponent(parent);
        if (!known || at->second != parent)
            steps.push_back({core_.RemoteDirectoryPath(parent), parent});
        steps.push_back({dir.substr(parent.size() + 1), dir});
        return steps;
    }
    std::string from = known ? at->second : std::string();
    while (!PathInside(dir, from)) {
        RemoveLastComponent(from);
        steps.push_back({"..", from});
    }
    for (size_t begin = from.size(); begin < dir.size();) {
        const size_t end = std::min(dir.find('/', begin + 1), dir.size());
        steps.push_back({dir.substr(begin + 1, end - begin - 1), dir.substr(0, end)});
        begin = end;
    }
    return steps;
}

// What became of reading `dir`: kept for putting together, or read again elsewhere.
void TSyncCore::TRemoteWalk::Settle(TRemoteSession& on, std::string dir, bool byName,
                                    TFetchedLevel level) {
    if (main_.Stopped())
        return;
    const bool onMain = &on == &main_;
    const bool entered = level.entered == TOutcome::Done;
    const TOutcome outcome = entered ? level.listed : level.entered;
    if (outcome == TOutcome::Lost || outcome == TOutcome::Stopped) {
        places_.erase(&on);
        if (onMain) {
            // A lost main session ends the load: nothing could come back to the root.
            core_.EndLoad((entered ? "Could not list the remote directory " +
                                         (dir.empty() ? core_.Options().remoteRoot : dir)
                                   : "Could not enter " + (dir.empty() ? "/" : dir)) +
                          ": " + level.why);
            return;
        }
        // What a lost session did not read is read on another: never taken for empty.
        core_.view_.Trace("A session was lost reading " + (dir.empty() ? "/" : dir) + " (" +
                          level.why + "); it is read on another");
        pending_.push_front(std::move(dir));
        return;
    }
    if (!entered && !byName && !dir.empty()) {
        forMain_.push_back({std::move(dir), true});
        return;
    }
    if (outcome == TOutcome::Failed && !onMain && on.LastReplyText().starts_with('4')) {
        forMain_.push_back({std::move(dir), false});
        return;
    }
    if (outcome == TOutcome::Done && dir.empty() && level.here.starts_with('/'))
        core_.rootState_.absolute = level.here == "/" ? std::string() : level.here;
    if (outcome == TOutcome::Done && NamesEveryEntry(level.entries) && !Found(dir, level.entries))
        return;
    levels_[dir].fetched = std::move(level);
    Advance();
}

// Counts what a listing holds and queues the directories below it.
bool TSyncCore::TRemoteWalk::Found(const std::string& dir,
                                   const std::vector<TListedEntry>& entries) {
    listed_ += entries.size();
    if (listed_ > static_cast<size_t>(MaxRemoteEntries)) {
        core_.EndLoad(GivenUpText());
        return false;
    }
    for (const TListedEntry& listedEntry : entries)
        if (const std::string path = RelativePath(dir, listedEntry.name);
            core_.WalkedInto(listedEntry, path))
            Discover(path);
    OpenPoolIfItPays();
    return true;
}

// Once the root's listing has shown there is more to read, and told where the root is.
void TSyncCore::TRemoteWalk::OpenPoolIfItPays() {
    if (poolOpened_ || pending_.empty() || !Parallel())
        return;
    const int payoff = core_.walkExtrasPayoff;
    if (payoff > 0) {
        // What is known to be left, read at the main session's pace so far; what lies
        // below it is not known yet, so the guess is short rather than long.
        const auto left = mainReading_ / std::max(mainReads_, 1) * pending_.size();
        const auto login = std::max(main_.LoginTime(), std::chrono::microseconds(1000));
        if (left < login * payoff)
            return;
    }
    poolOpened_ = true;
    core_.pool_.Open(sessions_);
}

// Puts the levels read so far together, in pre-order, up to the first directory whose
// level is still to be read.
void TSyncCore::TRemoteWalk::Advance() {
    if (waiting_) {
        if (!Enter(waiting_->first, waiting_->second))
            return;
        waiting_.reset();
    }
    while (!frames_.empty() && !main_.Stopped()) {
        TFrame& frame = frames_.back();
        const bool listed = frame.level.fetched.has_value();
        const size_t count = listed ? frame.level.fetched->entries.size() : frame.level.kept.size();
        if (frame.next >= count) {
            frames_.pop_back();
            continue;
        }
        const size_t i = frame.next++;
        const TAdded added = listed
                                 ? AddListed(frame.dir, frame.node, frame.level.fetched->entries[i])
                                 : AddKept(frame.dir, frame.node, frame.level.kept[i]);
        if (added.directory && !Enter(*added.directory, added.node)) {
            waiting_ = {*added.directory, added.node};
            return;
        }
    }
}

// Starts putting together the directory of `node`; false while its level is still to be
// read.
bool TSyncCore::TRemoteWalk::Enter(const std::string& dir, int node) {
    const auto it = levels_.find(dir);
    if (Reads(dir) && (it == levels_.end() || !it->second.fetched))
        return false;
    TRemoteLevel level;
    if (it != levels_.end()) {
        level = std::move(it->second);
        levels_.erase(it);
    }
    if (!level.fetched || Accepted(dir, *level.fetched))
        frames_.push_back({dir, node, std::move(level)});
    return true;
}

// What a level read can be trusted for, wherever and however it was read: false, having
// said why, when its content stays unknown. Without the root nothing at all is known.
bool TSyncCore::TRemoteWalk::Accepted(const std::string& dir, TFetchedLevel& fetched) {
    const bool top = dir.empty();
    if (fetched.entered != TOutcome::Done) {
        // The entry stays with its content unknown, and the walk goes on with its
        // siblings: nothing inside it will be deleted or written.
        if (top)
            core_.EndLoad("Could not enter /: " + fetched.why);
        else
            core_.MarkUnlisted(dir, "Could not enter " + dir + ": " + fetched.why);
        return false;
    }
    bool listed = fetched.listed == TOutcome::Done;
    std::string reason = fetched.why;
    if (listed) {
        for (const std::string& line : fetched.notEntries)
            core_.view_.Trace("Not an entry: " + line);
        if (CaseBlindListing(fetched.entries))
            core_.caseFolding = true;
        if (!NamesEveryEntry(fetched.entries)) {
            // What such a listing leaves out cannot be told from what the server lacks.
            listed = false;
            reason = "the listing does not name every file";
            fetched.entries.clear();
        }
    }
    if (listed || core_.userStop)
        return listed;
    if (top)
        core_.EndLoad("Could not list the remote directory " + core_.Options().remoteRoot + ": " +
                      reason);
    else
        core_.MarkUnlisted(dir, "Could not list " + dir + ": " + reason);
    return false;
}

TSyncCore::TRemoteWalk::TAdded TSyncCore::TRemoteWalk::AddListed(const std::string& dir,
                                                                 int parentNode,
                                                                 const TListedEntry& listedEntry) {
    if (core_.remoteList.Count() >= MaxRemoteEntries) {
        core_.EndLoad(GivenUpText());
        return {};
    }
    std::string path = RelativePath(dir, listedEntry.name);
    if (core_.LeftOut(listedEntry, path))
        return {};
    if (listedEntry.kind == TListedKind::Link)
        core_.view_.Trace("Link, left alone: " + path + " -> " + listedEntry.linkTarget);
    auto entry = std::make_unique<TDetail>();
    FillRemoteDetail(*entry, listedEntry, dir, core_.listingClock);
    return AddKept(dir, parentNode, entry);
}

// Appends an entry as read, or as the last load found it, with its node.
TSyncCore::TRemoteWalk::TAdded TSyncCore::TRemoteWalk::AddKept(const std::string& dir,
                                                               int parentNode,
                                                               std::unique_ptr<TDetail>& entry) {
    TAdded added;
    if (entry->kind == kindDirectory)
        added.directory = RelativePath(dir, entry->name);
    added.node = core_.AddEntry(core_.remoteList, core_.remoteTree, entry.release(), parentNode);
    core_.view_.ShowEntry(false, added.node);
    return added;
}

bool TSyncCore::WalkedInto(const TListedEntry& listedEntry, const std::string& path) const {
    return listedEntry.kind == TListedKind::Directory && path.size() <= MaxPathLength &&
           (ignoreRules.Empty() || !ignoreRules.ExcludedItself(path, true));
}

// ---------------------------------------------------------------------------------
// The reload after an update

bool TSyncCore::PartialReloadPossible() const {
    // What the last load could not read or had to leave out would need saying again:
    // only a full load says it the same way.
    if (!remoteLoad.complete || !remoteLoad.unlisted.empty() || !remoteLoad.problems.empty())
        return false;
    if (remoteList.Count() != remoteTree.Count() || options.remoteRoot != rootState_.typed)
        return false;
    // Each changed directory is entered by its absolute path.
    return options.remoteRoot.starts_with('/') || rootState_.absolute.has_value();
}

std::string TSyncCore::RemoteDirectoryPath(const std::string& dir) const {
    std::string root =
        rootState_.typed.starts_with('/') ? rootState_.typed : rootState_.absolute.value_or("");
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
    TRemoteLevels kept;
    for (int i = 0; i < remoteList.Count(); ++i) {
        std::unique_ptr<TDetail> entry(static_cast<TDetail*>(remoteList.Extract(i)));
        if (!entry)
            continue;
        entry->action = actionNone;
        entry->matched = 0;
        std::string dir = entry->dir;
        kept[dir].kept.push_back(std::move(entry));
    }
    remoteList.Clear();
    remoteTree.Clear();
    // The run names directories as the disk spells them; a server that ignores case
    // may spell them otherwise.
    std::set<std::string> changed;
    for (const std::string& dir : changedDirs)
        changed.insert(caseFolding ? FoldedKey(dir) : dir);
    // What the directories read again hold is found again there.
    const auto inChanged = [&](std::string dir) {
        RemoveLastComponent(dir);
        return changed.count(caseFolding ? FoldedKey(dir) : dir) != 0;
    };
    std::erase_if(remoteLoad.excluded,
                  [&](const TExcludedEntry& excluded) { return inChanged(excluded.key); });
    std::erase_if(remoteLoad.leftovers, [&](const std::string& path) { return inChanged(path); });
    remoteLoad.complete = true;
    rootState_.standingIn = false;
    remoteLoading = true;
    TRemoteWalk(*this, std::move(kept), std::move(changed)).Run();
    return EndRemoteLoad();
}

void TSyncCore::EndLoad(const std::string& why) {
    if (!userStop)
        ShowStatus(why);
    session.Stop();
}

bool TSyncCore::LeftOut(const TListedEntry& listedEntry, const std::string& path) {
    if (path.size() > MaxPathLength) {
        remoteLoad.problems.push_back("Left out (path too long): " + path.substr(0, 200) + "...");
        return true;
    }
    // Our own temporary files are never site entries: shown, compared or kept, they would
    // be taken for pages.
    if (listedEntry.kind == TListedKind::File && IsTemporaryName(listedEntry.name)) {
        remoteLoad.leftovers.push_back(path);
        return true;
    }
    // Excluded entries are never loaded, so nothing can delete or replace them.
    if (!ignoreRules.Empty() &&
        ignoreRules.ExcludedItself(path, listedEntry.kind == TListedKind::Directory)) {
        remoteLoad.excluded.push_back({path, listedEntry.kind == TListedKind::Directory});
        return true;
    }
    return false;
}

} // namespace pelmora
