// The engine's side of the publish journal and of the lock that keeps one run of a site
// at a time: which database, what the compare reads from it, what the update records.

#include "sync/sync_core.h"

#include <filesystem>
#include <unordered_map>

namespace pelmora {

std::string TSyncCore::JournalPlace() const {
    // The root as RemotePath names it, so a relative one is the same place every run.
    const std::string& typed = options.remoteRoot;
    const std::string root =
        typed.starts_with('/') || !rootState_.absolute ? typed : *rootState_.absolute;
    return options.journalPlace + " " + root;
}

void TSyncCore::JournalUnusable(const std::string& what, const std::string& why) {
    const std::string file = options.journalFile;
    publish_.journal.Close();
    publish_.rows.clear();
    if (publish_.warned)
        return;
    publish_.warned = true;
    const std::string text = "The publish journal " + file + " " + what + " (" + why +
                             "): files are judged by their times";
    ShowStatus(text);
    view_.Trace(text);
}

const TJournalRows* TSyncCore::JournalRows() {
    publish_.rows.clear();
    if (options.journalFile.empty()) {
        publish_.journal.Close();
        return nullptr;
    }
    const std::string place = JournalPlace();
    std::string why;
    if (!publish_.journal.IsOpen() || publish_.journal.File() != options.journalFile ||
        publish_.journal.Place() != place) {
        if (!publish_.journal.Open(options.journalFile, place, why)) {
            JournalUnusable("is not used", why);
            return nullptr;
        }
    }
    if (!publish_.journal.ReadRows(publish_.rows, why)) {
        JournalUnusable("is not used", why);
        return nullptr;
    }
    return &publish_.rows;
}

void TSyncCore::RecordPublished(const std::vector<std::pair<std::string, int>>& stored) {
    if (options.journalFile.empty() || stored.empty())
        return;
    const std::string place = JournalPlace();
    std::string why;
    if (!publish_.journal.IsOpen() || publish_.journal.File() != options.journalFile ||
        publish_.journal.Place() != place) {
        if (!publish_.journal.Open(options.journalFile, place, why)) {
            JournalUnusable("could not be written", why);
            return;
        }
    }
    // By exact key, as the update's own check of the sizes.
    std::unordered_map<std::string, int> listed;
    listed.reserve(static_cast<size_t>(remoteList.Count()));
    for (int i = 0; i < remoteList.Count(); ++i)
        listed.emplace(remoteList.Strings(i), i);
    for (const auto& [key, index] : stored) {
        const auto it = listed.find(key);
        if (it == listed.end() || index < 0 || index >= localList.Count())
            continue;
        const auto& remote = *static_cast<const TDetail*>(remoteList.Objects(it->second));
        const auto& local = *static_cast<const TDetail*>(localList.Objects(index));
        // Only a copy the listing shows whole is confirmed; the update has said so of the
        // others, and without a row they go again next time.
        if (remote.kind != kindFile || local.kind != kindFile ||
            (remote.size >= 0 && remote.size != local.size))
            continue;
        TJournalRow row;
        row.localSize = local.size;
        row.localMtimeNs = local.mtimeNs;
        row.remoteSize = remote.size;
        row.remoteListed = ListedAsPrinted(remote.time, options.listingZone);
        if (remote.time.precision == TTimePrecision::Second)
            row.remoteExact = remote.time.utc;
        // Each row is committed on its own: a run cut off keeps the ones written.
        if (!publish_.journal.Record(key, row, why)) {
            JournalUnusable("could not be written", why);
            return;
        }
    }
}

std::string TSyncCore::RunLockFileFor(const std::string& journalFile) {
    return std::filesystem::path(journalFile).replace_extension(".lock").string();
}

TSiteRunLock::TResult TSyncCore::TakeRunLock(long& holder) {
    holder = 0;
    // A new session: a journal that cannot be used is said again.
    publish_.warned = false;
    // An engine that publishes no named site has nothing to lock.
    if (options.journalFile.empty())
        return TSiteRunLock::TResult::Taken;
    std::string why;
    const auto result = publish_.runLock.Take(RunLockFileFor(options.journalFile), holder, why);
    if (result == TSiteRunLock::TResult::Unavailable) {
        const std::string text =
            "Could not take this site's run lock (" + why + "): another run of it is not kept out";
        ShowStatus(text);
        view_.Trace(text);
    }
    return result;
}

} // namespace pelmora
