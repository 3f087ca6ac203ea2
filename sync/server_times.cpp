// How the server keeps and lists the times of files: Pelmora gives each upload the local
// file's time where the server takes one, and learns from the listings that follow which
// zone the server lists in and whether it kept those times.

#include "sync/sync_core.h"

#include <ctime>
#include <unordered_map>

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

bool TSyncCore::FileTimeWanted(const TDetail& local, const TRemoteSession& on) const {
    // A time in the future (a clock set wrong, an archive from one) is never given: the
    // server's copy would look newer than every edit made before that moment, and none of
    // them would be sent. The server keeps the moment it received the file.
    return on.FileTimeSettable() && local.time.precision == TTimePrecision::Second &&
           !DatedInTheFuture(local);
}

bool TSyncCore::DatedInTheFuture(const TDetail& local) {
    return local.time.utc > static_cast<int64_t>(std::time(nullptr));
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
    } else if (DatedInTheFuture(local)) {
        futureDated.push_back(RelativePath(local.dir, local.name));
    }
    upload.sentAt = static_cast<int64_t>(std::time(nullptr));
    uploadedTimes_.emplace_back(EntryKey(local.dir, local.name), upload);
}

std::string TSyncCore::FutureDatedNotice() const {
    if (futureDated.empty())
        return {};
    const size_t count = futureDated.size();
    std::string text = count == 1
                           ? "1 file is dated in the future; the server keeps its upload time: "
                           : std::to_string(count) +
                                 " files are dated in the future; the server keeps their "
                                 "upload time: ";
    constexpr size_t Named = 10;
    for (size_t i = 0; i < count && i < Named; ++i)
        text += (i == 0 ? "" : ", ") + futureDated[i];
    if (count > Named)
        text += ", and " + std::to_string(count - Named) + " more";
    return text;
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
    if (learnt.zone) {
        UseListingZone(*learnt.zone);
        if (!options.listingZoneProven) {
            options.listingZoneProven = true;
            settingsChanged = true;
        }
    }
}

void TSyncCore::DistrustFileTimes(const std::string& why) {
    mdtmDistrusted_ = true;
    view_.Trace(why + ": the server's MDTM answers are not trusted for the rest of the session");
}

void TSyncCore::ProbeListingZone() {
    if (!session.Traits().fileTimeReadable || userStop || mdtmDistrusted_)
        return;
    // One file listed to the minute is enough; the server tells its exact time, in UTC as
    // it should. One this run gave its time is asked first: what it must answer is known.
    std::unordered_map<std::string, int64_t> givenTimes;
    for (const auto& [key, upload] : uploadedTimes_)
        if (upload.timeSet)
            givenTimes[key] = upload.localTime;
    int probe = -1;
    std::optional<int64_t> given;
    for (int i = 0; i < remoteList.Count(); ++i) {
        const auto& remote = *static_cast<const TDetail*>(remoteList.Objects(i));
        if (remote.kind != kindFile || remote.time.precision != TTimePrecision::Minute)
            continue;
        if (probe < 0)
            probe = i;
        if (const auto it = givenTimes.find(remoteList.Strings(i)); it != givenTimes.end()) {
            probe = i;
            given = it->second;
            break;
        }
        if (givenTimes.empty())
            break;
    }
    if (probe < 0)
        return;
    const auto& remote = *static_cast<const TDetail*>(remoteList.Objects(probe));
    const std::string path = RemotePath(remote);
    int64_t exact = 0;
    if (session.GetFileTime(path, exact) != TOutcome::Done)
        return;
    if (given && exact != *given) {
        DistrustFileTimes("MDTM answers " + std::to_string(exact - *given) +
                          " seconds away from the time Pelmora gave " + path);
        return;
    }
    const TEntryTime listed = AsListed(remote.time, options.listingZone);
    if (const auto zone = ZoneOfExactTime(listed.utc, exact)) {
        if (options.listingZoneProven && *zone != options.listingZone) {
            // Our own uploads showed the zone; a server that answers MDTM in its local
            // time would move every listed time by hours, and edits would be missed.
            DistrustFileTimes("MDTM of " + path + " puts the listing " + std::to_string(*zone) +
                              " minutes from UTC, where the files Pelmora uploaded showed " +
                              std::to_string(options.listingZone));
            return;
        }
        UseListingZone(*zone);
    }
    // The copy on the server has the local file's very time: an earlier run gave it.
    const int j = localList.IndexOf(remoteList.Strings(probe));
    if (j >= 0 && !options.remoteKeepsOurTimes &&
        static_cast<const TDetail*>(localList.Objects(j))->time.utc == exact) {
        options.remoteKeepsOurTimes = true;
        settingsChanged = true;
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
