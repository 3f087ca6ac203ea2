#pragma once

#include "net/listed_entry.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

namespace pelmora {

// How much of a remote file's time is known. A machine-readable listing gives the second;
// a UNIX listing gives the minute for recent files and the day for older ones.
enum class TTimePrecision : uint8_t { Unknown, Day, Minute, Second };
const char* PrecisionName(TTimePrecision precision);

// A moment in UTC as seconds since 1970, with its precision: a time known to the minute
// stands for the whole minute that begins at `utc`.
struct TEntryTime {
    int64_t utc = 0;
    TTimePrecision precision = TTimePrecision::Unknown;

    // The seconds `utc` stands for: 1, 60 or 86400; 0 when nothing is known.
    int64_t Span() const;
    bool operator==(const TEntryTime&) const = default;
};

// The UTC time of a listed remote entry. Exact when the listing gives it (a
// machine-readable listing); otherwise the listing's wall time in the server's zone,
// `zoneMinutes` east of UTC, at the precision the line gives. `nowUtc` places a date
// listed without a year.
TEntryTime ListedTime(const TListedEntry& entry, int zoneMinutes, int64_t nowUtc);

// Which of the two copies of a file is the newer, judged by their times.
enum class TTimeOrder : uint8_t { Same, LocalNewer, RemoteNewer, Unsure };
const char* TimeOrderName(TTimeOrder order);

// Compares the local file's time (its modification time, UTC) with the remote one's. At
// a listing's precision, a local time inside the remote's span is Same only when the
// server keeps the times we give our uploads (`remoteKeepsOurTimes`): then the listed
// time is the local file's own, cut to the minute. Otherwise it is Unsure, and the file
// is sent again rather than an edit being missed. A remote time later than `nowUtc` (when
// given) is no time a right clock gave, nor one we would give (a listing read in the wrong
// zone, a server given a local file's future time by an older run): the remote copy is
// never taken for the newer on its word, so Unsure.
TTimeOrder CompareTimes(int64_t localUtc, const TEntryTime& remote, bool remoteKeepsOurTimes,
                        std::optional<int64_t> nowUtc = std::nullopt);

// The zone a server lists its times in, in minutes east of UTC, from one listed wall
// time (read as if it were UTC) and the UTC moment it is known to stand for; rounded to
// the quarter hour. Nothing when the two are further apart than any zone is.
std::optional<int> ZoneOfListing(int64_t listedAsUtc, int64_t utc);

} // namespace pelmora

namespace pelmora {

// What one upload of a run tells about how the server lists times: the listed time of
// the file after the run, read as if the listing were in UTC, the local file's time, and
// whether the server accepted that time for it.
struct TUploadedTime {
    TEntryTime listedAsUtc;
    int64_t localTime = 0;
    bool timeSet = false;
    int64_t sentAt = 0; // our clock, UTC, when the upload ended
};

// What a run learnt of the server's times; empty parts were not learnt.
struct TLearntTimes {
    std::optional<int> zone;
    std::optional<bool> keepsOurTimes;
};

// Learns from a run's uploads. Where the server took our times and every such file is
// listed with its local time in one zone, that is the zone and the server keeps our
// times. Otherwise the listing shows when the files arrived, and the zone is read from
// the time of the last upload. An exact listing needs no zone; it only says whether the
// server kept our times.
TLearntTimes LearnFromUploads(const std::vector<TUploadedTime>& uploads);

// The zone of a listing from a file's listed time (read as if UTC, to the minute) and
// its exact time as the server tells it otherwise; nothing when the two do not fit one
// zone to the minute.
std::optional<int> ZoneOfExactTime(int64_t listedAsUtc, int64_t exactUtc);

} // namespace pelmora
