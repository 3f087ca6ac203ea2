#include "sync/entry_time.h"

#include <cmath>

namespace pelmora {

namespace {

constexpr int64_t Minute = 60;
// The zones in use reach from 12 hours west of UTC to 14 hours east of it.
constexpr int64_t FarthestZone = 14 * 60 * Minute;

} // namespace

const char* PrecisionName(TTimePrecision precision) {
    switch (precision) {
    case TTimePrecision::Unknown:
        return "Unknown";
    case TTimePrecision::Day:
        return "Day";
    case TTimePrecision::Minute:
        return "Minute";
    case TTimePrecision::Second:
        return "Second";
    }
    return "?";
}

const char* TimeOrderName(TTimeOrder order) {
    switch (order) {
    case TTimeOrder::Same:
        return "Same";
    case TTimeOrder::LocalNewer:
        return "LocalNewer";
    case TTimeOrder::RemoteNewer:
        return "RemoteNewer";
    case TTimeOrder::Unsure:
        return "Unsure";
    }
    return "?";
}

int64_t TEntryTime::Span() const {
    switch (precision) {
    case TTimePrecision::Unknown:
        return 0;
    case TTimePrecision::Day:
        return 24 * 60 * Minute;
    case TTimePrecision::Minute:
        return Minute;
    case TTimePrecision::Second:
        return 1;
    }
    return 0;
}

TEntryTime ListedTime(const TListedEntry& entry, int zoneMinutes, int64_t nowUtc) {
    if (entry.utcSeconds)
        return {*entry.utcSeconds, TTimePrecision::Second};
    const int64_t zone = static_cast<int64_t>(zoneMinutes) * Minute;
    const bool withYear = entry.year != 0;
    const int year = withYear ? entry.year
                              : ResolveListedYear(entry.month, entry.day, entry.hour, entry.minute,
                                                  nowUtc + zone)
                                    .year;
    // A UNIX line that gives the year gives no time of day: the date alone is known.
    const bool dateOnly = withYear && entry.form == TListingForm::Unix;
    const auto wall = UtcSecondsOf(year, entry.month, entry.day, dateOnly ? 0 : entry.hour,
                                   dateOnly ? 0 : entry.minute, 0);
    if (!wall)
        return {};
    return {*wall - zone, dateOnly ? TTimePrecision::Day : TTimePrecision::Minute};
}

TTimeOrder CompareTimes(int64_t localUtc, const TEntryTime& remote, bool remoteKeepsOurTimes,
                        std::optional<int64_t> nowUtc) {
    const int64_t span = remote.Span();
    if (span == 0)
        return TTimeOrder::Unsure;
    if (localUtc < remote.utc)
        return nowUtc && remote.utc > *nowUtc ? TTimeOrder::Unsure : TTimeOrder::RemoteNewer;
    if (localUtc >= remote.utc + span)
        return TTimeOrder::LocalNewer;
    return span == 1 || remoteKeepsOurTimes ? TTimeOrder::Same : TTimeOrder::Unsure;
}

std::optional<int> ZoneOfListing(int64_t listedAsUtc, int64_t utc) {
    const int64_t difference = listedAsUtc - utc;
    if (difference > FarthestZone + 15 * Minute || difference < -FarthestZone - 15 * Minute)
        return std::nullopt;
    const double quarters = std::round(static_cast<double>(difference) / (15.0 * Minute));
    return static_cast<int>(quarters) * 15;
}

} // namespace pelmora

namespace pelmora {

std::optional<int> ZoneOfExactTime(int64_t listedAsUtc, int64_t exactUtc) {
    const auto zone = ZoneOfListing(listedAsUtc, exactUtc);
    if (!zone)
        return std::nullopt;
    // The listing cuts the time to its minute: it lies up to 59 seconds before the exact
    // time moved into the zone, never after it.
    const int64_t cut = exactUtc + static_cast<int64_t>(*zone) * 60 - listedAsUtc;
    return cut >= 0 && cut < 60 ? zone : std::nullopt;
}

TLearntTimes LearnFromUploads(const std::vector<TUploadedTime>& uploads) {
    TLearntTimes learnt;
    std::optional<int> keptZone;
    bool kept = false;
    bool notKept = false;
    for (const TUploadedTime& u : uploads) {
        if (!u.timeSet)
            continue;
        if (u.listedAsUtc.precision == TTimePrecision::Second) {
            (u.listedAsUtc.utc == u.localTime ? kept : notKept) = true;
            continue;
        }
        if (u.listedAsUtc.precision != TTimePrecision::Minute)
            continue;
        const auto zone = ZoneOfExactTime(u.listedAsUtc.utc, u.localTime);
        if (!zone || (keptZone && *keptZone != *zone)) {
            notKept = true;
            continue;
        }
        keptZone = zone;
        kept = true;
    }
    if (kept && !notKept) {
        learnt.keepsOurTimes = true;
        learnt.zone = keptZone;
        return learnt;
    }
    if (notKept)
        learnt.keepsOurTimes = false;
    // The last upload is the closest to the listing that followed.
    for (auto u = uploads.rbegin(); u != uploads.rend(); ++u) {
        if (u->listedAsUtc.precision == TTimePrecision::Minute) {
            learnt.zone = ZoneOfListing(u->listedAsUtc.utc, u->sentAt);
            break;
        }
    }
    return learnt;
}

} // namespace pelmora
