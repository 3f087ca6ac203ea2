#include "sync/temporary_names.h"

#include <random>

namespace pelmora {

namespace {

constexpr char Prefix[] = ".pelmora-upload.";
constexpr size_t PrefixLength = sizeof Prefix - 1;
constexpr size_t DigitCount = 8;
constexpr size_t SuffixLength = 1 + DigitCount; // ".0123abcd"

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

} // namespace

std::string TemporaryNameFor(const std::string& name, uint32_t nonce) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string suffix(SuffixLength, '.');
    for (size_t i = 0; i < DigitCount; ++i)
        suffix[SuffixLength - 1 - i] = digits[(nonce >> (4 * i)) & 0xF];
    // A name cut in the middle of a character is no UTF-8 at all, and a server that
    // checks its names refuses it where it would take the whole one: the cut goes before
    // the character.
    size_t room = MaxRemoteNameLength - PrefixLength - SuffixLength;
    if (name.size() > room)
        while (room > 0 && (static_cast<unsigned char>(name[room]) & 0xC0) == 0x80)
            --room;
    return Prefix + name.substr(0, room) + suffix;
}

std::string TemporaryNameFor(const std::string& name) {
    // Seeded once per process: names must not repeat within a run, nor across runs that
    // might meet each other's leftovers.
    static std::mt19937 random{std::random_device{}()};
    return TemporaryNameFor(name, static_cast<uint32_t>(random()));
}

std::string TemporaryPathFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, start) + TemporaryNameFor(path.substr(start));
}

bool IsTemporaryName(const std::string& name) {
    if (name.size() <= PrefixLength + SuffixLength || name.size() > MaxRemoteNameLength ||
        name.compare(0, PrefixLength, Prefix) != 0)
        return false;
    const size_t dot = name.size() - SuffixLength;
    if (name[dot] != '.')
        return false;
    for (size_t i = dot + 1; i < name.size(); ++i)
        if (!IsLowerHex(name[i]))
            return false;
    return true;
}

std::string TargetNameOf(const std::string& temporaryName) {
    if (!IsTemporaryName(temporaryName))
        return {};
    return temporaryName.substr(PrefixLength, temporaryName.size() - PrefixLength - SuffixLength);
}

} // namespace pelmora
