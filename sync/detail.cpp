#include "sync/detail.h"

#include "toolkit/text.h"

namespace pelmora {

const char* ActionWord(uint8_t action) {
    switch (action) {
    case actionDelete:
        return "delete";
    case actionUpload:
        return "upload";
    case actionUpdate:
        return "refresh";
    case actionCreate:
        return "create";
    case actionRemove:
        return "remove";
    default:
        return "";
    }
}

std::string RelativePath(std::string_view dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir).append("/").append(name);
    if (path.size() > MaxPathLength)
        path.resize(MaxPathLength);
    return path;
}

std::string EntryKey(std::string_view dir, std::string_view name) {
    return UpperAscii(RelativePath(dir, name));
}

void RemoveLastComponent(std::string& path) {
    const size_t slash = path.rfind('/');
    path.resize(slash == std::string::npos ? 0 : slash);
}

} // namespace pelmora
