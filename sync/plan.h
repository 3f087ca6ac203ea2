#pragma once

#include "sync/detail.h"
#include "toolkit/string_list.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace pelmora {

// The one rule before every delete, whatever the compare decided: a remote entry is
// never deleted while the disk holds an entry of the same name, nor inside a directory
// whose listing was not read whole (or that the local walk did not enter), nor, for a
// directory, while something inside it stays.
class TDeleteGuard {
public:
    struct TRules {
        bool caseFolding = false;
        std::vector<std::string> localKept;      // keys the disk has but does not send
        std::vector<std::string> localNotWalked; // local directories not walked
        std::vector<std::string> remoteUnlisted; // remote directories not read whole
    };
    TDeleteGuard(const TStringList& localList, TRules rules);

    // Why the remote entry under `key` must stay; empty when it may go.
    std::string Why(const std::string& key) const;
    // The entry stays, and so does every directory above it.
    void Keep(std::string key);

private:
    void Add(const std::string& key);

    TRules rules_;
    std::unordered_set<std::string> onDisk_;
    std::unordered_set<std::string> keptInside_;
};

enum class TStepKind : uint8_t { Delete, Remove, Create, Upload, Refresh };

// "delete", "remove", "create", "upload" or "refresh".
const char* StepWord(TStepKind kind);

// One change the update makes: `index` is the entry's line in its side's master list
// (remote for deletes and removes, local for the rest).
struct TPlanStep {
    TStepKind kind;
    int index;
    std::string path; // relative, as printed
};

// What the update will do, in the order it does it: deletes deepest first, then the
// new directories, then the uploads. Deletes the guard refuses are not steps: they are
// in `kept`, one "Not deleted: /path (why)" line each.
struct TPlan {
    std::vector<TPlanStep> steps;
    std::vector<std::string> kept;
    // Temporary files of ours that runs cut off left on the server (relative paths): the
    // update removes them last, once the site is whole, and only where it may delete.
    // They count as deletions wherever deletions are counted.
    std::vector<std::string> leftovers;
    // Files with the shape of ours that are the user's, one "/path (why)" line each.
    std::vector<std::string> leftoversKept;
};

// The plan for two compared lists and the temporary files of ours the remote load found.
// Without `mayDelete` it has no deletes at all, and removes no temporary file.
TPlan MakePlan(const TStringList& localList, const TStringList& remoteList, bool mayDelete,
               const TDeleteGuard::TRules& rules, const std::vector<std::string>& leftovers = {});

// How many entries the plan deletes on the server, temporary files of ours among them.
size_t PlanDeletions(const TPlan& plan);

// The plan as printed: one "word /path" line per step, then one
// "delete /path (left over by a run that was cut off)" line per temporary file.
std::vector<std::string> PlanLines(const TPlan& plan);

// One change of the plan as a view lists it. `bytes`: a file's size (the disk's for an
// upload, the server's for a delete); -1 for a directory, or when it is not known.
struct TPlanItem {
    TStepKind kind;
    std::string path;
    std::int64_t bytes = -1;
    // A temporary file of ours that a run cut off left on the server.
    bool leftover = false;
};

// "upload /index.html", "delete /.x.tmp (left over by a run that was cut off)".
std::string PlanLine(const TPlanItem& item);

// What a view lists of a plan: the remote root it makes, every step with its size, and
// (for a dry run) what the plan keeps on the server and why.
struct TPlanListing {
    // "create /www/new (the remote directory)"; empty when the root is there.
    std::string rootLine;
    // In the order the update makes them, temporary files of ours last.
    std::vector<TPlanItem> items;
    // "Not deleted: /path (why)", one each.
    std::vector<std::string> kept;
    bool dryRun = false;
};

// The listing of `plan` over the lists it was made from (sizes by the steps' indexes).
TPlanListing ListingOf(const TPlan& plan, const TStringList& localList,
                       const TStringList& remoteList);

} // namespace pelmora
