#pragma once

#include "toolkit/date_time.h"
#include "toolkit/object.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora {

enum TEntryKind : uint8_t { kindUnknown = 0, kindDirectory = 1, kindFile = 2 };

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

// State images of the tree nodes.
enum TStateImage : int {
    imageNone = -1,
    imageDirectory = 1,
    imageCreateDir = 2,
    imageUpload = 3,
    imageRefresh = 4,
    imageDelete = 6,
    imageFile = 7,
    imageRemoteNewer = 8,
};

// One file or directory of either side.
class TDetail final : public TObject {
public:
    uint8_t kind = kindUnknown;
    uint8_t matched = 0;
    uint8_t action = actionNone;
    std::string name = "unknown";
    std::string dir; // "" at the root, else "/a/b" down to the entry's directory
    TDateTime date = 0.0;
    // Bytes of a file; -1 when unknown (directories, listings without a size).
    long long size = -1;
};

// The word for an action: "delete", "upload", "refresh", "create" or "remove"; empty for
// "no verdict" and "remain", which have none.
const char* ActionWord(uint8_t action);

// Relative paths, recurseDir and keys are held to this many characters.
constexpr size_t MaxPathLength = 255;

// The upper-cased relative path that links a local and a remote entry.
std::string EntryKey(std::string_view dir, std::string_view name);

// `dir` + "/" + `name`, cut to MaxPathLength.
std::string RelativePath(std::string_view dir, std::string_view name);

// Drops the last "/name" component of a relative directory path.
void RemoveLastComponent(std::string& path);

} // namespace pelmora
