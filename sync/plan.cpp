#include "sync/plan.h"

#include <algorithm>

namespace pelmora {

TDeleteGuard::TDeleteGuard(const TStringList& localList, TRules rules) : rules_(std::move(rules)) {
    for (int i = 0; i < localList.Count(); ++i)
        Add(localList.Strings(i));
    for (const std::string& key : rules_.localKept)
        Add(key);
}

void TDeleteGuard::Add(const std::string& key) {
    onDisk_.insert(key);
    if (rules_.caseFolding)
        onDisk_.insert(FoldedKey(key));
}

std::string TDeleteGuard::Why(const std::string& key) const {
    if (onDisk_.count(key) != 0 || (rules_.caseFolding && onDisk_.count(FoldedKey(key)) != 0))
        return "the disk still has it";
    for (const std::string& dir : rules_.remoteUnlisted)
        if (PathInside(key, dir))
            return dir + " could not be read on the server";
    for (const std::string& dir : rules_.localNotWalked)
        if (PathInside(key, dir) && key != dir)
            return "the disk's " + dir + " was not walked";
    if (keptInside_.count(key) != 0)
        return "something inside it stays";
    return {};
}

void TDeleteGuard::Keep(std::string key) {
    for (RemoveLastComponent(key); !key.empty(); RemoveLastComponent(key))
        keptInside_.insert(key);
}

const char* StepWord(TStepKind kind) {
    switch (kind) {
    case TStepKind::Delete:
        return ActionWord(actionDelete);
    case TStepKind::Remove:
        return ActionWord(actionRemove);
    case TStepKind::Create:
        return ActionWord(actionCreate);
    case TStepKind::Upload:
        return ActionWord(actionUpload);
    case TStepKind::Refresh:
        break;
    }
    return ActionWord(actionUpdate);
}

namespace {

const TDetail& EntryOf(const TStringList& list, int i) {
    return *static_cast<const TDetail*>(list.Objects(i));
}

} // namespace

TPlan MakePlan(const TStringList& localList, const TStringList& remoteList, bool mayDelete,
               const TDeleteGuard::TRules& rules, const std::vector<std::string>& leftovers) {
    TPlan plan;
    if (mayDelete) {
        TDeleteGuard guard(localList, rules);
        // A file of the disk may bear such a name too: then it is the user's, not ours.
        for (const std::string& leftover : leftovers) {
            if (const std::string why = guard.Why(leftover); !why.empty())
                plan.leftoversKept.push_back(leftover + " (" + why + ")");
            else
                plan.leftovers.push_back(leftover);
        }
        // Deepest first: a directory's content goes before the directory.
        for (int n = remoteList.Count() - 1; n >= 0; --n) {
            const TDetail& e = EntryOf(remoteList, n);
            if (e.action != actionDelete && e.action != actionRemove)
                continue;
            const std::string& key = remoteList.Strings(n);
            const std::string path = RelativePath(e.dir, e.name);
            if (const std::string why = guard.Why(key); !why.empty()) {
                guard.Keep(key);
                plan.kept.push_back("Not deleted: " + path + " (" + why + ")");
                continue;
            }
            plan.steps.push_back(
                {e.action == actionDelete ? TStepKind::Delete : TStepKind::Remove, n, path});
        }
    }
    for (int i = 0; i < localList.Count(); ++i) {
        const TDetail& e = EntryOf(localList, i);
        if (e.action == actionCreate)
            plan.steps.push_back({TStepKind::Create, i, RelativePath(e.dir, e.name)});
    }
    for (int i = 0; i < localList.Count(); ++i) {
        const TDetail& e = EntryOf(localList, i);
        if (e.action == actionUpload || e.action == actionUpdate)
            plan.steps.push_back({e.action == actionUpload ? TStepKind::Upload : TStepKind::Refresh,
                                  i, RelativePath(e.dir, e.name)});
    }
    return plan;
}

size_t PlanDeletions(const TPlan& plan) {
    const auto steps = std::count_if(plan.steps.begin(), plan.steps.end(), [](const auto& s) {
        return s.kind == TStepKind::Delete || s.kind == TStepKind::Remove;
    });
    return static_cast<size_t>(steps) + plan.leftovers.size();
}

std::string PlanLine(const TPlanItem& item) {
    std::string line = std::string(StepWord(item.kind)) + " " + item.path;
    if (item.leftover)
        line += " (left over by a run that was cut off)";
    return line;
}

std::vector<std::string> PlanLines(const TPlan& plan) {
    std::vector<std::string> lines;
    lines.reserve(plan.steps.size() + plan.leftovers.size());
    for (const TPlanStep& step : plan.steps)
        lines.push_back(PlanLine({step.kind, step.path, -1, false}));
    for (const std::string& leftover : plan.leftovers)
        lines.push_back(PlanLine({TStepKind::Delete, leftover, -1, true}));
    return lines;
}

TPlanListing ListingOf(const TPlan& plan, const TStringList& localList,
                       const TStringList& remoteList) {
    TPlanListing listing;
    listing.items.reserve(plan.steps.size() + plan.leftovers.size());
    for (const TPlanStep& step : plan.steps) {
        std::int64_t bytes = -1;
        if (step.kind == TStepKind::Upload || step.kind == TStepKind::Refresh)
            bytes = EntryOf(localList, step.index).size;
        else if (step.kind == TStepKind::Delete)
            bytes = EntryOf(remoteList, step.index).size;
        listing.items.push_back({step.kind, step.path, bytes, false});
    }
    for (const std::string& leftover : plan.leftovers)
        listing.items.push_back({TStepKind::Delete, leftover, -1, true});
    return listing;
}

} // namespace pelmora
