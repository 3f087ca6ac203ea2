#include "sync/detail.h"

#include "toolkit/text.h"

#include <QString>

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
    return path;
}

std::string EntryKey(std::string_view dir, std::string_view name) {
    return RelativePath(dir, name);
}

std::string FoldedKey(std::string_view key) {
    std::string folded(key);
    bool ascii = true;
    for (char& c : folded) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    if (ascii)
        return folded;
    // Only text that is UTF-8 can be folded as Unicode; any other bytes (a Latin-1 name,
    // say) would all fold to one replacement character and join names that differ.
    const QByteArray bytes(key.data(), static_cast<qsizetype>(key.size()));
    return QString::fromUtf8(bytes).toUtf8() == bytes ? FoldCase(key) : folded;
}

bool PathInside(std::string_view path, std::string_view dir) {
    return path.size() >= dir.size() && path.substr(0, dir.size()) == dir &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

void RemoveLastComponent(std::string& path) {
    const size_t slash = path.rfind('/');
    path.resize(slash == std::string::npos ? 0 : slash);
}

} // namespace pelmora
