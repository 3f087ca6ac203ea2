#pragma once

#include "ftp/listing_entry.h"

#include <cstdint>
#include <ctime>
#include <optional>

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
// is sent again rather than an edit being missed.
TTimeOrder CompareTimes(int64_t localUtc, const TEntryTime& remote, bool remoteKeepsOurTimes);

// The zone a server lists its times in, in minutes east of UTC, from one listed wall
// time (read as if it were UTC) and the UTC moment it is known to stand for; rounded to
// the quarter hour. Nothing when the two are further apart than any zone is.
std::optional<int> ZoneOfListing(int64_t listedAsUtc, int64_t utc);

} // namespace pelmora
