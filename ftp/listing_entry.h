#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The entry one listing line describes, in either form; nothing for lines that describe
// none ("total 12", blank lines, a header) and for names that must never be sent back
// to the server: "." and "..", and names holding "/" or NUL, which would reach outside
// the directory being listed.
// A line of MLSD facts ("type=file;size=12;modify=20240101120000; name") is read as
// ParseMlsdEntry reads it, so a caller that reads the raw lines of any listing gets the
// same entries as the component does.
std::optional<TListedEntry> ParseListedEntry(std::string_view line);

// One line of an MLSD listing: facts, case-blind, up to the first blank, and the name,
// every byte after that blank. Nothing for the directory itself and its parent (cdir,
// pdir), for lines without a blank, and for names that ParseListedEntry refuses. An entry
// whose type is missing or unknown is Other: nothing is done to what we cannot tell.
std::optional<TListedEntry> ParseMlsdEntry(std::string_view line);

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
