// How the server keeps and lists the times of files: Pelmora gives each upload the local
// file's time where the server takes one, and learns from the listings that follow which
// zone the server lists in and whether it kept those times.

#include "sync/sync_core.h"

#include <ctime>

namespace pelmora {

namespace {

// The listed time as the listing printed it, read as if the listing were in UTC.
TEntryTime AsListed(const TEntryTime& time, int zoneMinutes) {
    TEntryTime listed = time;
    if (time.precision == TTimePrecision::Minute || time.precision == TTimePrecision::Day)
        listed.utc += static_cast<int64_t>(zoneMinutes) * 60;
    return listed;
}

} // namespace

TOutcome TSyncCore::KeepFileTime(const TDetail& local, const std::string& remotePath) {
    const bool tried = FileTimeWanted(local, session);
    const TOutcome outcome =
        tried ? session.SetFileTime(remotePath, local.time.utc) : TOutcome::Done;
    FileTimeKept(local, remotePath, tried, outcome, session);
    return outcome;
}

bool TSyncCore::FileTimeWanted(const TDetail& local, const TRemoteSession& on) const {
    return on.FileTimeSettable() && local.time.precision == TTimePrecision::Second;
}

void TSyncCore::FileTimeKept(const TDetail& local, const std::string& remotePath, bool tried,
                             TOutcome outcome, const TRemoteSession& on) {
    TUploadedTime upload;
    upload.localTime = local.time.utc;
    if (tried) {
        upload.timeSet = outcome == TOutcome::Done;
        if (outcome == TOutcome::Failed)
            view_.Trace("The server kept its own time for " + remotePath + " (" +
                        on.FailureReason() + ")");
    }
    upload.sentAt = static_cast<int64_t>(std::time(nullptr));
    uploadedTimes_.emplace_back(EntryKey(local.dir, local.name), upload);
}

void TSyncCore::LearnListingTimes() {
    std::vector<TUploadedTime> uploads;
    for (auto& [key, upload] : uploadedTimes_) {
        const int i = remoteList.IndexOf(key);
        if (i < 0)
            continue;
        const auto& remote = *static_cast<const TDetail*>(remoteList.Objects(i));
        upload.listedAsUtc = AsListed(remote.time, options.listingZone);
        uploads.push_back(upload);
    }
    uploadedTimes_.clear();
    const TLearntTimes learnt = LearnFromUploads(uploads);
    if (learnt.keepsOurTimes && *learnt.keepsOurTimes != options.remoteKeepsOurTimes) {
        options.remoteKeepsOurTimes = *learnt.keepsOurTimes;
        settingsChanged = true;
    }
    if (learnt.zone)
        UseListingZone(*learnt.zone);
}

void TSyncCore::ProbeListingZone() {
    if (!Ftp1.Features().mdtm || userStop)
        return;
    // One file listed to the minute is enough; the server tells its exact time in UTC.
    for (int i = 0; i < remoteList.Count(); ++i) {
        const auto& remote = *static_cast<const TDetail*>(remoteList.Objects(i));
        if (remote.kind != kindFile)
            continue;
        if (remote.time.precision != TTimePrecision::Minute)
            return;
        int64_t exact = 0;
        if (session.GetFileTime(RemotePath(remote), exact) != TOutcome::Done)
            return;
        const TEntryTime listed = AsListed(remote.time, options.listingZone);
        if (const auto zone = ZoneOfExactTime(listed.utc, exact))
            UseListingZone(*zone);
        // The copy on the server has the local file's very time: an earlier run gave it.
        const int j = localList.IndexOf(remoteList.Strings(i));
        if (j >= 0 && !options.remoteKeepsOurTimes &&
            static_cast<const TDetail*>(localList.Objects(j))->time.utc == exact) {
            options.remoteKeepsOurTimes = true;
            settingsChanged = true;
        }
        return;
    }
}

void TSyncCore::UseListingZone(int zoneMinutes) {
    if (zoneMinutes == options.listingZone)
        return;
    const int64_t shift = static_cast<int64_t>(zoneMinutes - options.listingZone) * 60;
    for (int i = 0; i < remoteList.Count(); ++i) {
        auto& remote = *static_cast<TDetail*>(remoteList.Objects(i));
        if (remote.time.precision != TTimePrecision::Minute &&
            remote.time.precision != TTimePrecision::Day)
            continue;
        remote.time.utc -= shift;
        remote.date = LocalDateTimeOf(remote.time.utc);
    }
    view_.Trace("The server lists its times " + std::to_string(zoneMinutes) + " minutes from UTC");
    options.listingZone = zoneMinutes;
    listingClock.zoneMinutes = zoneMinutes;
    settingsChanged = true;
}

} // namespace pelmora
