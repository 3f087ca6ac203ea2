#pragma once

#include "ftp/ftp_types.h"
#include "ftp/listing_entry.h"

#include <optional>
#include <string>
#include <string_view>

namespace pelmora {

// Reads the lines of one listing under the rules of the server type that sent it. UNIX-like
// servers (and the DOS-style servers that report themselves as such) go through
// ParseListedEntry; VMS and VM servers have forms of their own. Make one per listing: a VMS
// server may put a long name alone on one line and the rest of its entry on the next, and
// that name must not be joined with a line of some later listing.
class TListingParser {
public:
    // `mlsd`: the lines are MLSD facts, whatever the server type.
    explicit TListingParser(TFTPServerType serverType, bool mlsd = false);

    // The entry the line describes; nothing for a line that describes none, and for the
    // lone VMS name that waits for its next line.
    std::optional<TListedEntry> Parse(std::string_view line);

private:
    TFTPServerType serverType_;
    bool mlsd_;
    std::string pendingVms_;
};

} // namespace pelmora
