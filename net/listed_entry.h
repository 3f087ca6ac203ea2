#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What a remote directory holds, as any protocol lists it: the entry type the walk, the
// compare and the times work on, and the calendar arithmetic its dates need. The parsers
// that make entries of FTP's listing lines stay with FTP.

namespace pelmora {

enum class TListedKind : uint8_t { File, Directory, Link, Other };

// How a listing line was written: the long form of UNIX-like servers, the form of
// DOS/Windows-style servers ("07-15-96  09:05AM  <DIR>  name"), the forms of VMS and
// of VM servers (read by TListingParser only), or the fact lines of MLSD.
enum class TListingForm : uint8_t { Unix, Dos, Vms, Vm, Mlsd };

const char* KindName(TListedKind kind);

// One entry of a directory listing, as the server wrote it. The name is the server's
// bytes exactly: blanks at either end and inside kept, never decoded.
struct TListedEntry {
    std::string name;
    TListedKind kind = TListedKind::File;
    TListingForm form = TListingForm::Unix;
    std::string linkTarget; // for links: what follows " -> "
    // -1 when the line gives none (directories on DOS servers); on VMS servers the blocks
    // in use, as they list no bytes.
    long long size = -1;
    // The date as listed, in the server's own clock. `year` is 0 when the line gives a
    // time of day instead (the recent-file form of UNIX listings).
    int year = 0;
    int month = 0; // 1-12, 0 when unknown
    int day = 0;
    int hour = 0;
    int minute = 0;
    // The exact time, in seconds since 1970 UTC, where the server gives one (MLSD); the
    // date parts above then hold the same time in UTC, its seconds left out.
    std::optional<int64_t> utcSeconds;

    bool operator==(const TListedEntry&) const = default;
};

// Seconds since 1970 UTC of a civil date and time taken as UTC; nothing for a date that
// does not exist (Feb 30, month 13, hour 24) or a year outside 1..9999.
std::optional<int64_t> UtcSecondsOf(int year, int month, int day, int hour, int minute, int second);

// The parts of a time in seconds since 1970 UTC.
struct TListedDate {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;

    bool operator==(const TListedDate&) const = default;
};
TListedDate DateOfUtcSeconds(int64_t seconds);

// The year of a UNIX listing date given without one ("Jan  5 10:42"), on the server's
// clock whose now is `serverNow` (seconds since 1970 on that same clock): the year of now,
// unless that puts the date more than a day after now (a day of slack for clocks and
// zones), then the year before. A Feb 29 goes to the latest leap year that fits.
TListedDate ResolveListedYear(int month, int day, int hour, int minute, int64_t serverNow);

} // namespace pelmora
