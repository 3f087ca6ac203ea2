#pragma once

#include "sync/entry_time.h"
#include "toolkit/date_time.h"
#include "toolkit/object.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora {

enum TEntryKind : uint8_t {
    kindUnknown = 0,
    kindDirectory = 1,
    kindFile = 2,
    kindLink = 3, // a server's symbolic link: never created, deleted or written through
};

// The verdict of the compare for one entry.
enum TEntryAction : uint8_t {
    actionNone = 0,
    actionRemain = 1,
    actionDelete = 2, // remote file without a local counterpart
    actionUpload = 3, // local file without a remote counterpart
    actionUpdate = 4, // local file newer than its remote counterpart
    actionCreate = 5, // local directory without a remote counterpart
    actionRemove = 6, // remote directory without a local counterpart
};

// What the engine says of an entry, kept as the state of its node in the side's tree; the
// window chooses how each is shown.
enum TEntryMark : int {
    markNone = -1,     // nothing to show: a server entry the update deleted
    markDirectory = 0, // a directory as loaded, or one that stays as it is
    markFile,          // a file as loaded, or one the update has just sent
    markCreate,        // a local directory the server lacks
    markUpload,        // a local file the server lacks
    markRefresh,       // a local file the server's copy is older than, or other than it
    markSame,          // a file the server holds as it is here
    markDelete,        // a server entry the update deletes or removes
    markKept,          // a server entry the compare would delete, kept as deleting is off
};

// One file or directory of either side.
class TDetail final : public TObject {
public:
    uint8_t kind = kindUnknown;
    uint8_t matched = 0;
    uint8_t action = actionNone;
    std::string name = "unknown";
    std::string dir;      // "" at the root, else "/a/b" down to the entry's directory
    TDateTime date = 0.0; // as shown, in the user's clock
    // What the compare goes by: UTC, with the precision the side gives (a local file's
    // modification time to the second; a listing's to the second, minute or day).
    TEntryTime time;
    // Bytes of a file; -1 when unknown (directories, listings without a size).
    long long size = -1;
    // A local file's modification time in nanoseconds since 1970, as the disk keeps it:
    // what the publish journal tells an edit by, whatever the second. 0 for server entries.
    int64_t mtimeNs = 0;
};

// The word for an action: "delete", "upload", "refresh", "create" or "remove"; empty for
// "no verdict" and "remain", which have none.
const char* ActionWord(uint8_t action);

// The longest relative path an entry may have. Paths are never cut: an entry past it is
// left out of the walk and reported.
constexpr size_t MaxPathLength = 4096;

// The relative path that links a local and a remote entry: the names' bytes exactly.
std::string EntryKey(std::string_view dir, std::string_view name);

// `dir` + "/" + `name`.
std::string RelativePath(std::string_view dir, std::string_view name);

// The key under which two entries match on a server that ignores letter case.
std::string FoldedKey(std::string_view key);

// True when `path` is `dir` or lies below it ("/a/b" is inside "/a", "/ab" is not).
bool PathInside(std::string_view path, std::string_view dir);

// Drops the last "/name" component of a relative directory path.
void RemoveLastComponent(std::string& path);

} // namespace pelmora
