#pragma once

#include "ftp/ftp_types.h"

#include <string>
#include <string_view>

namespace pelmora {

// A VMS listing may put a long name alone on one line and the rest of its entry on
// the next; the name waits here to be joined. One per program.
extern std::string PendingVmsLine;

// What one listing line describes. Size and date are the text as cut from the line.
struct TListingEntry {
    std::string Name;
    std::string Size;
    std::string Date;
    bool IsDirectory = false;
};

// Word n (from 0) of the line with its runs of blanks taken as one, but only when a
// blank follows it: the last word of a line, or a word past the end, is empty.
std::string WordAt(std::string_view line, int n);

// The name at the end of a listing line: everything from the first "->" dropped,
// trailing blanks dropped, then the text after the last blank (at most 999 bytes).
std::string NameField(std::string_view line);

// True when the line describes an entry under the rules of the server type; only then
// is `entry` filled. `pendingVms` carries a lone VMS name from one line to the next.
bool ParseListingLine(TFTPServerType serverType, std::string_view line, TListingEntry& entry,
                      std::string& pendingVms);

// The same with the program-wide PendingVmsLine.
bool ParseListingLine(TFTPServerType serverType, std::string_view line, TListingEntry& entry);

} // namespace pelmora
