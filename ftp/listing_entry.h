#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelmora {

enum class TListedKind : uint8_t { File, Directory, Link, Other };

// How a listing line was written: the long form of UNIX-like servers, the form of
// DOS/Windows-style servers ("07-15-96  09:05AM  <DIR>  name"), or the forms of VMS and
// of VM servers (read by TListingParser only).
enum class TListingForm : uint8_t { Unix, Dos, Vms, Vm };

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
    // Seconds since 1970 in UTC, when the listing gives the exact time.
    std::optional<int64_t> utcSeconds;

    bool operator==(const TListedEntry&) const = default;
};

// The entry one listing line describes, in either form; nothing for lines that describe
// none ("total 12", blank lines, a header) and for names that must never be sent back
// to the server: "." and "..", and names holding "/" or NUL, which would reach outside
// the directory being listed.
std::optional<TListedEntry> ParseListedEntry(std::string_view line);

} // namespace pelmora
